#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "platform/mapping.h"
#include "platform/posix/bus_faults.h"
#include "platform/posix/terminal_mode.h"
#include "platform/watched_views.h"

namespace tarvos::platform {

namespace {

std::atomic<bool> g_handlerInstalled{false};

uintptr_t PageSize() {
  static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// A page of a view that its file no longer holds: zeros are put in its place, so that the
// access that faulted is made again and succeeds, and the view notes the loss.
bool TakeViewFault(uintptr_t address) {
  WatchedView* view = ViewHolding(address);
  if (view == nullptr) return false;
  uintptr_t page = address & ~(PageSize() - 1);
  void* zeros = ::mmap(reinterpret_cast<void*>(page), PageSize(), PROT_READ | PROT_WRITE,
                       MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (zeros == MAP_FAILED) return false;
  NoteLoss(*view, page - view->start.load(std::memory_order_acquire));
  return true;
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
  int slot = TakeViewSlot();
  if (slot < 0) return false;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, static_cast<int>(file.handle_), 0);
  if (data == MAP_FAILED) {
    FreeViewSlot(slot);
    return false;
  }
  InstallBusHandler();
  Hold(slot, data, size, 0);
  return true;
}

void PrivateView::Unmap() {
  if (data_ == nullptr) return;
  // Out of the handler's sight before the range can be given to anything else.
  UnwatchRange(slot_);
  ::munmap(data_, size_);
  Forget();
}

}  // namespace tarvos::platform
