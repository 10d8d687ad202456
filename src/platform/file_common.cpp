#include <cstring>
#include <random>

#include "platform/file.h"

namespace tarvos::platform {

bool SameFileUnchanged(const FileInfo& a, const FileInfo& b) {
  return a.volume == b.volume && a.index == b.index && a.size == b.size && a.writeTime == b.writeTime;
}

size_t FileNameIndex(const std::string& path) {
  size_t index = path.size();
  while (index > 0 && !IsPathSeparator(path[index - 1])) --index;
  return index;
}

std::string UnpredictableNameBeside(const std::string& target) {
  const size_t folderEnd = FileNameIndex(target);
  static std::random_device source;
  uint64_t bits = (static_cast<uint64_t>(source()) << 32) ^ source();
  char text[40];
  static const char kHex[] = "0123456789abcdef";
  std::memcpy(text, ".tarvos-", 8);
  for (int i = 0; i < 16; ++i) text[8 + i] = kHex[(bits >> (60 - 4 * i)) & 0xF];
  std::memcpy(text + 24, ".tmp", 5);
  return target.substr(0, folderEnd) + text;
}

bool IsFolder(const std::string& path) {
  FileInfo info;
  return !path.empty() && LookUp(path, info) && (info.attributes & kAttrDirectory) != 0;
}

}  // namespace tarvos::platform
