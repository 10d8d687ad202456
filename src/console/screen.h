// The drawing primitives of the full-screen interface: the only code that puts characters and
// colours on the screen. They draw into the device's screen in memory; Present shows the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/console.h"

namespace tarvos::console {

// The colour scheme.
namespace colour {
inline constexpr uint8_t kEnded = 0x07;
inline constexpr uint8_t kShadow = 0x08;
inline constexpr uint8_t kMain = 0x17;
inline constexpr uint8_t kBands = 0x1B;
inline constexpr uint8_t kGaugeFilled = 0x1E;
inline constexpr uint8_t kBrowserBody = 0x1E;
inline constexpr uint8_t kFileName = 0x1F;
inline constexpr uint8_t kBrowserFrame = 0x1F;
inline constexpr uint8_t kButton = 0x20;
inline constexpr uint8_t kButtonFocused = 0x2F;
inline constexpr uint8_t kPathField = 0x30;
inline constexpr uint8_t kDialogBody = 0x70;
inline constexpr uint8_t kDialogFrame = 0x7F;
inline constexpr uint8_t kSkipButton = 0x80;
}  // namespace colour

// The frame, block and marker bytes.
namespace glyph {
inline constexpr uint8_t kRule = 0xC4;
inline constexpr uint8_t kBlank = 0x20;
inline constexpr uint8_t kTrack = 0xB0;
inline constexpr uint8_t kFilled = 0xDB;
inline constexpr uint8_t kThumb = 0xB2;
inline constexpr uint8_t kArrowUp = 0x18;
inline constexpr uint8_t kArrowDown = 0x19;
inline constexpr uint8_t kShadowRight = 0xDC;
inline constexpr uint8_t kShadowBelow = 0xDF;
inline constexpr uint8_t kStageCurrent = 0x10;
inline constexpr uint8_t kStageDone = 0x04;
inline constexpr uint8_t kSeparatorLeft = 0xC7;
inline constexpr uint8_t kSeparatorRight = 0xB6;
}  // namespace glyph

struct ScreenPos {
  int16_t x = 0;
  int16_t y = 0;
};

// The inverse of an attribute, in which a scroll bar draws its arrows.
// Foreground and background swapped; where they would be one colour (bright white on grey gives
// grey on grey), the text is black (white on black), so that what is drawn is seen.
inline uint8_t InverseAttribute(uint8_t attr) {
  uint8_t inverse = static_cast<uint8_t>(((attr >> 4) & 0x0F) | ((attr & 0x07) << 4));
  if ((inverse & 0x0F) != (inverse >> 4)) return inverse;
  return static_cast<uint8_t>((inverse & 0xF0) | ((inverse >> 4) == 0 ? 0x0F : 0x00));
}

class Screen {
 public:
  explicit Screen(platform::ConsoleDevice& device) : device_(device) {}

  int Width() { return Cells().Width(); }
  int Height() { return Cells().Height(); }
  void Present() { device_.Present(); }
  // A new size, every cell blank; the cursor as it was.
  void Resize(int width, int height) { Cells().Resize(width, height); }
  bool Monochrome() const { return device_.Monochrome(); }

  void ClearScreen(uint8_t attr);
  void FillBlanks(ScreenPos at, int length, uint8_t attr);
  void FillAttribute(ScreenPos at, int length, uint8_t attr);
  // One cell: a frame, block or marker byte is its glyph, any other byte a text character.
  void PutCell(ScreenPos at, uint8_t byte, uint8_t attr);
  // One cell of text: a character of code page 1251.
  void PutTextCell(ScreenPos at, uint8_t byte, uint8_t attr);
  // Text (code page 1251) from the position on, the attributes kept; count characters at most.
  void WriteText(ScreenPos at, const std::string& text);
  void WriteTextN(ScreenPos at, const std::string& text, size_t count);
  // A file name (platform::DecodeFileName) in width cells at most, on this row.
  void WriteFileName(ScreenPos at, const std::string& name, size_t width);
  // A path in width cells, shortened in its middle where it is longer (platform::ShortenPath).
  void WritePath(ScreenPos at, const std::string& path, size_t width);
  // Characters already decoded, laid out by their display width in width cells at most, on this
  // row; the attributes kept.
  void WriteChars(ScreenPos at, const std::vector<uint32_t>& chars, size_t width);
  void SetCursorPos(int x, int y);
  void HideCursor();
  void RestoreCursor();
  // A rectangle of cells and back.
  std::vector<platform::Cell> SaveRect(ScreenPos at, ScreenPos size);
  void RestoreRect(const std::vector<platform::Cell>& cells, ScreenPos at, ScreenPos size);
  void DrawRule(int row, uint8_t attr);
  void DrawFrame(ScreenPos at, ScreenPos size, uint8_t frameAttr, uint8_t bodyAttr, bool plain);
  // Thumb position 0 (top) to 200 (bottom); the thumb's row.
  int DrawScrollBar(ScreenPos at, int length, uint8_t attr, uint32_t thumb);

  const platform::Cell& CellAt(int x, int y) { return Cells().At(x, y); }

 private:
  platform::ScreenModel& Cells() { return device_.Screen(); }

  platform::ConsoleDevice& device_;
  bool savedVisible_ = true;
};

}  // namespace tarvos::console
