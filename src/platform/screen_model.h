// The full-screen interface's screen as the program keeps it: width x height cells, each a
// character (a Unicode code point, already decoded) and a console attribute byte (low four bits
// the foreground, high four the background; bit 0 blue, 1 green, 2 red, 3 intensity). Every
// device draws from it; a terminal is sent only the cells that changed since the last flush.
// A wide character (CJK) takes two cells: itself, then kWideRight. Combining marks ride on the
// cell of the character they follow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

// The right half of a wide character: the cell after it.
inline constexpr uint32_t kWideRight = 0x110000;
inline constexpr int kMarksPerCell = 2;

struct Cell {
  uint32_t ch = ' ';
  uint8_t attr = 0x07;
  // Combining marks drawn over ch (0 for none); more than two on one character are dropped.
  uint32_t marks[kMarksPerCell] = {0, 0};
  bool operator==(const Cell& other) const {
    return ch == other.ch && attr == other.attr && marks[0] == other.marks[0] && marks[1] == other.marks[1];
  }
  bool operator!=(const Cell& other) const { return !(*this == other); }
};

// The frame, block and marker bytes of the interface (the OEM glyphs of code pages 437 and 866)
// as Unicode; 0 for a byte that is not one of them.
uint32_t GlyphOfByte(uint8_t byte);
// A byte of the program's 8-bit text, through code page 1251; "?" where it maps to nothing.
uint32_t TextChar(uint8_t byte);
// Decodes UTF-8 (file names on POSIX), one code point per character, "?" for what is broken.
std::vector<uint32_t> DecodeUtf8(const std::string& text);
void AppendUtf8(std::string& out, uint32_t ch);
// The cells a character takes on a terminal: 2 for the wide (CJK, Hangul, full-width forms,
// most emoji), 0 for combining marks and zero-width characters, 1 for the rest.
int DisplayWidth(uint32_t ch);
// The cells a text takes.
size_t TextWidth(const std::vector<uint32_t>& chars);
// How many of chars, from the first, fit in width cells: a wide character is never halved and
// a character's combining marks stay with it.
size_t CharsThatFit(const std::vector<uint32_t>& chars, size_t width);

class ScreenModel {
 public:
  void Resize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
  Cell& At(int x, int y) { return cells_[static_cast<size_t>(y) * width_ + x]; }
  const Cell& At(int x, int y) const { return cells_[static_cast<size_t>(y) * width_ + x]; }
  // A run of cells from (x, y) that goes on at the start of the next row and stops at the end
  // of the screen, as the console's runs do. Cells outside the screen are skipped.
  template <typename Change>
  void Run(int x, int y, int count, Change change) {
    if (y < 0 || x < 0) return;
    for (long at = static_cast<long>(y) * width_ + x, end = at + count; at < end && at < static_cast<long>(cells_.size()); ++at) {
      change(cells_[static_cast<size_t>(at)]);
    }
  }

  int cursorX = 0;
  int cursorY = 0;
  bool cursorVisible = true;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<Cell> cells_;
};

// A cell as it can be shown: a wide character without its right half (a window drawn over one
// half) shows as a blank, and so does a right half without its character.
Cell ShownCell(const ScreenModel& screen, int x, int y);

// What a terminal must be sent to show screen where it shows shown: cursor moves, colours and
// characters of the changed cells only, then the cursor. shown becomes screen. Empty when nothing
// changed. (The Linux text console draws every glyph used here from its own font.) Monochrome:
// no colour at all; a cell on a bright white background (kMonoFocus) is in reverse video.
std::string RenderChanges(const ScreenModel& screen, ScreenModel& shown, bool monochrome = false);
// The attribute of the focus on a screen without colours: shown in reverse video.
inline constexpr uint8_t kMonoFocus = 0xF0;
// The ANSI SGR parameters of a console attribute ("97;44" for 0x1F).
std::string AnsiColours(uint8_t attr);

}  // namespace tarvos::platform
