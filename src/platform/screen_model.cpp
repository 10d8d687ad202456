#include "platform/screen_model.h"

#include <cstdio>

namespace tarvos::platform {

namespace {

struct Glyph {
  uint8_t byte;
  uint32_t ch;
};
constexpr Glyph kGlyphs[] = {
    {0xC4, 0x2500}, {0xCD, 0x2550}, {0xBA, 0x2551}, {0xC9, 0x2554}, {0xBB, 0x2557}, {0xC8, 0x255A},
    {0xBC, 0x255D}, {0xB3, 0x2502}, {0xDA, 0x250C}, {0xBF, 0x2510}, {0xC0, 0x2514}, {0xD9, 0x2518},
    {0xC7, 0x255F}, {0xB6, 0x2562}, {0xB0, 0x2591}, {0xDB, 0x2588}, {0xB2, 0x2593}, {0x18, 0x2191},
    {0x19, 0x2193}, {0xDC, 0x2584}, {0xDF, 0x2580}, {0x10, 0x25BA}, {0x04, 0x2666},
};

// Code page 1251 from 0x80 to 0xBF (0xC0 to 0xFF are the Cyrillic letters from U+0410 on).
constexpr uint16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x003F, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

// The console's colour bits are blue, green, red; ANSI's are red, green, blue.
int AnsiIndex(uint8_t colour) { return ((colour & 1) << 2) | (colour & 2) | ((colour & 4) >> 2); }

}  // namespace

uint32_t GlyphOfByte(uint8_t byte) {
  for (const Glyph& g : kGlyphs) {
    if (g.byte == byte) return g.ch;
  }
  return 0;
}

uint32_t TextChar(uint8_t byte) {
  if (byte < 0x20) return '?';
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410u + (byte - 0xC0u);
  return kCp1251High[byte - 0x80];
}

std::vector<uint32_t> DecodeUtf8(const std::string& text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    auto b = static_cast<uint8_t>(text[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t ch = extra == 0 ? b : extra == 1 ? (b & 0x1Fu) : extra == 2 ? (b & 0x0Fu) : (b & 0x07u);
    bool ok = extra >= 0 && i + static_cast<size_t>(extra) < text.size() + (extra == 0 ? 1 : 0);
    for (int k = 1; ok && k <= extra; ++k) {
      auto c = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
      ok = (c & 0xC0) == 0x80;
      ch = (ch << 6) | (c & 0x3Fu);
    }
    if (!ok || ch < 0x20 || ch > 0x10FFFF) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(ch);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t ch) {
  if (ch < 0x80) {
    out += static_cast<char>(ch);
  } else if (ch < 0x800) {
    out += static_cast<char>(0xC0 | (ch >> 6));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else if (ch < 0x10000) {
    out += static_cast<char>(0xE0 | (ch >> 12));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (ch >> 18));
    out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  }
}

void ScreenModel::Resize(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  cells_.assign(static_cast<size_t>(width_) * height_, Cell{});
}

std::string AnsiColours(uint8_t attr) {
  uint8_t fg = attr & 0x0F, bg = attr >> 4;
  char text[16];
  std::snprintf(text, sizeof text, "%d;%d", (fg & 8 ? 90 : 30) + AnsiIndex(fg), (bg & 8 ? 100 : 40) + AnsiIndex(bg));
  return text;
}

std::string RenderChanges(const ScreenModel& screen, ScreenModel& shown) {
  std::string out;
  bool resized = shown.Width() != screen.Width() || shown.Height() != screen.Height();
  if (resized) {
    shown.Resize(screen.Width(), screen.Height());
    // Nothing the terminal shows is known any more: every cell is sent.
    for (int y = 0; y < shown.Height(); ++y) {
      for (int x = 0; x < shown.Width(); ++x) shown.At(x, y) = Cell{0, 0xFF};
    }
  }
  int atX = -1, atY = -1;
  int attr = -1;
  for (int y = 0; y < screen.Height(); ++y) {
    for (int x = 0; x < screen.Width(); ++x) {
      const Cell& want = screen.At(x, y);
      Cell& have = shown.At(x, y);
      if (want == have) continue;
      if (out.empty()) out = "\033[?25l";  // no cursor flicker while cells change
      if (x != atX || y != atY) {
        char move[32];
        std::snprintf(move, sizeof move, "\033[%d;%dH", y + 1, x + 1);
        out += move;
      }
      if (want.attr != attr) {
        out += "\033[0;" + AnsiColours(want.attr) + "m";
        attr = want.attr;
      }
      uint32_t ch = want.ch < 0x20 ? ' ' : want.ch;
      AppendUtf8(out, ch);
      have = want;
      atX = x + 1;
      atY = y;
      // The last cell of a row leaves the terminal's cursor in a state of its own: move again.
      if (atX >= screen.Width()) atX = -1;
    }
  }
  bool cursorChanged = shown.cursorX != screen.cursorX || shown.cursorY != screen.cursorY ||
                       shown.cursorVisible != screen.cursorVisible;
  if (!out.empty() || cursorChanged) {
    char move[32];
    std::snprintf(move, sizeof move, "\033[%d;%dH", screen.cursorY + 1, screen.cursorX + 1);
    out += move;
    out += screen.cursorVisible ? "\033[?25h" : "\033[?25l";
    shown.cursorX = screen.cursorX;
    shown.cursorY = screen.cursorY;
    shown.cursorVisible = screen.cursorVisible;
  }
  return out;
}

}  // namespace tarvos::platform
