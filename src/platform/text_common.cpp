#include <cstdint>

#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::platform {

// Paths are UTF-8 bytes: one byte changes case only when it is an ASCII letter, so no multibyte
// sequence breaks.
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }

std::string LowerAscii(std::string text) {
  for (char& c : text) c = LowerChar(c);
  return text;
}
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c; }

std::vector<uint32_t> DecodeFileName(const std::string& name) { return DecodeUtf8(name); }

namespace {
// Where the character that starts at byte at ends.
size_t NextChar(const std::string& name, size_t at) {
  ++at;
  while (at < name.size() && (static_cast<uint8_t>(name[at]) & 0xC0) == 0x80) ++at;  // continuation bytes
  return at;
}
}  // namespace

std::string FileNamePrefix(const std::string& name, size_t width) {
  size_t at = 0;
  for (size_t used = 0; at < name.size();) {
    size_t next = NextChar(name, at);
    size_t cells = TextWidth(DecodeUtf8(name.substr(at, next - at)));
    if (used + cells > width) break;
    used += cells;
    at = next;
  }
  return name.substr(0, at);
}

void DropLastChar(std::string& name) {
  size_t at = name.size();
  while (at > 0 && (static_cast<uint8_t>(name[at - 1]) & 0xC0) == 0x80) --at;
  // A lead byte and the continuation bytes it calls for go together; anything else byte by byte.
  auto lead = at > 0 ? static_cast<uint8_t>(name[at - 1]) : 0;
  size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
  if (at > 0 && name.size() - (at - 1) == length) {
    name.resize(at - 1);
  } else if (!name.empty()) {
    name.pop_back();
  }
}

}  // namespace tarvos::platform
