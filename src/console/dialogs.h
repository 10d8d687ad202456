// Every question the program puts to the user, with the key rules that answer it. The forms here
// are the line forms: a one-line prompt on standard output answered by a single key.
#pragma once

#include <cstdint>
#include <string>

#include "console/console_state.h"
#include "console/full_screen.h"
#include "discovery/selection.h"
#include "hive/answers.h"
#include "hive/engine_io.h"
#include "platform/keys.h"
#include "save/questions.h"

namespace tarvos::console {


// Types of ShowInformation.
enum InformationType : uint32_t {
  kInfoNotEnoughSpace = 0,
  kInfoPartsSaved = 1,
  kInfoBackupImpossible = 2,
  kInfoConfirmFix = 3,
  kInfoHelp = 4,
  kInfoSavingFailed = 5,
  kInfoCheckOnly = 6,  // the argument: the faults found, or kCheckOnlyNotChecked
  kInfoNoHives = 253,
  kInfoAborted = 254,
  kInfoComplete = 255,
};

// The line that ends each hive of a check-only run, in the log and in its box.
inline constexpr uint32_t kCheckOnlyNotChecked = 0xFFFFFFFF;
std::string CheckOnlyText(uint32_t faults);

class Dialogs final : public hive::FaultDecider, public save::SaveQuestions, public discovery::SelectionUi {
 public:
  // abortRequested is the run's flag: set here when the user confirms Exit, never cleared.
  Dialogs(ConsoleState& console, bool& abortRequested, bool ttyMode)
      : console_(console), abortRequested_(abortRequested), ttyMode_(ttyMode) {}

  // The help text of the information box (the usage text with blanks for carriage returns).
  void SetHelpText(const std::string* text) { helpText_ = text; }
  // Whether the input ended (a pipe closed) and a prompt was answered for want of it.
  bool InputEnded() const { return inputEnded_; }
  // /y: every line prompt is answered without reading the input: Fix All at a fault, Overwrite
  // at the first save question of a hive and Cancel at any later one (a save that failed is not
  // tried again elsewhere), Enter at a message, Cancel at a drive or disk prompt.
  void AnswerEveryPrompt(bool on) { answerEvery_ = on; }
  // A new hive: its first save question is answered Overwrite again.
  void BeginHive() { saveQuestions_ = 0; }
  // Keys in a row that no waiting prompt takes before input that is not a terminal counts as
  // ended (a pipe that repeats one wrong answer).
  static constexpr int kUnusableKeysLimit = 4096;
  // The full screen: from now on every question is asked in its window. Null goes back to the
  // line forms (the screen has been closed).
  void AttachScreen(FullScreen* ui);
  FullScreen* Ui() { return ui_; }
  // The main window's first button and the keys P and R: the run is held, or goes on.
  void PauseRun();
  void ResumeRun();

  // Reads one input event, if there is one, and applies the key rules. With sleep it waits up
  // to about a millisecond for it.
  void PollInput(bool sleep);
  void DispatchKey(const platform::KeyEvent& key);
  void HandleEscape();

  void AskExitConfirmation();
  uint32_t AskErrorAction(uint32_t offset, uint32_t code) override;
  bool ConfirmSignatureRepair() override;
  uint32_t ShowInformation(uint32_t type, uint32_t argument) override;
  uint32_t AskSaveMode() override;
  uint32_t AskDriveLetter(const std::vector<platform::Drive>& drives, size_t& chosen) override;
  uint32_t AskInsertDisk(char letter, uint32_t variant) override;
  void WaitEnterToExit();

  // The selection of hive files (full screen only): a listing of entries, one a line. Returns
  // kAnswerChosen with the entry in chosen, kAnswerTyped with the path typed in typedPath, or
  // kAnswerCancel.
  uint32_t RunBrowserDialog(const std::string& listing, size_t entries, size_t& chosen, std::string& typedPath) override;
  // "No hive files found" with " Manual " and " Cancel ": Manual opens the path field.
  uint32_t ShowNothingFound(std::string& typed) override;
  // The path field over the selection window or the main one: kAnswerTyped with the path, or
  // kAnswerCancel.
  uint32_t EnterManualPath(std::string& path);
  // The window of a disk search: the folder being searched shown; kAnswerCancel once the user
  // has cancelled.
  void OpenSearchWindow() override;
  uint32_t UpdateSearchWindow(const std::string* folder) override;
  void CloseSearchWindow() override;
  // The whole screen while the search starts: "Searching..." in its middle.
  void ShowSearchingScreen() override;

  uint8_t CurrentKind() const { return kind_; }
  void SetCurrentKind(uint8_t kind) { kind_ = kind; }
  uint32_t Result() const { return result_; }
  bool RunPaused() const { return runPaused_; }
  bool AbortRequested() const { return abortRequested_; }
  ConsoleState& Console() { return console_; }

 private:
  void Echo(std::string_view text) { console_.WriteStdout(text); }
  uint32_t WaitForResult(uint8_t kind);
  // The console form of a question: its window opened, the input polled until a result, closed.
  uint32_t RunWindow(uint8_t kind);
  void DrawPauseButton();
  // Gives a list box the keyboard, or takes it back.
  void EnterListMode(uint8_t kind, size_t entries);
  void LeaveListMode(uint8_t kind, bool markFocus);
  void EnterRule(bool ctrl);
  void LetterRule(uint8_t letter, bool ctrl);
  void EndOfInput();
  // The key /y answers the current prompt with; false where it reads the input (Exit's question).
  bool AnswerOf(uint8_t kind, platform::KeyEvent& key);
  // After a key: counts the keys in a row that the waiting prompt did not take.
  void NoteKey(bool taken);

  ConsoleState& console_;
  bool& abortRequested_;
  bool ttyMode_;
  const std::string* helpText_ = nullptr;
  FullScreen* ui_ = nullptr;
  uint8_t kind_ = kProgressWindow;
  uint32_t result_ = kAnswerNone;
  bool exitFlag_ = false;
  bool inputEnded_ = false;
  bool continueFlag_ = false;
  bool runPaused_ = false;
  bool answerEvery_ = false;
  int saveQuestions_ = 0;
  int unusableKeys_ = 0;
  bool inputGivenUp_ = false;  // too many unusable keys: the input counts as ended
  std::string driveLetters_;  // the letters the drive prompt takes
  static constexpr uint64_t kSearchPresentMs = 30;
  uint64_t searchShown_ = 0;  // when the search window was last shown (MonotonicMs)
};

}  // namespace tarvos::console
