#include "console/screen.h"

#include <algorithm>

#include "platform/text.h"

namespace tarvos::console {

namespace {

uint32_t CharOfByte(uint8_t byte) {
  uint32_t glyph = platform::GlyphOfByte(byte);
  return glyph != 0 ? glyph : byte == ' ' ? ' ' : platform::TextChar(byte);
}

void AddMark(platform::Cell& cell, uint32_t mark) {
  for (uint32_t& slot : cell.marks) {
    if (slot == 0) {
      slot = mark;
      return;
    }
  }
}

struct FrameChars {
  uint8_t topLeft, topRight, bottomLeft, bottomRight, horizontal, vertical;
};
constexpr FrameChars kDouble = {0xC9, 0xBB, 0xC8, 0xBC, 0xCD, 0xBA};
constexpr FrameChars kPlain = {0xDA, 0xBF, 0xC0, 0xD9, 0xC4, 0xB3};

}  // namespace

void Screen::ClearScreen(uint8_t attr) {
  FillBlanks({0, 0}, Width() * Height(), attr);
  SetCursorPos(0, 0);
}

void Screen::FillBlanks(ScreenPos at, int length, uint8_t attr) {
  Cells().Run(at.x, at.y, length, [attr](platform::Cell& c) { c = platform::Cell{' ', attr}; });
}

void Screen::FillAttribute(ScreenPos at, int length, uint8_t attr) {
  Cells().Run(at.x, at.y, length, [attr](platform::Cell& c) { c.attr = attr; });
}

void Screen::PutCell(ScreenPos at, uint8_t byte, uint8_t attr) {
  if (Cells().Contains(at.x, at.y)) Cells().At(at.x, at.y) = platform::Cell{CharOfByte(byte), attr};
}

void Screen::PutTextCell(ScreenPos at, uint8_t byte, uint8_t attr) {
  if (Cells().Contains(at.x, at.y)) Cells().At(at.x, at.y) = platform::Cell{platform::TextChar(byte), attr};
}

void Screen::WriteFileName(ScreenPos at, const std::string& name, size_t width) {
  WriteChars(at, platform::DecodeFileName(name), width);
}

void Screen::WritePath(ScreenPos at, const std::string& path, size_t width) {
  WriteChars(at, platform::ShortenPath(platform::DecodeFileName(path), width), width);
}

void Screen::WriteText(ScreenPos at, const std::string& text) { WriteTextN(at, text, text.size()); }

void Screen::WriteTextN(ScreenPos at, const std::string& text, size_t count) {
  size_t i = 0;
  size_t n = count < text.size() ? count : text.size();
  Cells().Run(at.x, at.y, static_cast<int>(n), [&](platform::Cell& c) {
    c = platform::Cell{platform::TextChar(static_cast<uint8_t>(text[i++])), c.attr};
  });
}

void Screen::WriteChars(ScreenPos at, const std::vector<uint32_t>& chars, size_t width) {
  platform::ScreenModel& cells = Cells();
  if (!cells.Contains(at.x, at.y)) return;
  // Laid out by display width, on this row only: a wide character takes two cells and is never
  // halved at the end, a combining mark joins the character before it.
  const long end = std::min(static_cast<long>(at.x) + static_cast<long>(std::min(width, size_t{65535})), static_cast<long>(cells.Width()));
  platform::Cell* last = nullptr;
  int x = at.x;
  for (uint32_t ch : chars) {
    int w = platform::DisplayWidth(ch);
    if (w == 0) {
      if (last != nullptr) AddMark(*last, ch);
      continue;
    }
    if (x + w > end) break;
    last = &cells.At(x, at.y);
    last->ch = ch;
    last->marks[0] = last->marks[1] = 0;
    if (w == 2) {
      platform::Cell& right = cells.At(x + 1, at.y);
      right.ch = platform::kWideRight;
      right.marks[0] = right.marks[1] = 0;
    }
    x += w;
  }
}

void Screen::SetCursorPos(int x, int y) {
  Cells().cursorX = x;
  Cells().cursorY = y;
}

void Screen::HideCursor() {
  savedVisible_ = Cells().cursorVisible;
  Cells().cursorVisible = false;
}

void Screen::RestoreCursor() { Cells().cursorVisible = savedVisible_; }

std::vector<platform::Cell> Screen::SaveRect(ScreenPos at, ScreenPos size) {
  std::vector<platform::Cell> cells;
  cells.reserve(static_cast<size_t>(size.x > 0 ? size.x : 0) * (size.y > 0 ? size.y : 0));
  for (int y = at.y; y < at.y + size.y; ++y) {
    for (int x = at.x; x < at.x + size.x; ++x) cells.push_back(Cells().Contains(x, y) ? Cells().At(x, y) : platform::Cell{});
  }
  return cells;
}

void Screen::RestoreRect(const std::vector<platform::Cell>& cells, ScreenPos at, ScreenPos size) {
  size_t i = 0;
  for (int y = at.y; y < at.y + size.y; ++y) {
    for (int x = at.x; x < at.x + size.x && i < cells.size(); ++x, ++i) {
      if (Cells().Contains(x, y)) Cells().At(x, y) = cells[i];
    }
  }
}

void Screen::DrawRule(int row, uint8_t attr) {
  for (int x = 2; x < Width() - 2; ++x) PutCell({static_cast<int16_t>(x), static_cast<int16_t>(row)}, glyph::kRule, attr);
}

void Screen::DrawFrame(ScreenPos at, ScreenPos size, uint8_t frameAttr, uint8_t bodyAttr, bool plain) {
  const FrameChars& f = plain ? kPlain : kDouble;
  const int x = at.x, y = at.y, w = size.x, h = size.y;
  auto pos = [](int cx, int cy) { return ScreenPos{static_cast<int16_t>(cx), static_cast<int16_t>(cy)}; };
  auto row = [&](int cy, uint8_t left, uint8_t middle, uint8_t right) {
    PutCell(pos(x, cy), left, frameAttr);
    for (int i = 1; i < w - 1; ++i) PutCell(pos(x + i, cy), middle, frameAttr);
    PutCell(pos(x + w - 1, cy), right, frameAttr);
  };
  row(y, f.topLeft, f.horizontal, f.topRight);
  row(y + h - 1, f.bottomLeft, f.horizontal, f.bottomRight);
  if (!plain) {
    FillAttribute(pos(x + w, y + h - 1), 2, colour::kShadow);
    FillAttribute(pos(x + 2, y + h), w, colour::kShadow);
  }
  for (int r = y + 1; r <= y + h - 2; ++r) {
    PutCell(pos(x, r), f.vertical, frameAttr);
    FillBlanks(pos(x + 1, r), w - 2, bodyAttr);
  }
  for (int r = y + 1; r <= y + h - 2; ++r) {
    PutCell(pos(x + w - 1, r), f.vertical, frameAttr);
    if (!plain) FillAttribute(pos(x + w, r), 2, colour::kShadow);
  }
  if (!plain) row(y + h - 4, glyph::kSeparatorLeft, glyph::kRule, glyph::kSeparatorRight);
}

int Screen::DrawScrollBar(ScreenPos at, int length, uint8_t attr, uint32_t thumb) {
  if (thumb > 200) thumb = 200;
  uint8_t inverse = InverseAttribute(attr);
  auto pos = [&](int row) { return ScreenPos{at.x, static_cast<int16_t>(row)}; };
  PutCell(at, glyph::kArrowUp, inverse);
  for (int r = at.y + 1; r <= at.y + length - 2; ++r) PutCell(pos(r), glyph::kTrack, attr);
  PutCell(pos(at.y + length - 1), glyph::kArrowDown, inverse);
  int row = thumb == 0     ? at.y + 1
            : thumb == 200 ? at.y + length - 2
                           : at.y + 2 + static_cast<int>(thumb) * (length - 4) / 200;
  PutCell(pos(row), glyph::kThumb, attr);
  return row;
}

}  // namespace tarvos::console
