#include "console/dialogs.h"

#include <algorithm>
#include <cstdio>

#include "hive/faults.h"
#include "platform/clock.h"

namespace tarvos::console {

using platform::KeyEvent;
using platform::ReadResult;

std::string CheckOnlyText(uint32_t faults) {
  std::string found = faults == kCheckOnlyNotChecked ? "the hive could not be checked"
                      : faults == 0                  ? "no fault found"
                      : faults == 1                  ? "1 fault found"
                                                     : std::to_string(faults) + " faults found";
  return "Check only: " + found + ", nothing written";
}

void Dialogs::AttachScreen(FullScreen* ui) {
  ui_ = ui;
  if (ui_ == nullptr) return;
  ui_->input.pauseOrResume = [this](char key) { key == 'R' || (key == 0 && runPaused_) ? ResumeRun() : PauseRun(); };
  ui_->input.exitConfirmation = [this] { AskExitConfirmation(); };
}

void Dialogs::DrawPauseButton() {
  WindowRecord& main = ui_->windows.Record(kProgressWindow);
  main.slots[0] = runPaused_ ? 2 : 0;
  ButtonRecord& shown = main.buttons[main.slots[0]];
  // " Resume " is a cell wider than " Pause ": what the other label left is cleared first.
  for (int row = 0; row < 2; ++row) {
    ui_->screen.FillBlanks({shown.pos.x, static_cast<int16_t>(shown.pos.y + row)}, 10, main.body);
  }
  bool focused = main.focusedSlot == 0;
  shown.hotAndFocus = static_cast<uint8_t>((shown.hotAndFocus & 0x7F) | (focused ? kFocusBit : 0));
  ui_->windows.DrawButton(kProgressWindow, 0, main.body);
  ui_->screen.Present();
}

void Dialogs::PauseRun() {
  if (runPaused_) return;
  runPaused_ = true;
  if (ui_ != nullptr) DrawPauseButton();
}

void Dialogs::ResumeRun() {
  if (!runPaused_) return;
  runPaused_ = false;
  if (ui_ != nullptr) DrawPauseButton();
}

uint32_t Dialogs::RunWindow(uint8_t kind) {
  if (ui_->drawProgress) ui_->drawProgress();
  WindowTable& windows = ui_->windows;
  uint8_t before = windows.currentKind;
  windows.PrepareText(kind);
  windows.OpenWindow(kind);
  ui_->screen.Present();
  ui_->input.dialogResult = kAnswerNone;
  while (ui_->input.dialogResult == kAnswerNone) {
    ui_->input.PollInput(true);
    ui_->screen.Present();
  }
  uint32_t result = ui_->input.dialogResult != kAnswerNone ? ui_->input.dialogResult : kAnswerCancel;
  windows.CloseWindow(kind);
  windows.currentKind = before == kNoWindow ? static_cast<uint8_t>(kProgressWindow) : before;
  ui_->screen.Present();
  return result;
}

void Dialogs::PollInput(bool sleep) {
  KeyEvent key;
  if (answerEvery_ && AnswerOf(kind_, key)) {
    DispatchKey(key);
    return;
  }
  if (inputGivenUp_) {
    EndOfInput();
    return;
  }
  switch (console_.Device().ReadKey(key, sleep)) {
    case ReadResult::Key:
      DispatchKey(key);
      NoteKey(kind_ == kProgressWindow || result_ != kAnswerNone || exitFlag_ || continueFlag_);
      break;
    case ReadResult::End: EndOfInput(); break;
    case ReadResult::None: break;
  }
}

bool Dialogs::AnswerOf(uint8_t kind, KeyEvent& key) {
  switch (kind) {
    case kErrorPrompt: key = platform::KeyFromByte('a'); return true;
    case kSaveQuestion: key = platform::KeyFromByte(saveQuestions_++ == 0 ? 'o' : 'c'); return true;
    case kInformation: key = platform::KeyFromByte('\r'); return true;
    case kDriveSelection: case kInsertDisk: key = platform::KeyFromByte(0x1B); return true;
    default: return false;
  }
}

// A pipe that keeps giving an answer no prompt takes (yes a at the save question) would be read
// for ever: past a limit, input that is not a terminal counts as ended. A person at a terminal
// may press wrong keys as long as they like.
void Dialogs::NoteKey(bool taken) {
  unusableKeys_ = taken ? 0 : unusableKeys_ + 1;
  if (unusableKeys_ < kUnusableKeysLimit || console_.Device().InputIsTerminal()) return;
  inputGivenUp_ = true;
  console_.Notice("standard input gave " + std::to_string(kUnusableKeysLimit) +
                  " keys in a row that no question takes: it counts as ended");
  EndOfInput();
}

// The end of the input answers whatever prompt waits as Esc does, so that a script that runs out
// of answers never hangs; a prompt that Esc does not end is cancelled.
void Dialogs::EndOfInput() {
  if (kind_ == kProgressWindow) return;
  inputEnded_ = true;
  HandleEscape();
  if (kind_ == kExitConfirmation) {
    if (!exitFlag_) continueFlag_ = true;
  } else if (result_ == kAnswerNone) {
    result_ = kAnswerCancel;
  }
}

void Dialogs::DispatchKey(const KeyEvent& key) {
  bool ctrl = (key.control & (platform::kLeftCtrl | platform::kRightCtrl)) != 0;
  uint8_t ch = key.ch;
  if (kind_ == kDriveSelection) {  // the drive letter prompt takes the letters it lists
    uint8_t letter = static_cast<uint8_t>(ch & 0x5F);
    // A byte of a character typed beyond ASCII is no letter, though it may look like one here.
    if (ch < 0x80 && letter >= 'A' && letter <= 'Z') {
      if (driveLetters_.find(static_cast<char>(letter)) != std::string::npos) result_ = letter;
      return;
    }
    if (ch == 0x1B) {
      result_ = kAnswerCancel;
      return;
    }
  }
  if (ch > 'x' || ch == 0) return;  // neither line prompts nor their keys use these
  if (ch == 0x0D) {
    EnterRule(ctrl);
  } else if (ch == 0x1B) {
    HandleEscape();
  } else {
    LetterRule(ch, ctrl);
  }
}

void Dialogs::EnterRule(bool ctrl) {
  switch (kind_) {
    case kInformation:
      if (ctrl) return;
      Echo("\r\n\r\n");
      result_ = kAnswerOk;
      break;
    case kInsertDisk:
      if (ctrl) return;
      Echo("\r\n");
      result_ = kAnswerOk;
      break;
    case kNoWindow: result_ = kAnswerCancel; break;
    default: break;
  }
}

void Dialogs::HandleEscape() {
  switch (kind_) {
    case kProgressWindow: AskExitConfirmation(); break;
    case kExitConfirmation:
      Echo("\r\n");
      continueFlag_ = true;
      break;
    case kInformation:
      Echo("\r\n\r\n");
      result_ = kAnswerCancel;
      break;
    case kDriveSelection: result_ = kAnswerCancel; break;
    case kErrorPrompt: case kSaveQuestion: case kInsertDisk: case kSelectionWindow: case kManualPath:
    case kSearchWindow:
      Echo("\r\n");
      result_ = kAnswerCancel;
      break;
    default: break;
  }
}

void Dialogs::LetterRule(uint8_t ch, bool ctrl) {
  uint8_t letter = (ch >= 'A' && ch <= 'Z') ? static_cast<uint8_t>(ch + 0x20) : ch;
  switch (kind_) {
    case kExitConfirmation:
      if (letter == 'c') {
        Echo("c\r\n");
        continueFlag_ = true;
      } else if (letter == 'x') {
        Echo("x\r\n");
        exitFlag_ = true;
      }
      break;
    case kErrorPrompt:
      if (ctrl) return;
      if (letter == 'f') {
        Echo("f\r\n");
        result_ = kAnswerFix;
      } else if (letter == 'a') {
        Echo("a\r\n");
        result_ = kAnswerFixAll;
      } else if (letter == 's') {
        Echo("s\r\n");
        result_ = kAnswerCancel;
      }
      break;
    case kSaveQuestion:
      if (ctrl) return;
      if (letter == 'o') {
        Echo("o\r\n");
        result_ = kAnswerOverwrite;
      } else if (letter == 'd') {
        Echo("d\r\n");
        result_ = kAnswerDisk;
      } else if (letter == 'c') {
        Echo("c\r\n");
        result_ = kAnswerCancel;
      }
      break;
    default: break;
  }
}

uint32_t Dialogs::WaitForResult(uint8_t kind) {
  kind_ = kind;
  result_ = kAnswerNone;
  while (result_ == kAnswerNone) PollInput(true);
  kind_ = kProgressWindow;
  return result_;
}

void Dialogs::AskExitConfirmation() {
  if (ui_ != nullptr) {
    if (ui_->drawProgress) ui_->drawProgress();
    InputDispatcher& input = ui_->input;
    uint8_t before = ui_->windows.currentKind;
    ui_->windows.OpenWindow(kExitConfirmation);
    ui_->screen.Present();
    input.exitFlag = input.continueFlag = false;
    while (!input.exitFlag && !input.continueFlag) {
      input.PollInput(true);
      ui_->screen.Present();
    }
    exitFlag_ = input.exitFlag;
    input.exitFlag = input.continueFlag = false;
    ui_->windows.CloseWindow(kExitConfirmation);
    ui_->windows.currentKind = before;
    ui_->screen.Present();
  } else {
    Echo("Press key to Continue/Exit [C|X]:");
    kind_ = kExitConfirmation;
    while (!exitFlag_ && !continueFlag_) PollInput(true);
  }
  if (exitFlag_) {
    abortRequested_ = true;
    if (runPaused_ && ui_ != nullptr) ResumeRun();
    runPaused_ = false;
  }
  exitFlag_ = false;
  continueFlag_ = false;
  kind_ = kProgressWindow;
}

uint32_t Dialogs::AskErrorAction(uint32_t offset, uint32_t code) {
  if (ui_ != nullptr) {
    WindowRecord& r = ui_->windows.Record(kErrorPrompt);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", offset);
    r.caption.replace(r.caption.find("0x") + 2, 8, offset == hive::kNullOffset ? "????????" : digits);
    r.text = hive::ErrorMessage(code);
    return RunWindow(kErrorPrompt);
  }
  if (!ttyMode_) {
    // Line mode echoes the fault through the log; otherwise the prompt names it itself.
    Echo("\r\n");
    Echo(hive::FormatError(hive::ErrorRecord{code, offset, hive::kNullOffset}));
  }
  Echo("Press key to Fix/fix All/");
  Echo("Stop [F|A|");
  Echo("S]:");
  return WaitForResult(kErrorPrompt);
}

bool Dialogs::ConfirmSignatureRepair() {
  if (ttyMode_ && ui_ == nullptr) return true;
  return ShowInformation(kInfoConfirmFix, 0) != kAnswerCancel;
}

uint32_t Dialogs::ShowInformation(uint32_t type, uint32_t argument) {
  std::string text;
  std::string windowText;  // where a window breaks the line that a prompt keeps whole
  char buffer[64];
  switch (type) {
    case kInfoNotEnoughSpace:
      text = "Not enough space on drive A:";
      text[text.size() - 2] = static_cast<char>(argument);
      break;
    case kInfoPartsSaved:
      std::snprintf(buffer, sizeof buffer, "Now You have %d parts of hive file. ", static_cast<int>(argument));
      text = buffer;
      text.back() = '\n';
      text += "You can join it together by commandfile REDIVIV.IRE enclosed with last\nvolume";
      windowText = text;  // a window keeps the line feeds
      for (char& c : text) {
        if (c == '\n') c = ' ';  // a line prompt keeps to one line
      }
      break;
    case kInfoBackupImpossible: text = "Impossible to backup original hive file"; break;
    case kInfoConfirmFix:
      text = "You must be sure that You correct the file You need. Please confirm fixing.";
      break;
    case kInfoHelp: text = helpText_ != nullptr ? *helpText_ : std::string(); break;
    case kInfoSavingFailed:
      text = "Saving failed.\nCommand line switch /x ignored: the hive file itself will be overwritten after a backup";
      text[text.find("/x") + 1] = static_cast<char>(argument);
      break;
    case kInfoCheckOnly:
      text = CheckOnlyText(argument);
      windowText = text;
      windowText.replace(windowText.rfind(", "), 2, "\n");  // "nothing written" on a line of its own
      break;
    case kInfoNoHives: text = "No hive files found"; break;
    case kInfoAborted: text = "Operation aborted"; break;
    case kInfoComplete: text = "Hive file checking complete"; break;
    default: break;
  }
  if (ui_ != nullptr) {
    WindowRecord& r = ui_->windows.Record(kInformation);
    bool help = type == kInfoHelp;
    std::string shown = windowText.empty() ? text : windowText;
    ScreenPos size = help ? ScreenPos{60, 20} : ScreenPos{44, 9};
    if (!help) {  // higher where the text needs more than its three rows (the parts message has four)
      int rows = static_cast<int>(WrapText(shown, size.x - 4).size());
      size.y = static_cast<int16_t>(std::clamp(rows + 6, 9, std::max(9, ui_->screen.Height())));
    }
    ui_->windows.LayoutInformation(size, type == kInfoConfirmFix || type == kInfoNoHives, !help);
    // With nothing found, the first button opens the path field (a label as long as "Ok"'s).
    std::string okLabel = r.buttons[0].label;
    if (type == kInfoNoHives) r.buttons[0].label = " Manual ";
    std::string kept = r.text;
    r.text = shown;
    uint32_t result = RunWindow(kInformation);
    r.text = kept;
    r.buttons[0].label = okLabel;
    return result;
  }
  Echo("\r\n");
  Echo(text);
  Echo(". Press Enter to continue...");
  return WaitForResult(kInformation);
}

uint32_t Dialogs::AskSaveMode() {
  if (ui_ != nullptr) return RunWindow(kSaveQuestion);
  Echo("Hive structure was changed. Do You want to save it?\r\n");
  Echo("Press key to Owerwrite/Disk/Cancel [O|D|C]:");
  return WaitForResult(kSaveQuestion);
}

uint32_t Dialogs::AskDriveLetter(const std::vector<platform::Drive>& drives, size_t& chosen) {
  if (ui_ != nullptr) {
    // One drive a line; the list box takes the keyboard once the first button is activated.
    WindowTable& windows = ui_->windows;
    WindowRecord& r = windows.Record(kDriveSelection);
    r.text.clear();
    for (const platform::Drive& drive : drives) {
      if (!r.text.empty()) r.text += '\n';
      // A drive's root where it is one (C:\ on Windows), else its letter and what it names.
      bool root = drive.root.size() == 3 && drive.root[1] == ':' && (drive.root[2] == '\\' || drive.root[2] == '/');
      r.text += root ? drive.root : std::string(1, drive.letter) + ":" + (drive.label.empty() ? "" : " " + drive.label);
    }
    windows.highlightedRow = 0;
    if (ui_->drawProgress) ui_->drawProgress();
    windows.PrepareText(kDriveSelection);
    windows.OpenWindow(kDriveSelection);
    ui_->screen.Present();
    uint32_t result = kAnswerNone;
    while (result == kAnswerNone) {
      ui_->input.dialogResult = kAnswerNone;
      ui_->input.PollInput(true);
      ui_->screen.Present();
      uint32_t got = ui_->input.dialogResult;
      if (got == kAnswerOk && !windows.listMode) {
        windows.UnmarkFocus();
        windows.listMode = true;
        int rows = r.TextRows() < static_cast<int>(drives.size()) ? r.TextRows() : static_cast<int>(drives.size());
        windows.listRows = static_cast<uint16_t>(rows);
        windows.HighlightRow(kDriveSelection, windows.highlightedRow, true);
      } else if (got == kAnswerOk) {
        windows.HighlightRow(kDriveSelection, windows.highlightedRow, false);
        windows.listMode = false;
        chosen = static_cast<size_t>(windows.highlightedRow + r.firstLine);
        result = chosen < drives.size() ? kAnswerChosen : kAnswerCancel;
      } else if (got == kAnswerCancel && windows.listMode) {
        windows.HighlightRow(kDriveSelection, windows.highlightedRow, false);
        windows.listMode = false;
        windows.MarkFocus();
      } else if (got == kAnswerCancel) {
        result = kAnswerCancel;
      }
      if (result == kAnswerNone && abortRequested_) result = kAnswerCancel;
      ui_->screen.Present();
    }
    windows.CloseWindow(kDriveSelection);
    ui_->screen.Present();
    return result != kAnswerNone ? result : kAnswerCancel;
  }
  Echo("Press drive letter to save file [");
  for (size_t i = 0; i < drives.size(); ++i) {
    Echo(std::string(1, drives[i].letter));
    if (!drives[i].label.empty()) Echo(" (" + drives[i].label + ")");  // where a letter names no root
    if (i + 1 < drives.size()) Echo(",");
  }
  Echo("]:");
  driveLetters_.clear();
  for (const platform::Drive& drive : drives) driveLetters_ += static_cast<char>(drive.letter & 0x5F);
  kind_ = kDriveSelection;
  for (;;) {
    result_ = kAnswerNone;
    while (result_ == kAnswerNone) PollInput(true);
    if (result_ == kAnswerCancel) {
      Echo("\r\n");
      break;
    }
    for (size_t i = 0; i < drives.size(); ++i) {
      if (static_cast<uint32_t>(static_cast<uint8_t>(drives[i].letter)) == result_) {
        Echo(std::string(1, drives[i].letter) + "\r\n");
        chosen = i;
        result_ = kAnswerChosen;
        break;
      }
    }
    if (result_ == kAnswerChosen) break;
  }
  kind_ = kProgressWindow;
  return result_;
}

uint32_t Dialogs::AskInsertDisk(char letter, uint32_t variant) {
  std::string text = variant == 2 ? "Not enough space. " : "";
  text += "Please insert ";
  text += variant == 1 ? "new " : variant == 2 ? "another " : "";
  text += "disk into drive A:";
  text[text.size() - 2] = letter;
  if (ui_ != nullptr) {
    ui_->windows.Record(kInsertDisk).text = text;
    return RunWindow(kInsertDisk);
  }
  Echo(text);
  Echo(". Press Enter to continue...");
  return WaitForResult(kInsertDisk);
}

void Dialogs::WaitEnterToExit() {
  Echo("\r\nPress Enter to exit...");
  result_ = kAnswerNone;
  while (result_ == kAnswerNone) PollInput(true);
  Echo("\r\n");
}

void Dialogs::EnterListMode(uint8_t kind, size_t entries) {
  WindowTable& windows = ui_->windows;
  windows.UnmarkFocus();
  windows.listMode = true;
  int rows = windows.Record(kind).TextRows();
  windows.listRows = static_cast<uint16_t>(rows < static_cast<int>(entries) ? rows : static_cast<int>(entries));
  windows.HighlightRow(kind, windows.highlightedRow, true);
}

void Dialogs::LeaveListMode(uint8_t kind, bool markFocus) {
  WindowTable& windows = ui_->windows;
  windows.HighlightRow(kind, windows.highlightedRow, false);
  windows.listMode = false;
  if (markFocus) windows.MarkFocus();
}

uint32_t Dialogs::RunBrowserDialog(const std::string& listing, size_t entries, size_t& chosen, std::string& typedPath) {
  if (ui_ == nullptr) return kAnswerCancel;
  WindowTable& windows = ui_->windows;
  WindowRecord& r = windows.Record(kSelectionWindow);
  windows.currentKind = kSelectionWindow;
  Screen& screen = ui_->screen;
  ui_->drawBase = [&screen] { screen.ClearScreen(colour::kMain); };
  ui_->drawBase();
  r.text = listing;
  windows.PrepareText(kSelectionWindow);
  windows.highlightedRow = 0;
  windows.OpenWindow(kSelectionWindow);
  ui_->screen.Present();
  uint32_t result = kAnswerNone;
  while (result == kAnswerNone) {
    ui_->input.dialogResult = kAnswerNone;
    ui_->input.PollInput(true);
    uint32_t got = ui_->input.dialogResult;
    if (got == kAnswerOk && !windows.listMode && entries > 0) {
      EnterListMode(kSelectionWindow, entries);
    } else if (got == kAnswerOk && windows.listMode) {
      LeaveListMode(kSelectionWindow, false);
      chosen = static_cast<size_t>(windows.highlightedRow + r.firstLine);
      result = kAnswerChosen;
    } else if (got == kAnswerManual) {
      if (EnterManualPath(typedPath) == kAnswerTyped) result = kAnswerTyped;
    } else if (got == kAnswerHelp) {
      ShowInformation(kInfoHelp, 0);
      windows.currentKind = kSelectionWindow;
    } else if (got == kAnswerCancel && windows.listMode) {
      LeaveListMode(kSelectionWindow, true);
    } else if (got == kAnswerCancel) {
      result = kAnswerCancel;
    }
    if (result == kAnswerNone && abortRequested_) result = kAnswerCancel;  // Ctrl+C, Exit confirmed
    ui_->screen.Present();
  }
  windows.CloseWindow(kSelectionWindow);
  r.text.clear();
  ui_->screen.Present();
  return result;
}

uint32_t Dialogs::ShowNothingFound(std::string& typed) {
  if (ShowInformation(kInfoNoHives, 0) != kAnswerOk) return kAnswerCancel;
  return EnterManualPath(typed);
}

uint32_t Dialogs::EnterManualPath(std::string& path) {
  if (ui_ == nullptr) return kAnswerCancel;
  WindowTable& windows = ui_->windows;
  uint8_t before = windows.currentKind;
  WindowRecord& r = windows.Record(kManualPath);
  InputDispatcher& input = ui_->input;
  r.text.clear();
  windows.OpenWindow(kManualPath);
  // The field: one row of the text area in the field's colour, with the text typed before.
  windows.entryField = {static_cast<int16_t>(r.pos.x + 2), static_cast<int16_t>(r.pos.y + 2)};
  windows.entryWidth = r.TextWidth();
  windows.textEntry = true;
  input.DrawPathField();
  ui_->screen.RestoreCursor();
  ui_->screen.Present();
  uint32_t result = kAnswerNone;
  while (result != kAnswerOk && result != kAnswerCancel) {
    input.PollInput(true);
    result = input.dialogResult;
    ui_->screen.Present();
  }
  windows.textEntry = false;
  ui_->screen.HideCursor();
  windows.CloseWindow(kManualPath);
  windows.currentKind = before;  // the selection window, or the main one
  ui_->screen.Present();
  if (result == kAnswerCancel || input.path.empty()) return kAnswerCancel;
  path = input.path;
  return kAnswerTyped;
}

void Dialogs::OpenSearchWindow() {
  if (ui_ == nullptr) return;
  ui_->windows.Record(kSearchWindow).text.clear();
  ui_->windows.OpenWindow(kSearchWindow);
  ui_->input.dialogResult = kAnswerNone;
  ui_->screen.Present();
}

uint32_t Dialogs::UpdateSearchWindow(const std::string* folder) {
  if (ui_ == nullptr) return kAnswerNone;
  WindowRecord& r = ui_->windows.Record(kSearchWindow);
  if (folder != nullptr) {
    ScreenPos row{static_cast<int16_t>(r.pos.x + 2), static_cast<int16_t>(r.pos.y + 2)};
    ui_->screen.FillBlanks(row, r.TextWidth(), r.body);
    ui_->screen.WritePath(row, *folder, static_cast<size_t>(r.TextWidth()));
  }
  uint32_t before = ui_->input.dialogResult;
  ui_->input.PollInput(false);
  if (ui_->input.dialogResult == kAnswerNone) ui_->input.dialogResult = before;  // kept until read
  // The terminal sees the search window at most every kSearchPresentMs: a search that opens
  // thousands of files would spend its time drawing otherwise. Closing it shows the last state.
  uint64_t now = platform::MonotonicMs();
  if (now - searchShown_ >= kSearchPresentMs) {
    searchShown_ = now;
    ui_->screen.Present();
  }
  return ui_->input.dialogResult;
}

void Dialogs::CloseSearchWindow() {
  if (ui_ == nullptr) return;
  ui_->windows.CloseWindow(kSearchWindow);
  ui_->screen.Present();
}

void Dialogs::ShowSearchingScreen() {
  if (ui_ == nullptr) return;
  Screen& screen = ui_->screen;
  ui_->drawBase = [&screen] {
    screen.ClearScreen(colour::kMain);
    screen.WriteText({static_cast<int16_t>(screen.Width() / 2 - 6), static_cast<int16_t>(screen.Height() / 2)}, "Searching...");
  };
  ui_->drawBase();
  screen.Present();
}

}  // namespace tarvos::console
