#include "platform/watched_views.h"

#include "platform/mapping.h"

namespace tarvos::platform {

namespace {
constexpr int kWatchedViews = 16;
WatchedView g_views[kWatchedViews];
}  // namespace

int TakeViewSlot() {
  for (int i = 0; i < kWatchedViews; ++i) {
    uintptr_t free = 0;
    // A placeholder start takes the slot; the handler ignores it until the end is set.
    if (g_views[i].start.compare_exchange_strong(free, ~uintptr_t{0})) return i;
  }
  return -1;
}

void WatchView(int slot, const void* data, size_t size, int state) {
  WatchedView& view = g_views[slot];
  view.lostAt.store(~uint64_t{0}, std::memory_order_relaxed);
  view.state.store(state, std::memory_order_relaxed);
  view.end.store(reinterpret_cast<uintptr_t>(data) + size, std::memory_order_release);
  view.start.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
}

void UnwatchRange(int slot) { g_views[slot].end.store(0, std::memory_order_release); }

void FreeViewSlot(int slot) {
  g_views[slot].end.store(0, std::memory_order_release);
  g_views[slot].start.store(0, std::memory_order_release);
}

WatchedView& ViewInSlot(int slot) { return g_views[slot]; }

WatchedView* ViewHolding(uintptr_t address) {
  for (WatchedView& view : g_views) {
    uintptr_t start = view.start.load(std::memory_order_acquire);
    if (start != 0 && address >= start && address < view.end.load(std::memory_order_acquire)) return &view;
  }
  return nullptr;
}

void NoteLoss(WatchedView& view, uint64_t offset) {
  uint64_t lost = view.lostAt.load(std::memory_order_relaxed);
  while (offset < lost && !view.lostAt.compare_exchange_weak(lost, offset, std::memory_order_release)) {
  }
}

void PrivateView::Hold(int slot, void* data, size_t size, int state) {
  WatchView(slot, data, size, state);
  data_ = static_cast<uint8_t*>(data);
  size_ = size;
  slot_ = slot;
}

void PrivateView::Forget() {
  FreeViewSlot(slot_);
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

uint64_t PrivateView::LostAt() const {
  return slot_ < 0 ? kNothingLost : g_views[slot_].lostAt.load(std::memory_order_acquire);
}

}  // namespace tarvos::platform
