#include <cstdint>

#include "platform/file.h"
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

namespace {
bool IsSeparatorChar(uint32_t ch) { return ch < 0x80 && IsPathSeparator(static_cast<char>(ch)); }

// How many of the last chars fit in width cells; a combining mark does not start the part kept.
size_t CharsThatEndIn(const std::vector<uint32_t>& chars, size_t from, size_t width) {
  size_t used = 0, count = 0;
  while (count < chars.size() - from) {
    auto w = static_cast<size_t>(DisplayWidth(chars[chars.size() - 1 - count]));
    if (used + w > width) break;
    used += w;
    ++count;
  }
  while (count > 0 && DisplayWidth(chars[chars.size() - count]) == 0) --count;
  return count;
}
}  // namespace

std::vector<uint32_t> ShortenPath(const std::vector<uint32_t>& path, size_t width) {
  if (TextWidth(path) <= width) return path;
  if (width == 0) return {};
  // The name: after the last separator that does not end the path.
  size_t name = path.size();
  while (name > 0 && !(IsSeparatorChar(path[name - 1]) && name < path.size())) --name;
  // The start: up to the first separator that follows a character of a name ("/mnt/", "C:\").
  size_t head = 0;
  for (size_t i = 1; i < name && head == 0; ++i) {
    if (IsSeparatorChar(path[i]) && !IsSeparatorChar(path[i - 1])) head = i + 1;
  }
  while (head > 0 && head < name && IsSeparatorChar(path[head])) ++head;  // "C:" and its "\\"
  std::vector<uint32_t> start(path.begin(), path.begin() + static_cast<long>(head));
  const size_t nameWidth = TextWidth(std::vector<uint32_t>(path.begin() + static_cast<long>(name), path.end()));
  if (head == 0 || TextWidth(start) + 1 + nameWidth > width) start.clear(), head = 0;
  size_t kept = CharsThatEndIn(path, head, width - 1 - TextWidth(start));
  std::vector<uint32_t> shown = std::move(start);
  shown.push_back(kEllipsis);
  shown.insert(shown.end(), path.end() - static_cast<long>(kept), path.end());
  return shown;
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
