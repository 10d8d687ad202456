// The views of files that the fault handler of the process knows (see platform/mapping.h): a
// small table read without a lock by whichever thread faulted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvos::platform {

struct WatchedView {
  std::atomic<uintptr_t> start{0};  // 0: a free slot; all ones: taken, its range not set yet
  std::atomic<uintptr_t> end{0};
  std::atomic<uint64_t> lostAt{~uint64_t{0}};
  std::atomic<int> state{0};  // where a fault swaps the whole view: what stands in its range
};

// Takes a free slot for a view about to be made; -1 when every slot is taken.
int TakeViewSlot();
// The view's range is watched from now on, nothing lost yet, in the state given.
void WatchView(int slot, const void* data, size_t size, int state = 0);
// Out of the handler's sight: the range may be given to something else.
void UnwatchRange(int slot);
// The slot is free again.
void FreeViewSlot(int slot);
WatchedView& ViewInSlot(int slot);
// The watched view whose range holds an address, or nullptr.
WatchedView* ViewHolding(uintptr_t address);
// Notes a page lost at a view's offset: the lowest such offset is kept.
void NoteLoss(WatchedView& view, uint64_t offset);

}  // namespace tarvos::platform
