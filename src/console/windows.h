// The window table of the full-screen interface: the ten windows as records of data (colours,
// sizes, captions, texts, buttons), laid out once for the screen, and their drawing: text wrapped
// into lines, a window opened over what it covers and closed again, its text area scrolled, its
// buttons drawn and focused, list rows highlighted.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "console/screen.h"

namespace tarvos::console {

// The window or prompt that is current; key rules depend on it.
enum DialogKind : uint8_t {
  kProgressWindow = 0,
  kExitConfirmation = 1,
  kErrorPrompt = 2,
  kInformation = 3,
  kSaveQuestion = 4,
  kDriveSelection = 5,
  kInsertDisk = 6,
  kSelectionWindow = 7,
  kManualPath = 8,
  kSearchWindow = 9,
  kNoWindow = 255,
};
inline constexpr int kWindowCount = 10;
inline constexpr int kSlots = 5;
inline constexpr uint8_t kNoButton = 0xFF;
inline constexpr uint8_t kFocusBit = 0x80;
inline constexpr uint8_t kNoHotLetter = 0x0F;

// Window flags.
inline constexpr uint8_t kCentred = 0x01;
inline constexpr uint8_t kListBox = 0x10;
inline constexpr uint8_t kPlainFrame = 0x80;

struct ButtonRecord {
  std::string label;
  int16_t offset = 0;  // column in the button row, from the first button
  ScreenPos pos;
  uint8_t hotAndFocus = kNoHotLetter;  // bit 7 the focus, bits 0 to 6 the hot letter's index
  uint8_t normal = colour::kButton;
  uint8_t focused = colour::kButtonFocused;
  uint8_t disabled = 0;
  int Length() const { return static_cast<int>(label.size()); }
  bool Focused() const { return (hotAndFocus & kFocusBit) != 0; }
  // The hot letter, or 0.
  char HotLetter() const {
    size_t index = hotAndFocus & 0x7F;
    return index < label.size() ? label[index] : '\0';
  }
};

struct WindowRecord {
  uint8_t body = 0;
  uint8_t frame = 0;
  uint8_t buttonCount = 0;
  uint8_t focusedSlot = 0;
  std::array<uint8_t, kSlots> slots{kNoButton, kNoButton, kNoButton, kNoButton, kNoButton};
  uint8_t flags = 0;
  uint16_t firstLine = 0;
  bool scrollShown = false;
  ScreenPos scrollPos;
  uint16_t scrollLength = 0;
  uint16_t thumbRow = 0;
  std::string caption;
  std::string text;
  std::vector<std::string> lines;  // the prepared text
  ScreenPos pos;
  ScreenPos size;
  bool saves = false;  // what the window covers is saved while it is open
  bool fileNames = false;  // its lines are file names: one an entry, shown as the system encodes them
  int pathFrom = 0;  // in such a line, the characters of its label before the path
  std::vector<platform::Cell> saved;
  std::array<ButtonRecord, kSlots> buttons;

  uint16_t LineCount() const { return static_cast<uint16_t>(lines.size() > 65535 ? 65535 : lines.size()); }
  int TextWidth() const { return size.x - 4; }
  int TextRows() const { return size.y - 6; }
  ButtonRecord* InSlot(int slot) {
    return slot >= 0 && slot < kSlots && slots[slot] < kSlots ? &buttons[slots[slot]] : nullptr;
  }
};

// The records as the program starts with them.
std::array<WindowRecord, kWindowCount> InitialWindows();

// Wraps text into lines of at most width characters: at line feeds, after a break character where
// the line still fits, else cut hard at the width.
std::vector<std::string> WrapText(const std::string& text, int width);

class WindowTable {
 public:
  explicit WindowTable(Screen& screen) : screen_(screen), records_(InitialWindows()) {
    // Without colours the focus, and a list's chosen row with it, is what reverse video shows.
    for (WindowRecord& r : records_) {
      for (ButtonRecord& b : r.buttons) b.focused = screen.Monochrome() ? platform::kMonoFocus : b.focused;
    }
  }

  // Positions and sizes for the screen, once per run.
  void LayoutWindows();
  // Wraps the record's text; false when it has none.
  bool PrepareText(int kind);
  void ReleaseText(int kind) { records_[kind].lines.clear(); }
  void OpenWindow(int kind);
  void CloseWindow(int kind);
  void DrawTextArea(int kind);
  // Step -1 and +1 a line, -2 and +2 a page.
  void ScrollText(int step);
  void DrawButtons(int kind);
  void DrawButton(int kind, int slot, uint8_t shadowBase);
  void HighlightRow(int kind, int row, bool on);
  void SelectRow(int row);
  void FocusSlot(int slot);
  void MarkFocus();
  void UnmarkFocus();
  // The screen took a new size: every window laid out for it, and those open drawn again over
  // what lies under them, each as it was (its text scrolled, its focus, its list's row).
  void LayoutAgain();
  void ReopenWindows();
  // The information box laid out for one or two buttons and its size.
  void LayoutInformation(ScreenPos size, bool twoButtons, bool centred);

  WindowRecord& Record(int kind) { return records_[kind]; }
  WindowRecord& Current() { return records_[currentKind < kWindowCount ? currentKind : 0]; }
  Screen& Scr() { return screen_; }
  // The list of the current window has the keyboard (a window opened over it has it not).
  bool ListHasKeys() { return listMode && (Current().flags & kListBox) != 0; }

  // The interaction state.
  uint8_t currentKind = kNoWindow;
  bool listMode = false;
  uint16_t highlightedRow = 0;
  uint16_t listRows = 0;
  uint16_t chosenIndex = 0;
  bool textEntry = false;
  // The path field: where it starts and its width in cells.
  ScreenPos entryField;
  int entryWidth = 0;

 private:
  void CentreButtonRow(WindowRecord& r);
  void Reopen(int kind);

  Screen& screen_;
  std::array<WindowRecord, kWindowCount> records_;
  std::vector<int> open_;  // the windows open, the last one on top
  bool infoTwoButtons_ = false;
  bool infoCentred_ = true;
};

}  // namespace tarvos::console
