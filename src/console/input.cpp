#include "console/input.h"

#include <cstring>

#include "platform/file.h"
#include "platform/text.h"

namespace tarvos::console {

namespace {
constexpr uint8_t kCtrlC = 0x03;
constexpr uint8_t kCtrlZ = 0x1A;
}  // namespace

int InputDispatcher::ReadInputEvents(std::array<InputEvent, kBatch>& events, int timeoutMs) {
  int count = 0;
  bool resized = false;
  int width = 0, height = 0;
  platform::InputRecord record;
  for (int read = 0; read < kBatch && device_.ReadInput(record, read == 0 ? timeoutMs : 0); ++read) {
    using Type = platform::InputRecord::Type;
    if (record.type == Type::Key && record.keyDown) {
      events[count++] = InputEvent{0, record.ch, record.vk, record.control, {}};
    } else if (record.type == Type::Mouse && (record.buttons & (platform::kMouseLeft | platform::kMouseRight)) &&
               (record.mouseFlags == 0 || record.mouseFlags == platform::kMouseDoubleClick)) {
      InputEvent click;
      click.kind = kEventClick;
      if (record.mouseFlags == platform::kMouseDoubleClick) click.kind |= kEventDoubleClick;
      if (record.buttons & platform::kMouseLeft) {
        click.ch = 0x0D;
      } else {
        click.kind |= kEventRightButton;
        click.ch = 0x1B;
      }
      click.control = record.control;
      click.pos = {record.x, record.y};
      events[count++] = click;
    } else if (record.type == Type::Mouse && record.mouseFlags == platform::kMouseWheeled) {
      // A notch of the wheel scrolls a list or a text by three rows, as three arrow keys would.
      uint16_t vk = record.buttons == platform::kWheelUp ? platform::kVkUp : platform::kVkDown;
      for (int row = 0; row < 3 && count < kBatch; ++row) events[count++] = InputEvent{0, 0, vk, 0, {}};
    } else if (record.type == Type::Resize) {
      resized = true;
      width = record.width;
      height = record.height;
    }
  }
  if (resized && onResize) onResize(width, height);
  return count;
}

void InputDispatcher::PollInput(bool wait) {
  std::array<InputEvent, kBatch> events;
  int count = ReadInputEvents(events, wait ? kWaitMs : 0);
  if (count == 0) {
    dialogResult = 0;
    return;
  }
  for (;;) {
    for (int i = 0; i < count; ++i) {
      DispatchEvent(events[i]);
      if (abortRequested_) return;
    }
    if (count < kBatch) return;
    count = ReadInputEvents(events, 0);
    if (count == 0) return;
  }
}

bool InputDispatcher::EditPath(const InputEvent& e) {
  if (e.ch >= 0x20 && e.ch <= 0xFE) {
    // Bytes of the name's own encoding (UTF-8 on POSIX); as long as the system opens.
    if (path.size() < platform::MaxPathLength()) path += static_cast<char>(e.ch);
    DrawPathField();
    dialogResult = kAnswerTyped;
    return true;
  }
  if (e.ch == 0x1B || e.ch == 0x0D) {
    dialogResult = e.ch == 0x1B ? kAnswerCancel : kAnswerOk;
    return true;
  }
  if (e.ch == 0x08 && !path.empty()) {
    platform::DropLastChar(path);
    DrawPathField();
  }
  return false;
}

void InputDispatcher::DrawPathField() {
  Screen& screen = windows_.Scr();
  const ScreenPos at = windows_.entryField;
  const size_t width = windows_.entryWidth > 0 ? static_cast<size_t>(windows_.entryWidth) : 0;
  std::vector<uint32_t> chars = platform::DecodeFileName(path);
  // One cell is kept for the cursor; what does not fit goes from the start, with the marks of
  // the characters that go.
  size_t from = 0;
  for (size_t total = platform::TextWidth(chars); from < chars.size() && (total + 1 > width || platform::DisplayWidth(chars[from]) == 0); ++from) {
    total -= static_cast<size_t>(platform::DisplayWidth(chars[from]));
  }
  chars.erase(chars.begin(), chars.begin() + static_cast<long>(from));
  screen.FillBlanks(at, static_cast<int>(width), colour::kPathField);
  screen.WriteChars(at, chars, width);
  screen.SetCursorPos(at.x + static_cast<int>(platform::TextWidth(chars)), at.y);
}

void InputDispatcher::DispatchEvent(const InputEvent& e) {
  if (e.kind != 0) {
    if (e.kind & kEventRightButton) {
      if (windows_.ListHasKeys() || windows_.textEntry) HandleEscape();
      return;
    }
    if (int slot = HitButton(e.pos); slot > 0) {
      windows_.FocusSlot(slot - 1);
      ActivateFocused();
    } else if (int row = HitListRow(e.pos); row != 0) {
      if (row == -1) {
        if (e.kind & kEventDoubleClick) ActivateFocused();
      } else {
        windows_.SelectRow(row - 1);
      }
    } else {
      switch (HitScrollBar(e.pos)) {
        case 1: LineUp(); break;
        case 2: LineDown(); break;
        case 3: PageUp(); break;
        case 4: PageDown(); break;
        default: break;
      }
    }
    return;
  }
  if (windows_.textEntry && windows_.currentKind == kManualPath && EditPath(e)) return;
  if (e.ch == kCtrlC) return AskToExit();
  if (e.ch == kCtrlZ) return device_.Suspend();
  if (e.ch > 'x') return;
  if (e.ch == 0) {
    switch (e.vk) {
      case platform::kVkPrior: PageUp(); break;
      case platform::kVkNext: PageDown(); break;
      case platform::kVkLeft: FocusPrev(); break;
      case platform::kVkUp: LineUp(); break;
      case platform::kVkRight: FocusNext(); break;
      case platform::kVkDown: LineDown(); break;
      default: break;
    }
    return;
  }
  if (e.ch == 0x0D) {
    ActivateFocused();
    return;
  }
  if (e.ch == 0x1B) {
    HandleEscape();
    return;
  }
  char upper = static_cast<char>(e.ch >= 'a' && e.ch <= 'z' ? e.ch - 0x20 : e.ch);
  if (std::strchr("ACDFKLOPRSX", upper) == nullptr || upper == '\0') return;
  if (e.control & (platform::kRightCtrl | platform::kLeftCtrl)) return;
  // On the main window P and R focus the first button, whichever label it shows, and pause or
  // resume the run.
  if (windows_.currentKind == kProgressWindow && (upper == 'P' || upper == 'R')) {
    windows_.FocusSlot(0);
    if (pauseOrResume) pauseOrResume(upper);
    return;
  }
  // A hot letter moves the focus to its button, then activates it.
  WindowRecord& r = windows_.Current();
  for (int slot = 0; slot < r.buttonCount; ++slot) {
    ButtonRecord* b = r.InSlot(slot);
    char hot = b != nullptr ? b->HotLetter() : '\0';
    if (hot >= 'a' && hot <= 'z') hot = static_cast<char>(hot - 0x20);
    if (b != nullptr && !b->disabled && hot == upper) {
      windows_.FocusSlot(slot);
      ActivateFocused();
      return;
    }
  }
}

void InputDispatcher::ActivateFocused() {
  static constexpr uint32_t kNothing = 0;
  static constexpr uint32_t kResults[kWindowCount][kSlots] = {
      {},                                                                      // the main window: below
      {},                                                                      // the exit confirmation: below
      {kAnswerFix, kAnswerFixAll, kNothing, kNothing, kAnswerCancel},          // error
      {kAnswerOk, kAnswerCancel},                                              // information
      {kAnswerFix, kAnswerDisk, kAnswerCancel},                                // save question
      {kAnswerOk, kAnswerCancel},                                              // drives
      {kAnswerOk, kAnswerCancel},                                              // insert disk
      {kAnswerOk, kAnswerManual, kAnswerHelp, kAnswerCancel},                  // browser
      {kAnswerOk},                                                             // path entry
      {kAnswerCancel},                                                         // search
  };
  uint8_t kind = windows_.currentKind;
  int slot = kind < kWindowCount ? windows_.Record(kind).focusedSlot : 0;
  if (kind == kProgressWindow) {
    if (slot == 0 && pauseOrResume) pauseOrResume(0);
    if (slot == 1 && exitConfirmation) exitConfirmation();
  } else if (kind == kExitConfirmation) {
    (slot == 0 ? exitFlag : continueFlag) = true;
  } else if (kind < kWindowCount) {
    uint32_t result = kResults[kind][slot];
    if (result != kNothing) dialogResult = result;
  } else {
    dialogResult = kAnswerCancel;
  }
}

void InputDispatcher::AskToExit() {
  if (windows_.currentKind == kExitConfirmation || !exitConfirmation) return;
  exitConfirmation();
  if (!abortRequested_ || windows_.currentKind == kProgressWindow) return;
  windows_.listMode = false;
  dialogResult = kAnswerCancel;
}

void InputDispatcher::HandleEscape() {
  uint8_t kind = windows_.currentKind;
  if (kind == kExitConfirmation) continueFlag = true;
  if (kind >= kErrorPrompt && kind <= kSearchWindow) dialogResult = kAnswerCancel;
}

void InputDispatcher::MoveFocus(int step) {
  if (windows_.ListHasKeys()) return;
  WindowRecord& r = windows_.Current();
  if (r.buttonCount == 0) return;
  int slot = r.focusedSlot;
  for (int tries = 0; tries < r.buttonCount; ++tries) {
    slot = (slot + step + r.buttonCount) % r.buttonCount;
    ButtonRecord* b = r.InSlot(slot);
    if (b != nullptr && !b->disabled) {
      windows_.FocusSlot(slot);
      return;
    }
  }
}

void InputDispatcher::LineUp() {
  if (!windows_.ListHasKeys()) return windows_.ScrollText(-1);
  if (windows_.highlightedRow == 0) return windows_.ScrollText(-1);
  windows_.SelectRow(windows_.highlightedRow - 1);
}

void InputDispatcher::LineDown() {
  if (!windows_.ListHasKeys()) return windows_.ScrollText(1);
  if (windows_.highlightedRow + 1 >= windows_.listRows) return windows_.ScrollText(1);
  windows_.SelectRow(windows_.highlightedRow + 1);
}

void InputDispatcher::PageUp() {
  if (!windows_.ListHasKeys()) return windows_.ScrollText(-2);
  int row = windows_.highlightedRow;
  int before = windows_.Current().firstLine;
  windows_.ScrollText(-2);
  int moved = row - windows_.listRows + (before - windows_.Current().firstLine);
  if (moved < 0) moved = 0;
  if (moved != row) windows_.SelectRow(moved);
}

void InputDispatcher::PageDown() {
  if (!windows_.ListHasKeys()) return windows_.ScrollText(2);
  int row = windows_.highlightedRow;
  int before = windows_.Current().firstLine;
  windows_.ScrollText(2);
  int moved = windows_.listRows + row - (windows_.Current().firstLine - before);
  if (moved > windows_.listRows - 1) moved = windows_.listRows - 1;
  if (moved != row) windows_.SelectRow(moved);
}

int InputDispatcher::HitButton(ScreenPos at) {
  if (windows_.ListHasKeys()) return 0;
  WindowRecord& r = windows_.Current();
  for (int slot = 0; slot < r.buttonCount; ++slot) {
    ButtonRecord* b = r.InSlot(slot);
    if (b == nullptr || at.y != b->pos.y || at.x < b->pos.x || at.x >= b->pos.x + b->Length()) continue;
    return b->disabled ? 0 : slot + 1;
  }
  return 0;
}

int InputDispatcher::HitListRow(ScreenPos at) {
  if (!windows_.ListHasKeys()) return 0;
  WindowRecord& r = windows_.Current();
  if (at.x < r.pos.x + 2 || at.x >= r.pos.x + 2 + r.TextWidth() || at.y < r.pos.y + 2 || at.y >= r.pos.y + 2 + (r.size.y - 4)) {
    return 0;
  }
  int row = at.y - (r.pos.y + 2);
  if (row >= windows_.listRows) return 0;
  return row == windows_.highlightedRow ? -1 : row + 1;
}

int InputDispatcher::HitScrollBar(ScreenPos at) {
  WindowRecord& r = windows_.Current();
  if (!r.scrollShown || at.x != r.scrollPos.x || at.y < r.scrollPos.y || at.y >= r.scrollPos.y + r.scrollLength) return 0;
  if (at.y == r.scrollPos.y) return 1;
  if (at.y == r.scrollPos.y + r.scrollLength - 1) return 2;
  if (at.y < r.thumbRow) return 3;
  if (at.y > r.thumbRow) return 4;
  return 0;
}

}  // namespace tarvos::console
