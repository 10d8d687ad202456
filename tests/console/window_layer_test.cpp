// The full-screen layer on the headless device: drawing primitives, the window table, input
// dispatch, and what reaches a terminal.
#include <gtest/gtest.h>

#include <cstdio>

#include "console/console_state.h"
#include "console/input.h"
#include "console/windows.h"
#include "platform/file.h"
#include "platform/headless_console.h"
#include "platform/text.h"

namespace tarvos::console {
namespace {

struct Rig {
  explicit Rig(int width = 80, int height = 25) {
    device.SetScreenSize(width, height);
    device.Open(true, true);
    device.BeginScreen(true);
    screen.ClearScreen(colour::kMain);
    windows.LayoutWindows();
  }
  uint32_t Ch(int x, int y) { return screen.CellAt(x, y).ch; }
  uint8_t Attr(int x, int y) { return screen.CellAt(x, y).attr; }
  void Key(uint8_t ch, uint16_t vk = 0) {
    platform::InputRecord r;
    r.type = platform::InputRecord::Type::Key;
    r.keyDown = true;
    r.ch = ch;
    r.vk = vk;
    device.AddInput(r);
  }
  void Click(int x, int y, uint32_t flags = 0) {
    platform::InputRecord r;
    r.type = platform::InputRecord::Type::Mouse;
    r.x = static_cast<int16_t>(x);
    r.y = static_cast<int16_t>(y);
    r.buttons = platform::kMouseLeft;
    r.mouseFlags = flags;
    device.AddInput(r);
  }
  platform::HeadlessConsole device;
  Screen screen{device};
  WindowTable windows{screen};
  bool abortRequested = false;
  InputDispatcher input{device, windows, abortRequested};
};

TEST(DrawingPrimitives, FramesAndScrollBars) {
  Rig rig;
  rig.screen.DrawFrame({4, 4}, {72, 17}, colour::kDialogFrame, colour::kDialogBody, false);
  EXPECT_EQ(rig.Ch(4, 4), 0x2554u);
  EXPECT_EQ(rig.Ch(75, 4), 0x2557u);
  EXPECT_EQ(rig.Ch(4, 20), 0x255Au);
  EXPECT_EQ(rig.Ch(75, 20), 0x255Du);
  EXPECT_EQ(rig.Ch(4, 17), 0x255Fu) << "the separator";
  EXPECT_EQ(rig.Ch(40, 17), 0x2500u);
  EXPECT_EQ(rig.Ch(75, 17), 0x2562u);
  for (int y = 5; y <= 20; ++y) EXPECT_EQ(rig.Attr(76, y) | rig.Attr(77, y) << 8, 0x0808) << y;
  for (int x = 6; x <= 77; ++x) EXPECT_EQ(rig.Attr(x, 21), colour::kShadow) << x;
  EXPECT_EQ(rig.Attr(5, 21), colour::kMain) << "the shadow starts two columns in";
  EXPECT_EQ(rig.Attr(10, 10), colour::kDialogBody);

  Rig plain;
  plain.screen.DrawFrame({4, 4}, {72, 17}, colour::kBrowserFrame, colour::kBrowserBody, true);
  EXPECT_EQ(plain.Ch(4, 4), 0x250Cu);
  EXPECT_EQ(plain.Ch(75, 20), 0x2518u);
  EXPECT_EQ(plain.Ch(4, 17), 0x2502u) << "no separator";
  EXPECT_EQ(plain.Attr(76, 10), colour::kMain) << "no shadow";

  struct Thumb {
    uint32_t position;
    int row;
  };
  for (Thumb t : {Thumb{0, 1}, Thumb{1, 2}, Thumb{199, 7}, Thumb{200, 8}, Thumb{250, 8}}) {
    EXPECT_EQ(rig.screen.DrawScrollBar({0, 0}, 10, 0x1F, t.position), t.row) << t.position;
  }
  EXPECT_EQ(rig.Attr(0, 0), 0x71) << "arrows in the inverse";
  EXPECT_EQ(rig.Ch(0, 9), 0x2193u);
  rig.screen.DrawScrollBar({1, 0}, 10, 0x7F, 0);
  EXPECT_EQ(rig.Attr(1, 0), 0x70) << "black on grey, not grey on grey";
}

TEST(WindowTable, LayoutAndWrapping) {
  // On the smallest screen, every window lies on it whole, and its buttons lie inside its frame,
  // on one row, apart from each other and in the order of their slots.
  Rig rig;
  for (int kind = 0; kind < kWindowCount; ++kind) {
    WindowRecord& w = rig.windows.Record(static_cast<uint8_t>(kind));
    if (w.size.x == 0) continue;  // laid out when it opens
    SCOPED_TRACE(kind);
    EXPECT_GE(w.pos.x, 0);
    EXPECT_GE(w.pos.y, 0);
    EXPECT_LE(w.pos.x + w.size.x, 80);
    EXPECT_LE(w.pos.y + w.size.y, 25);
    int end = w.pos.x;  // where the button before ends
    for (int slot = 0; slot < w.buttonCount; ++slot) {
      const ButtonRecord& b = w.buttons[slot];
      EXPECT_GT(b.pos.x, end) << "button " << slot << " after the one before it, with a space";
      EXPECT_LT(b.pos.x + b.Length(), w.pos.x + w.size.x - 1) << "button " << slot << " inside the frame";
      EXPECT_GT(b.pos.y, w.pos.y);
      EXPECT_LT(b.pos.y, w.pos.y + w.size.y - 1);
      EXPECT_EQ(b.pos.y, w.buttons[0].pos.y);
      end = b.pos.x + b.Length();
    }
  }
  WindowRecord& exit = rig.windows.Record(kExitConfirmation);
  EXPECT_EQ(2 * exit.pos.x + exit.size.x, 80) << "centred";

  EXPECT_EQ(WrapText("abcd efghi jkl", 10), (std::vector<std::string>{"abcd ", "efghi jkl"}));
  EXPECT_EQ(WrapText(std::string(25, 'w'), 10), (std::vector<std::string>{std::string(10, 'w'), std::string(10, 'w'), "wwwww"}));
  std::vector<std::string> save = rig.windows.Record(kSaveQuestion).lines;
  ASSERT_GE(save.size(), 3u);
  EXPECT_EQ(save[0], "Hive structure was changed. Do You want to save it?");
  EXPECT_EQ(save[1], "") << "the empty line after the first sentence";
}

TEST(WindowTable, ScrollingAndListsByPages) {
  Rig rig;
  WindowRecord& error = rig.windows.Record(kErrorPrompt);
  error.size = {72, 16};  // a text area of 10 rows
  error.text.clear();
  for (int i = 0; i < 30; ++i) error.text += "line " + std::to_string(i) + "\n";
  error.text.pop_back();
  rig.windows.PrepareText(kErrorPrompt);
  rig.windows.OpenWindow(kErrorPrompt);
  EXPECT_TRUE(error.scrollShown);
  for (int i = 0; i < 3; ++i) rig.input.PageDown();
  EXPECT_EQ(error.firstLine, 20);
  EXPECT_EQ(error.thumbRow, error.scrollPos.y + error.scrollLength - 2) << "the thumb at the bottom end";
  rig.Click(error.pos.x + 4, error.pos.y + 4, platform::kMouseWheeled);
  rig.input.PollInput(false);  // the wheel turned up (a left button's code is the way up)
  EXPECT_EQ(error.firstLine, 17) << "a notch of the wheel scrolls three rows";
  rig.windows.CloseWindow(kErrorPrompt);

  // A centred text scrolled by a line: the shorter line keeps nothing of the longer one before it.
  rig.windows.LayoutInformation({44, 9}, false, true);
  WindowRecord& box = rig.windows.Record(kInformation);
  box.text = "the first line is the longest of them\nsecond\nthird\nfourth";
  rig.windows.PrepareText(kInformation);
  rig.windows.OpenWindow(kInformation);
  rig.input.LineDown();
  std::string row;
  for (int x = box.pos.x + 2; x < box.pos.x + 42; ++x) row += static_cast<char>(rig.Ch(x, box.pos.y + 2));
  EXPECT_EQ(row, std::string(17, ' ') + "second" + std::string(17, ' '));
  rig.windows.CloseWindow(kInformation);

  WindowRecord& list = rig.windows.Record(kSelectionWindow);
  list.size = {72, 16};
  list.text.clear();
  for (int i = 0; i < 25; ++i) list.text += "entry " + std::to_string(i) + "\n";
  list.text.pop_back();
  rig.windows.PrepareText(kSelectionWindow);
  rig.windows.OpenWindow(kSelectionWindow);
  rig.input.PageDown();
  EXPECT_EQ(list.firstLine, 0) << "a list scrolls only in list mode";
  rig.windows.listMode = true;
  rig.windows.listRows = 10;
  rig.windows.highlightedRow = 3;
  rig.input.PageDown();
  EXPECT_EQ(list.firstLine * 100 + rig.windows.highlightedRow, 1003);
  rig.input.PageDown();
  EXPECT_EQ(list.firstLine * 100 + rig.windows.highlightedRow, 1508) << "the last page: the highlight moves";
  rig.windows.SelectRow(0);
  rig.input.LineUp();
  EXPECT_EQ(list.firstLine * 100 + rig.windows.highlightedRow, 1400);
  rig.Click(list.pos.x + 4, list.pos.y + 2 + 12);  // below the list rows
  rig.input.PollInput(false);
  EXPECT_EQ(rig.windows.highlightedRow, 0);
}

TEST(InputDispatch, FocusClicksAndResizes) {
  Rig rig;
  rig.windows.OpenWindow(kErrorPrompt);
  WindowRecord& error = rig.windows.Record(kErrorPrompt);
  rig.input.FocusPrev();
  EXPECT_EQ(error.focusedSlot, 4) << "Left from Fix passes over the disabled Skip buttons";
  rig.input.FocusPrev();
  rig.input.FocusNext();
  EXPECT_EQ(error.focusedSlot, 4) << "Right from Fix All too";
  EXPECT_EQ(rig.Attr(error.buttons[4].pos.x, error.buttons[4].pos.y), colour::kButtonFocused);

  // A resize amid a batch of clicks is handled once, before any click of the batch.
  std::vector<std::string> order;
  rig.input.onResize = [&](int w, int h) { order.push_back("resize " + std::to_string(w) + "x" + std::to_string(h)); };
  rig.input.exitConfirmation = [&] { order.push_back("exit"); };
  rig.windows.CloseWindow(kErrorPrompt);
  rig.windows.currentKind = kProgressWindow;
  WindowRecord& main = rig.windows.Record(kProgressWindow);
  rig.Click(main.buttons[1].pos.x, main.buttons[1].pos.y);
  platform::InputRecord resize;
  resize.type = platform::InputRecord::Type::Resize;
  resize.width = 100;
  resize.height = 30;
  rig.device.AddInput(resize);
  rig.Click(main.buttons[1].pos.x, main.buttons[1].pos.y);
  rig.input.PollInput(false);
  EXPECT_EQ(order, (std::vector<std::string>{"resize 100x30", "exit", "exit"}));

}

// The path field takes the UTF-8 bytes of the characters typed: shown as typed, Backspace takes
// a whole character, a path longer than the field shows its end, as long as the system opens.
TEST(InputDispatch, PathFieldInCharacters) {
  const std::string cjk = "\xE6\x97\xA5";
  std::string longPath = "/home/ann/";
  while (longPath.size() < 200) longPath += "folder/";
  longPath.resize(200);
  std::string cjkPath;
  for (int i = 0; i < 40; ++i) cjkPath += cjk;
  struct Row {
    std::string typed;  // \b is Backspace
    std::string path;
    size_t shownFrom;  // the first byte of path the field shows
  };
  const size_t room = 80 - 14 - 4 - 1;  // the field's cells, less one for the cursor
  for (const Row& row : {Row{"Jos\xC3\xA9", "Jos\xC3\xA9", 0}, Row{"Jos\xC3\xA9\b", "Jos", 0},
                         Row{"a\xE6\x97\xA5\b\b", "", 0}, Row{longPath, longPath, 200 - room},
                         Row{cjkPath, cjkPath, cjkPath.size() - room / 2 * 3}}) {
    Rig rig;
    rig.windows.OpenWindow(kManualPath);
    rig.windows.textEntry = true;
    rig.windows.entryField = {9, 10};
    rig.windows.entryWidth = rig.windows.Record(kManualPath).TextWidth();
    for (char c : row.typed) c == '\b' ? rig.Key(0x08, platform::kVkBack) : rig.Key(static_cast<uint8_t>(c));
    while (rig.device.PendingInput() > 0) rig.input.PollInput(false);
    EXPECT_EQ(rig.input.path, row.path);
    std::vector<uint32_t> shown = platform::DecodeFileName(row.path.substr(row.shownFrom));
    int x = 9;
    for (uint32_t ch : shown) {
      EXPECT_EQ(rig.Ch(x, 10), ch) << row.path.size() << " at " << x;
      x += platform::DisplayWidth(ch);
    }
    EXPECT_EQ(rig.device.Screen().cursorX, x) << "the cursor after the last character";
    EXPECT_LE(x, 9 + rig.windows.entryWidth - 1);
    EXPECT_EQ(rig.Attr(x, 10), colour::kPathField) << "the rest of the field cleared in its colour";
  }
  Rig rig;
  rig.windows.OpenWindow(kManualPath);
  rig.windows.textEntry = true;
  rig.input.path = std::string(platform::MaxPathLength(), 'p');
  rig.Key('q');
  rig.input.PollInput(false);
  EXPECT_EQ(rig.input.path.size(), platform::MaxPathLength()) << "nothing more than the system opens";
}

TEST(Terminal, ColoursAndOnlyWhatChanged) {
  struct Pair {
    uint8_t attr;
    const char* ansi;
  };
  for (Pair p : {Pair{0x17, "37;44"}, Pair{0x1B, "96;44"}, Pair{0x1E, "93;44"}, Pair{0x1F, "97;44"}, Pair{0x2F, "97;42"},
                 Pair{0x70, "30;47"}, Pair{0x7F, "97;47"}}) {
    EXPECT_EQ(platform::AnsiColours(p.attr), p.ansi) << std::hex << int{p.attr};
  }
  Rig rig;
  rig.windows.OpenWindow(kSaveQuestion);
  rig.screen.Present();
  size_t first = rig.device.Sent().size();
  EXPECT_GT(first, 2000u);
  rig.windows.CloseWindow(kSaveQuestion);
  rig.windows.OpenWindow(kSaveQuestion);
  rig.screen.Present();
  size_t again = rig.device.Sent().size() - first;
  rig.windows.DrawTextArea(kSaveQuestion);
  rig.windows.DrawButtons(kSaveQuestion);
  rig.screen.Present();
  EXPECT_EQ(rig.device.Sent().size() - first, again) << "an unchanged dialog drawn again sends nothing";
  EXPECT_EQ(again, 0u);
}

// A cell holds a character: the same byte is a frame line in a frame and a letter in a text.
TEST(Terminal, CharactersNotBytes) {
  Rig rig;
  rig.screen.PutCell({0, 0}, 0xC4, 0x17);
  rig.screen.WriteText({1, 0}, "\xC4");
  rig.screen.WriteFileName({2, 0}, "\xC3\xA9t\xFF", 3);
  EXPECT_EQ(rig.Ch(0, 0), 0x2500u);
  EXPECT_EQ(rig.Ch(1, 0), 0x0414u);
  EXPECT_EQ(rig.Ch(2, 0) == 0x00E9u || rig.Ch(2, 0) == 0x0413u, true) << "UTF-8 on POSIX, code page 1251 on Windows";

  platform::HeadlessConsole device;
  ConsoleState state(device);
  ASSERT_TRUE(state.OpenConsoleState(true, false));
  ASSERT_TRUE(state.PrepareRunScreen());
  EXPECT_TRUE(device.ScreenBegun());
  EXPECT_EQ(device.Screen().At(79, 24), (platform::Cell{' ', kRunScreenAttribute}));
  state.CloseConsoleState();
  EXPECT_FALSE(device.ScreenBegun()) << "the user's screen is given back";
}


// What a terminal shows after the stream the program sent it: a character of display width 2
// takes two cells, writing over either half of one blanks the other, a combining mark joins the
// cell written last.
class TerminalGrid {
 public:
  TerminalGrid(int width, int height) : width_(width), cells_(static_cast<size_t>(width) * height) {}
  void Feed(const std::string& stream) {
    std::vector<uint32_t> chars = platform::DecodeUtf8(stream);
    for (size_t i = 0; i < chars.size(); ++i) {
      if (chars[i] == '?' && i + 1 < chars.size() && chars[i + 1] == '[') {  // ESC arrives as "?"
        std::string params;
        for (i += 2; i < chars.size() && !(chars[i] >= '@' && chars[i] <= '~'); ++i) params += static_cast<char>(chars[i]);
        if (i < chars.size() && chars[i] == 'H') {
          int row = 0, col = 0;
          std::sscanf(params.c_str(), "%d;%d", &row, &col);
          x_ = col - 1;
          y_ = row - 1;
        }
        continue;
      }
      Put(chars[i]);
    }
  }
  std::string Row(int y) const {
    std::string text;
    for (int x = 0; x < width_; ++x) {
      const Slot& s = At(x, y);
      if (s.ch == platform::kWideRight) continue;
      platform::AppendUtf8(text, s.ch);
      for (uint32_t mark : s.marks) platform::AppendUtf8(text, mark);
    }
    return text;
  }

 private:
  struct Slot {
    uint32_t ch = ' ';
    std::vector<uint32_t> marks;
  };
  Slot& At(int x, int y) { return cells_[static_cast<size_t>(y) * width_ + x]; }
  const Slot& At(int x, int y) const { return cells_[static_cast<size_t>(y) * width_ + x]; }
  void Put(uint32_t ch) {
    int w = platform::DisplayWidth(ch);
    if (w == 0) {
      if (lastX_ >= 0) At(lastX_, lastY_).marks.push_back(ch);
      return;
    }
    ASSERT_LE(x_ + w, width_) << "a character written past the end of its row";
    for (int at = x_; at < x_ + w; ++at) {
      if (At(at, y_).ch == platform::kWideRight && at == x_) At(at - 1, y_) = Slot{};
      if (platform::DisplayWidth(At(at, y_).ch) == 2 && at + 1 == x_ + w && at + 1 < width_) At(at + 1, y_) = Slot{};
    }
    At(x_, y_) = Slot{ch, {}};
    if (w == 2) At(x_ + 1, y_) = Slot{platform::kWideRight, {}};
    lastX_ = x_;
    lastY_ = y_;
    x_ += w;
  }
  int width_;
  std::vector<Slot> cells_;
  int x_ = 0, y_ = 0, lastX_ = -1, lastY_ = 0;
};

// What the screen should show: each row's characters with their marks, wide characters once.
std::string ScreenRow(const platform::ScreenModel& screen, int y) {
  std::string text;
  for (int x = 0; x < screen.Width(); ++x) {
    platform::Cell c = platform::ShownCell(screen, x, y);
    if (c.ch == platform::kWideRight) continue;
    platform::AppendUtf8(text, c.ch);
    for (uint32_t mark : c.marks) {
      if (mark != 0) platform::AppendUtf8(text, mark);
    }
  }
  return text;
}

// Names of wide and combining characters laid out by width, never halved, never past the row;
// windows drawn over one half of a wide character and taken away again; the terminal shows what
// the screen holds after every flush.
TEST(Terminal, WideAndCombiningCharactersByWidth) {
  struct Layout {
    const char* name;
    int x, width;
    std::vector<uint32_t> cells;  // from x on, then the cell after the written ones
  };
  const uint32_t R = platform::kWideRight;
  for (const Layout& l : {Layout{"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 0, 5, {0x65E5, R, 0x672C, R, ' '}},
                          Layout{"a\xE6\x97\xA5", 0, 2, {'a', ' '}},
                          Layout{"\xE6\x97\xA5\xE6\x9C\xAC", 76, 10, {0x65E5, R, 0x672C, R}},
                          Layout{"e\xCC\x81x", 3, 5, {'e', 'x', ' '}}}) {
    Rig rig(80, 25);
    std::vector<uint32_t> chars = platform::DecodeUtf8(l.name);
    rig.screen.WriteChars({static_cast<int16_t>(l.x), 1}, chars, static_cast<size_t>(l.width));
    for (size_t i = 0; i < l.cells.size(); ++i) EXPECT_EQ(rig.Ch(l.x + static_cast<int>(i), 1), l.cells[i]) << l.name << " cell " << i;
    EXPECT_EQ(rig.Ch(0, 2), static_cast<uint32_t>(' ')) << l.name << ": nothing spills into the next row";
    if (l.name[0] == 'e') {
      EXPECT_EQ(rig.screen.CellAt(3, 1).marks[0], 0x301u) << "the mark rides on the e";
    }
  }
  const std::vector<std::string> words = {"a", "\xE6\x97\xA5", "e\xCC\x81", "\xE3\x82\xA2\xE3\x82\xA4", "bc", " "};
  Rig rig(24, 6);
  TerminalGrid terminal(24, 6);
  size_t fed = 0;
  auto flush = [&] {
    rig.screen.Present();
    terminal.Feed(rig.device.Sent().substr(fed));
    fed = rig.device.Sent().size();
  };
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int step = 0; step < 400; ++step) {
    auto x = static_cast<int16_t>(next(24)), y = static_cast<int16_t>(next(6));
    switch (next(4)) {
      case 0: {
        std::string text;
        for (uint32_t n = next(6); n > 0; --n) text += words[next(static_cast<uint32_t>(words.size()))];
        rig.screen.WriteChars({x, y}, platform::DecodeUtf8(text), next(12));
        break;
      }
      case 1: rig.screen.PutCell({x, y}, glyph::kRule, 0x1F); break;
      case 2: rig.screen.FillBlanks({x, y}, static_cast<int>(next(5)), 0x70); break;
      default: {  // a window over part of the screen, then the screen as it was
        ScreenPos size{static_cast<int16_t>(1 + next(6)), static_cast<int16_t>(1 + next(3))};
        std::vector<platform::Cell> saved = rig.screen.SaveRect({x, y}, size);
        rig.screen.DrawFrame({x, y}, size, 0x7F, 0x70, true);
        flush();
        rig.screen.RestoreRect(saved, {x, y}, size);
        break;
      }
    }
    flush();
    for (int row = 0; row < 6; ++row) ASSERT_EQ(terminal.Row(row), ScreenRow(rig.device.Screen(), row)) << "step " << step << " row " << row;
  }
}

}  // namespace
}  // namespace tarvos::console
