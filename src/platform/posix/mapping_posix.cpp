#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "platform/mapping.h"
#include "platform/posix/bus_faults.h"
#include "platform/posix/terminal_mode.h"

namespace tarvos::platform {

namespace {

// The views the SIGBUS handler knows, found without a lock: a slot is taken by setting its
// start, and its range and lost offset are read in the handler of whichever thread faulted.
struct WatchedView {
  std::atomic<uintptr_t> start{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<uint64_t> lostAt{PrivateView::kNothingLost};
};
constexpr int kWatchedViews = 16;
WatchedView g_views[kWatchedViews];
std::atomic<bool> g_handlerInstalled{false};

uintptr_t PageSize() {
  static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// A page of a view that its file no longer holds: zeros are put in its place, so that the
// access that faulted is made again and succeeds, and the view notes the loss.
bool TakeViewFault(uintptr_t address) {
  for (WatchedView& view : g_views) {
    uintptr_t start = view.start.load(std::memory_order_acquire);
    if (start == 0 || address < start || address >= view.end.load(std::memory_order_acquire)) continue;
    uintptr_t page = address & ~(PageSize() - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), PageSize(), PROT_READ | PROT_WRITE,
                         MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (zeros == MAP_FAILED) return false;
    uint64_t offset = page - start;
    uint64_t lost = view.lostAt.load(std::memory_order_relaxed);
    while (offset < lost && !view.lostAt.compare_exchange_weak(lost, offset, std::memory_order_release)) {
    }
    return true;
  }
  return false;
}

void OnBus(int sig, siginfo_t* info, void*) {
  if (TakeViewFault(reinterpret_cast<uintptr_t>(info->si_addr))) return;
  // Any other SIGBUS is a crash: the terminal is given back first when the screen is up.
  if (ScreenUpForTermination()) TerminateOnSignal(sig);
  RaiseAsDefault(sig);
}

}  // namespace

void InstallBusHandler() {
  if (g_handlerInstalled.exchange(true)) return;
  struct sigaction action{};
  action.sa_sigaction = OnBus;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

bool PrivateView::Map(const File& file, size_t size) {
  Unmap();
  if (file.handle_ == File::kNoHandle || size == 0) return false;
  int slot = -1;
  for (int i = 0; i < kWatchedViews && slot < 0; ++i) {
    uintptr_t free = 0;
    // A placeholder start takes the slot; the handler ignores it until the end is set.
    if (g_views[i].start.compare_exchange_strong(free, ~uintptr_t{0})) slot = i;
  }
  if (slot < 0) return false;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, static_cast<int>(file.handle_), 0);
  if (data == MAP_FAILED) {
    g_views[slot].start.store(0, std::memory_order_release);
    return false;
  }
  InstallBusHandler();
  WatchedView& view = g_views[slot];
  view.lostAt.store(kNothingLost, std::memory_order_relaxed);
  view.end.store(reinterpret_cast<uintptr_t>(data) + size, std::memory_order_release);
  view.start.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
  data_ = static_cast<uint8_t*>(data);
  size_ = size;
  slot_ = slot;
  return true;
}

void PrivateView::Unmap() {
  if (data_ == nullptr) return;
  // Out of the handler's sight before the range can be given to anything else.
  g_views[slot_].end.store(0, std::memory_order_release);
  g_views[slot_].start.store(0, std::memory_order_release);
  ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

uint64_t PrivateView::LostAt() const {
  return slot_ < 0 ? kNothingLost : g_views[slot_].lostAt.load(std::memory_order_acquire);
}

}  // namespace tarvos::platform
