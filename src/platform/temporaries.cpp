#include <atomic>
#include <cstring>
#include <random>

#include "platform/file.h"
#include "platform/termination.h"

namespace tarvos::platform {

namespace {

// A few fixed slots: a handler may read them at any moment, so nothing here allocates.
struct Slot {
  std::atomic<bool> used{false};
  char path[4100];
};
Slot g_slots[4];

}  // namespace

void NoteTemporary(const std::string& path) {
  if (path.size() >= sizeof g_slots[0].path) return;
  for (Slot& slot : g_slots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return;
  }
}

void ForgetTemporary(const std::string& path) {
  for (Slot& slot : g_slots) {
    if (slot.used.load() && path == slot.path) slot.used.store(false);
  }
}

void RemoveNotedTemporaries(bool (*remove)(const char* path)) {
  for (Slot& slot : g_slots) {
    if (slot.used.load()) remove(slot.path);
  }
}

std::string UnpredictableNameBeside(const std::string& target) {
  size_t folderEnd = target.size();
  while (folderEnd > 0 && !IsPathSeparator(target[folderEnd - 1])) --folderEnd;
  static std::random_device source;
  uint64_t bits = (static_cast<uint64_t>(source()) << 32) ^ source();
  char text[40];
  static const char kHex[] = "0123456789abcdef";
  std::memcpy(text, ".tarvos-", 8);
  for (int i = 0; i < 16; ++i) text[8 + i] = kHex[(bits >> (60 - 4 * i)) & 0xF];
  std::memcpy(text + 24, ".tmp", 5);
  return target.substr(0, folderEnd) + text;
}

}  // namespace tarvos::platform
