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

struct Range {
  uint32_t first, last;
};
// Combining marks and zero-width characters of the scripts a file or profile name is likely to use.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2}, {0x05C4, 0x05C5},
    {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4},
    {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902}, {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948},
    {0x094D, 0x094D}, {0x0951, 0x0957}, {0x0962, 0x0963}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
    {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF},
    {0x302A, 0x302D}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};
// Characters drawn two cells wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x2E80, 0x303E},
    {0x3041, 0x3096},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <size_t N>
bool InRanges(const Range (&ranges)[N], uint32_t ch) {
  size_t low = 0, high = N;
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (ch < ranges[mid].first) {
      high = mid;
    } else if (ch > ranges[mid].last) {
      low = mid + 1;
    } else {
      return true;
    }
  }
  return false;
}

bool IsWide(const Cell& cell) { return cell.ch != kWideRight && DisplayWidth(cell.ch) == 2; }

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

int DisplayWidth(uint32_t ch) {
  if (ch < 0x300) return 1;
  if (InRanges(kZeroWidth, ch)) return 0;
  return InRanges(kWide, ch) ? 2 : 1;
}

size_t TextWidth(const std::vector<uint32_t>& chars) {
  size_t width = 0;
  for (uint32_t ch : chars) width += static_cast<size_t>(DisplayWidth(ch));
  return width;
}

size_t CharsThatFit(const std::vector<uint32_t>& chars, size_t width) {
  size_t used = 0, count = 0;
  for (; count < chars.size(); ++count) {
    auto w = static_cast<size_t>(DisplayWidth(chars[count]));
    if (used + w > width) break;
    used += w;
  }
  return count;
}

Cell ShownCell(const ScreenModel& screen, int x, int y) {
  Cell cell = screen.At(x, y);
  bool whole = cell.ch == kWideRight ? x > 0 && IsWide(screen.At(x - 1, y))
               : IsWide(cell)        ? x + 1 < screen.Width() && screen.At(x + 1, y).ch == kWideRight
                                     : DisplayWidth(cell.ch) != 0;
  if (!whole) cell = Cell{' ', cell.attr};
  return cell;
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

std::string RenderChanges(const ScreenModel& screen, ScreenModel& shown, bool monochrome) {
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
      const Cell want = ShownCell(screen, x, y);
      // A right half is drawn with the character on its left. Writing over one half of a wide
      // character blanks its other half on the terminal; the cell kept for that half never
      // matches what is wanted there, so it is written again.
      if (want.ch == kWideRight) continue;
      const int width = IsWide(want) ? 2 : 1;
      if (want == shown.At(x, y) && (width == 1 || shown.At(x + 1, y).ch == kWideRight)) continue;
      if (out.empty()) out = "\033[?25l";  // no cursor flicker while cells change
      if (x != atX || y != atY) {
        char move[32];
        std::snprintf(move, sizeof move, "\033[%d;%dH", y + 1, x + 1);
        out += move;
      }
      // Without colours an attribute is only reverse video or not: a new one is sent only then.
      const int sent = !monochrome ? want.attr : (want.attr & kMonoFocus) == kMonoFocus ? kMonoFocus : 0;
      if (sent != attr) {
        out += !monochrome ? "\033[0;" + AnsiColours(want.attr) + "m" : sent != 0 ? "\033[0;7m" : "\033[0m";
        attr = sent;
      }
      AppendUtf8(out, want.ch < 0x20 ? ' ' : want.ch);
      for (uint32_t mark : want.marks) {
        if (mark != 0) AppendUtf8(out, mark);
      }
      shown.At(x, y) = want;
      if (width == 2) shown.At(x + 1, y) = Cell{kWideRight, want.attr};
      atX = x + width;
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
