#include "console/windows.h"

#include <algorithm>
#include <cstring>

namespace tarvos::console {

namespace {

struct ButtonData {
  const char* label;
  int16_t offset;
  uint8_t hot;
};

WindowRecord Record(uint8_t body, uint8_t frame, uint8_t flags, int16_t width, int16_t height, const char* caption,
                    const char* text, std::initializer_list<ButtonData> buttons, uint8_t focused, bool saves) {
  WindowRecord r;
  r.body = body;
  r.frame = frame;
  r.flags = flags;
  r.size = {width, height};
  r.caption = caption != nullptr ? caption : "";
  r.text = text != nullptr ? text : "";
  r.saves = saves;
  int i = 0;
  for (const ButtonData& b : buttons) {
    ButtonRecord& button = r.buttons[i];
    button.label = b.label;
    button.offset = b.offset;
    button.hotAndFocus = b.hot;
    button.focused = focused;
    r.slots[i] = static_cast<uint8_t>(i);
    ++i;
  }
  r.buttonCount = static_cast<uint8_t>(i);
  r.buttons[0].hotAndFocus |= kFocusBit;
  return r;
}

bool IsBreakChar(char c) { return std::strchr(" !%*)-+=\\|}]:;,./?", c) != nullptr && c != '\0'; }

}  // namespace

std::array<WindowRecord, kWindowCount> InitialWindows() {
  using colour::kBrowserBody;
  using colour::kBrowserFrame;
  using colour::kDialogBody;
  using colour::kDialogFrame;
  std::array<WindowRecord, kWindowCount> r;
  r[kProgressWindow] = Record(colour::kMain, colour::kMain, 0, 0, 0, nullptr, nullptr,
                            {{" Pause ", 0, 1}, {" Exit ", 11, 2}, {" Resume ", 0, 1}}, 0x70, false);
  r[kProgressWindow].buttonCount = 2;
  r[kProgressWindow].slots[2] = kNoButton;  // " Resume " takes the first slot while the run is paused
  r[kProgressWindow].buttons[2].hotAndFocus |= kFocusBit;
  r[kExitConfirmation] = Record(kDialogBody, kDialogFrame, kCentred, 28, 10, " Exit ", "Terminate program?",
                        {{"   Ok   ", 0, kNoHotLetter}, {" Cancel ", 11, kNoHotLetter}}, colour::kButtonFocused, true);
  r[kErrorPrompt] = Record(kDialogBody, kDialogFrame, 0, 74, 16, " Error on offset: 0x00000000 ", nullptr,
                         {{" Fix ", 0, 1}, {" Fix All ", 8, 5}, {" Skip ", 20, 2}, {" Skip All ", 29, 7}, {"  Stop  ", 42, 2}},
                         colour::kButtonFocused, true);
  for (int skip : {2, 3}) {
    r[kErrorPrompt].buttons[skip].normal = colour::kSkipButton;
    r[kErrorPrompt].buttons[skip].disabled = 1;
  }
  r[kInformation] = Record(kDialogBody, kDialogFrame, kCentred, 44, 9, " Information ", nullptr,
                               {{"   Ok   ", 0, kNoHotLetter}, {" Cancel ", 11, kNoHotLetter}}, colour::kButtonFocused, true);
  r[kInformation].buttonCount = 1;
  r[kInformation].slots[1] = kNoButton;
  r[kSaveQuestion] = Record(kDialogBody, kDialogFrame, 0, 58, 11, " File Save ",
                        "Hive structure was changed. Do You want to save it?\n\nPress <Overwrite> to replace current hive "
                        "file\nPress <Disk> to select destination media",
                        {{" Overwrite ", 0, 1}, {" Disk ", 14, 1}, {" Cancel ", 23, 1}}, colour::kButtonFocused, true);
  r[kDriveSelection] = Record(kDialogBody, kDialogFrame, kCentred | kListBox, 40, 11, " Drive Selection ", nullptr,
                          {{" Select Drive ", 0, 8}, {" Cancel ", 17, 1}}, colour::kButtonFocused, true);
  r[kInsertDisk] = Record(kDialogBody, kDialogFrame, kCentred, 28, 10, " Insert Disk ", nullptr,
                              {{"   Ok   ", 0, kNoHotLetter}, {" Cancel ", 11, kNoHotLetter}}, colour::kButtonFocused, true);
  r[kSelectionWindow] = Record(kBrowserBody, kBrowserFrame, kListBox | kPlainFrame, 74, 16,
                           " Select file or folder with Windows hive file(s) ", nullptr,
                           {{" Select ", 0, kNoHotLetter}, {" Manual ", 11, kNoHotLetter}, {" Help ", 22, kNoHotLetter},
                            {" Cancel ", 31, kNoHotLetter}},
                           0x70, false);
  r[kSelectionWindow].fileNames = true;
  r[kSelectionWindow].pathFrom = 10;  // "Registry: ", "Profile:  ", "Hivefile: "
  r[kManualPath] = Record(kBrowserBody, kBrowserFrame, 0, 74, 8, " Type full path of filename ", nullptr,
                        {{" Ok ", 0, kNoHotLetter}}, 0x70, true);
  r[kSearchWindow] = Record(kDialogBody, kDialogFrame, 0, 74, 8, " Searching... ", nullptr,
                          {{" Cancel ", 0, kNoHotLetter}}, colour::kButtonFocused, true);
  return r;
}

std::vector<std::string> WrapText(const std::string& text, int width) {
  std::vector<std::string> lines;
  if (width <= 0) return lines;
  const size_t a = static_cast<size_t>(width);
  const size_t n = text.size();
  for (size_t start = 0; start < n && lines.size() < 65535;) {
    size_t end = start + a < n ? start + a : n;
    size_t feed = text.find('\n', start);
    if (feed != std::string::npos && feed < end) end = feed;
    size_t taken = 0;
    std::string line;
    if (end == n || text[end] == '\n') {
      line = text.substr(start, end - start);
      taken = end - start + 1;
    } else {
      for (size_t p = end; p > start && taken == 0; --p) {
        if (IsBreakChar(text[p]) && p - start + 1 <= a) {
          line = text.substr(start, p - start + 1);
          taken = p - start + 1;
        }
      }
      if (taken == 0) {  // no place to break: cut at the width
        line = text.substr(start, end - start);
        taken = end - start;
      }
    }
    lines.push_back(std::move(line));
    start += taken;
  }
  return lines;
}

void WindowTable::CentreButtonRow(WindowRecord& r) {
  const ButtonRecord* last = nullptr;
  for (int slot = 0; slot < r.buttonCount; ++slot) {
    if (ButtonRecord* b = r.InSlot(slot)) last = b;
  }
  int rowWidth = last != nullptr ? last->offset + last->Length() : 0;
  int shift = (r.size.x - rowWidth) / 2 + r.pos.x;
  for (ButtonRecord& b : r.buttons) {
    b.pos = {static_cast<int16_t>(b.offset + shift), static_cast<int16_t>(r.pos.y + r.size.y - 3)};
  }
}

void WindowTable::LayoutWindows() {
  const int w = screen_.Width(), h = screen_.Height();
  auto centre = [&](WindowRecord& r) {
    r.pos = {static_cast<int16_t>((w - r.size.x) / 2), static_cast<int16_t>((h - r.size.y) / 2)};
  };
  auto at = [](int x, int y) { return ScreenPos{static_cast<int16_t>(x), static_cast<int16_t>(y)}; };
  WindowRecord& main = records_[kProgressWindow];
  main.size = at(w, h);
  main.buttons[0].pos = main.buttons[2].pos = at(2, h - 6);
  main.buttons[1].pos = at(13, h - 6);
  for (int kind : {kExitConfirmation, kInsertDisk}) {
    WindowRecord& r = records_[kind];
    centre(r);
    r.buttons[0].pos = at(r.pos.x + 4, r.pos.y + 7);
    r.buttons[1].pos = at(r.pos.x + 15, r.pos.y + 7);
    PrepareText(kind);
  }
  for (int kind : {kErrorPrompt, kSelectionWindow}) {
    WindowRecord& r = records_[kind];
    r.size = at(w - 8, h - 8);
    centre(r);
    CentreButtonRow(r);
    PrepareText(kind);
  }
  for (int kind : {kSaveQuestion, kDriveSelection}) {
    centre(records_[kind]);
    CentreButtonRow(records_[kind]);
    PrepareText(kind);
  }
  WindowRecord& path = records_[kManualPath];
  path.size.x = static_cast<int16_t>(w - 14);
  centre(path);
  CentreButtonRow(path);
  path.text.clear();
  PrepareText(kManualPath);
  WindowRecord& search = records_[kSearchWindow];
  search.size.x = static_cast<int16_t>(w - 8);
  centre(search);
  CentreButtonRow(search);
  search.text.clear();
  PrepareText(kSearchWindow);
  LayoutInformation(records_[kInformation].size, infoTwoButtons_, infoCentred_);
}

void WindowTable::LayoutAgain() {
  LayoutWindows();
  for (int kind : open_) PrepareText(kind);
}

void WindowTable::ReopenWindows() {
  const uint8_t current = currentKind;
  std::vector<int> open = open_;
  for (int kind : open) Reopen(kind);
  currentKind = current;
}

void WindowTable::Reopen(int kind) {
  WindowRecord& r = records_[kind];
  const int rows = r.TextRows(), count = r.LineCount();
  // The row chosen in a list stays in sight, at the row it had where that can be.
  const bool list = listMode && (r.flags & kListBox) != 0;
  const int chosen = r.firstLine + highlightedRow;
  int first = std::min<int>(r.firstLine, std::max(0, count - rows));
  if (list) first = std::clamp(first, std::max(0, chosen - rows + 1), chosen);
  OpenWindow(kind);
  if (first != 0) {
    r.firstLine = static_cast<uint16_t>(first);
    DrawTextArea(kind);
  }
  if (!list) return;
  listRows = static_cast<uint16_t>(std::min(rows, count));
  highlightedRow = static_cast<uint16_t>(chosen - first);
  HighlightRow(kind, highlightedRow, true);
}

void WindowTable::LayoutInformation(ScreenPos size, bool twoButtons, bool centred) {
  WindowRecord& r = records_[kInformation];
  infoTwoButtons_ = twoButtons;
  infoCentred_ = centred;
  r.size = size;
  r.flags = centred ? kCentred : 0;
  r.buttonCount = twoButtons ? 2 : 1;
  r.slots[1] = twoButtons ? 1 : kNoButton;
  r.pos = {static_cast<int16_t>((screen_.Width() - size.x) / 2), static_cast<int16_t>((screen_.Height() - size.y) / 2)};
  int16_t row = static_cast<int16_t>(r.pos.y + size.y - 3);
  if (!twoButtons) {
    r.buttons[0].pos = {static_cast<int16_t>(r.pos.x + (size.x - r.buttons[0].Length()) / 2), row};
  } else {
    int both = r.buttons[0].Length() + r.buttons[1].Length();
    r.buttons[0].pos = {static_cast<int16_t>(r.pos.x + (size.x - both) / 2), row};
    r.buttons[1].pos = {static_cast<int16_t>(r.buttons[0].pos.x + r.buttons[0].Length() + 2), row};
  }
}

bool WindowTable::PrepareText(int kind) {
  WindowRecord& r = records_[kind];
  r.lines.clear();
  if (r.text.empty()) return false;
  if (r.fileNames) {  // a listing: its lines were made to fit
    for (size_t from = 0; from < r.text.size() && r.lines.size() < 65535;) {
      size_t end = r.text.find('\n', from);
      if (end == std::string::npos) end = r.text.size();
      r.lines.push_back(r.text.substr(from, end - from));
      from = end + 1;
    }
    return true;
  }
  r.lines = WrapText(r.text, r.TextWidth());
  return true;
}

void WindowTable::OpenWindow(int kind) {
  WindowRecord& r = records_[kind];
  ScreenPos covered{static_cast<int16_t>(r.size.x + 2), static_cast<int16_t>(r.size.y + 1)};
  if (r.saves) r.saved = screen_.SaveRect(r.pos, covered);
  screen_.DrawFrame(r.pos, r.size, r.frame, r.body, (r.flags & kPlainFrame) != 0);
  if (!r.caption.empty()) {
    screen_.WriteText({static_cast<int16_t>(r.pos.x + (r.size.x - static_cast<int>(r.caption.size())) / 2), r.pos.y}, r.caption);
  }
  r.firstLine = 0;
  r.scrollShown = false;
  DrawTextArea(kind);
  currentKind = static_cast<uint8_t>(kind);
  std::erase(open_, kind);
  open_.push_back(kind);
  DrawButtons(kind);
}

void WindowTable::CloseWindow(int kind) {
  WindowRecord& r = records_[kind];
  if (currentKind == kind) FocusSlot(0);
  r.focusedSlot = 0;
  if (r.saves && !r.saved.empty()) {
    screen_.RestoreRect(r.saved, r.pos, {static_cast<int16_t>(r.size.x + 2), static_cast<int16_t>(r.size.y + 1)});
  }
  std::erase(open_, kind);
  currentKind = kProgressWindow;
}

void WindowTable::DrawTextArea(int kind) {
  WindowRecord& r = records_[kind];
  const int a = r.TextWidth(), rows = r.TextRows();
  const int count = r.LineCount();
  for (int row = 0; r.firstLine + row < count && row < rows; ++row) {
    const std::string& line = r.lines[r.firstLine + row];
    int length = static_cast<int>(line.size());
    int16_t y = static_cast<int16_t>(r.pos.y + 2 + row);
    if (r.fileNames) {
      screen_.WriteText({static_cast<int16_t>(r.pos.x + 2), y}, std::string(static_cast<size_t>(a), ' '));
      // A label, then a path shortened in its middle to the rest of the row.
      const size_t label = std::min(line.size(), static_cast<size_t>(std::min(r.pathFrom, a)));
      screen_.WriteFileName({static_cast<int16_t>(r.pos.x + 2), y}, line.substr(0, label), label);
      screen_.WritePath({static_cast<int16_t>(r.pos.x + 2 + label), y}, line.substr(label), static_cast<size_t>(a) - label);
    } else if ((r.flags & kCentred) && length <= a) {
      // The whole row first: a shorter line scrolled into it keeps nothing of the one before.
      screen_.WriteText({static_cast<int16_t>(r.pos.x + 2), y}, std::string(static_cast<size_t>(a), ' '));
      screen_.WriteText({static_cast<int16_t>(r.pos.x + 2 + (a - length) / 2), y}, line);
    } else {
      screen_.WriteTextN({static_cast<int16_t>(r.pos.x + 2), y}, line, static_cast<size_t>(a));
      if (length < a && !(r.flags & kCentred)) {
        screen_.WriteText({static_cast<int16_t>(r.pos.x + 2 + length), y}, std::string(static_cast<size_t>(std::min(a - length, 1024)), ' '));
      }
    }
  }
  if (count > rows) {
    uint32_t thumb = static_cast<uint32_t>(r.firstLine) * 200u / static_cast<uint32_t>(count - rows);
    if (!r.scrollShown) {
      r.scrollPos = {static_cast<int16_t>(r.pos.x + r.size.x - 1), static_cast<int16_t>(r.pos.y + 1)};
      r.scrollLength = static_cast<uint16_t>(r.size.y - 2);
      r.scrollShown = true;
    }
    r.thumbRow = static_cast<uint16_t>(screen_.DrawScrollBar(r.scrollPos, r.scrollLength, r.frame, thumb));
  } else {
    r.scrollShown = false;
  }
}

void WindowTable::ScrollText(int step) {
  WindowRecord& r = Current();
  if ((r.flags & kListBox) && !listMode) return;
  const int rows = r.TextRows(), count = r.LineCount();
  int first = r.firstLine;
  switch (step) {
    case -1:
      if (first - 1 < 0) return;
      --first;
      break;
    case 1:
      if (first + 1 + rows > count) return;
      ++first;
      break;
    case -2: first = first - rows < 0 ? 0 : first - rows; break;
    case 2:
      first = first + rows + rows > count ? (count - rows > 0 ? count - rows : 0) : first + rows;
      break;
    default: return;
  }
  r.firstLine = static_cast<uint16_t>(first);
  DrawTextArea(currentKind);
}

void WindowTable::DrawButtons(int kind) {
  for (int slot = 0; slot < records_[kind].buttonCount; ++slot) DrawButton(kind, slot, records_[kind].body);
}

void WindowTable::DrawButton(int kind, int slot, uint8_t shadowBase) {
  ButtonRecord* b = records_[kind].InSlot(slot);
  if (b == nullptr) return;
  uint8_t label = b->Focused() ? b->focused : b->disabled ? static_cast<uint8_t>(shadowBase & 0xF0) : b->normal;
  uint8_t hot = b->disabled ? static_cast<uint8_t>(shadowBase & 0xF0) : static_cast<uint8_t>((label & 0xF0) | 0x0F);
  size_t hotIndex = b->hotAndFocus & 0x7F;
  for (size_t i = 0; i < b->label.size(); ++i) {
    screen_.PutTextCell({static_cast<int16_t>(b->pos.x + i), b->pos.y}, static_cast<uint8_t>(b->label[i]), i == hotIndex ? hot : label);
  }
  if (shadowBase != 0) {
    uint8_t shadow = static_cast<uint8_t>(shadowBase & 0xF0);
    screen_.PutCell({static_cast<int16_t>(b->pos.x + b->Length()), b->pos.y}, glyph::kShadowRight, shadow);
    for (int i = 0; i < b->Length(); ++i) {
      screen_.PutCell({static_cast<int16_t>(b->pos.x + 1 + i), static_cast<int16_t>(b->pos.y + 1)}, glyph::kShadowBelow, shadow);
    }
  }
}

void WindowTable::HighlightRow(int kind, int row, bool on) {
  WindowRecord& r = records_[kind];
  screen_.FillAttribute({static_cast<int16_t>(r.pos.x + 2), static_cast<int16_t>(r.pos.y + 2 + row)}, r.TextWidth(),
                        on ? r.buttons[0].focused : r.body);
}

void WindowTable::SelectRow(int row) {
  HighlightRow(currentKind, highlightedRow, false);
  highlightedRow = static_cast<uint16_t>(row);
  HighlightRow(currentKind, highlightedRow, true);
}

void WindowTable::FocusSlot(int slot) {
  WindowRecord& r = Current();
  if (slot == r.focusedSlot) return;
  ButtonRecord* from = r.InSlot(r.focusedSlot);
  ButtonRecord* to = r.InSlot(slot);
  if (from != nullptr) from->hotAndFocus &= static_cast<uint8_t>(~kFocusBit);
  if (to != nullptr) to->hotAndFocus |= kFocusBit;
  int old = r.focusedSlot;
  r.focusedSlot = static_cast<uint8_t>(slot);
  DrawButton(currentKind, old, 0);
  DrawButton(currentKind, slot, 0);
}

void WindowTable::MarkFocus() {
  if (ButtonRecord* b = Current().InSlot(Current().focusedSlot)) b->hotAndFocus |= kFocusBit;
  DrawButton(currentKind, Current().focusedSlot, 0);
}

void WindowTable::UnmarkFocus() {
  if (ButtonRecord* b = Current().InSlot(Current().focusedSlot)) b->hotAndFocus &= static_cast<uint8_t>(~kFocusBit);
  DrawButton(currentKind, Current().focusedSlot, 0);
}

}  // namespace tarvos::console
