// The full-screen interface's screen as the program keeps it: width x height cells, each a
// character (a Unicode code point, already decoded) and a console attribute byte (low four bits
// the foreground, high four the background; bit 0 blue, 1 green, 2 red, 3 intensity). Every
// device draws from it; a terminal is sent only the cells that changed since the last flush.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

struct Cell {
  uint32_t ch = ' ';
  uint8_t attr = 0x07;
  bool operator==(const Cell& other) const { return ch == other.ch && attr == other.attr; }
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

// What a terminal must be sent to show screen where it shows shown: cursor moves, colours and
// characters of the changed cells only, then the cursor. shown becomes screen. Empty when nothing
// changed. (The Linux text console draws every glyph used here from its own font.)
std::string RenderChanges(const ScreenModel& screen, ScreenModel& shown);
// The ANSI SGR parameters of a console attribute ("97;44" for 0x1F).
std::string AnsiColours(uint8_t attr);

}  // namespace tarvos::platform
