#include <atomic>
#include <cstring>

#include "platform/termination.h"

namespace tarvos::platform {

namespace {

// A few fixed slots: a handler may read them at any moment, so nothing here allocates.
struct Slot {
  std::atomic<bool> used{false};
  char path[32768 + 4];  // the longest path either system opens, in UTF-8
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

}  // namespace tarvos::platform
