#include <windows.h>

#include <atomic>

#include "platform/mapping.h"
#include "platform/watched_views.h"

namespace tarvos::platform {

namespace {

// What stands in a view's address range: the file's pages; nothing, for the moment the handler
// takes to put zeros in their place; the zeros; or nothing for good, when the zeros could not be
// had (the fault is then the crash it would have been without a view).
enum ViewState : int { kFileView, kSwapping, kZeros, kGone };

std::atomic<bool> g_handlerInstalled{false};
constexpr uintptr_t kPageSize = 4096;

// A page of a view that the file could not give: cut short under it, or its share or disk gone.
// Windows raises an in-page error for it; Wine, whose file views are the host's, an access
// violation. Windows cannot put one page of zeros in the middle of a file view, and a view that
// lost a page is given up anyway (its hive is the read error, never saved): the thread that
// faulted first unmaps the whole view and puts zeros of the process's own in the same range.
// Another thread that touches the range meanwhile finds nothing there; it waits for the zeros.
LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  const DWORD code = record.ExceptionCode;
  if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) || record.NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const uintptr_t address = record.ExceptionInformation[1];
  WatchedView* found = ViewHolding(address);
  // Not a view's: the search goes on, and a crash stays a crash.
  if (found == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  WatchedView& view = *found;
  const uintptr_t start = view.start.load(std::memory_order_acquire);
  const uintptr_t end = view.end.load(std::memory_order_acquire);
  const uint64_t offset = (address - start) & ~(kPageSize - 1);
  int state = kFileView;
  if (view.state.compare_exchange_strong(state, kSwapping, std::memory_order_acq_rel)) {
    NoteLoss(view, offset);
    void* at = reinterpret_cast<void*>(start);
    ::UnmapViewOfFile(at);
    void* zeros = ::VirtualAlloc(at, end - start, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    state = zeros == at ? kZeros : kGone;
    view.state.store(state, std::memory_order_release);
  } else {
    // An in-page error is a page lost, whoever swaps; an access violation here is a thread
    // that came while the view was being swapped.
    if (code == EXCEPTION_IN_PAGE_ERROR) NoteLoss(view, offset);
    while ((state = view.state.load(std::memory_order_acquire)) == kSwapping) ::SwitchToThread();
  }
  return state == kZeros ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool PrivateView::Map(const File& file, size_t size) {
  Unmap();
  if (file.handle_ == File::kNoHandle || size == 0) return false;
  int slot = TakeViewSlot();
  if (slot < 0) return false;
  const uint64_t wanted = size;
  HANDLE mapping = ::CreateFileMappingW(reinterpret_cast<HANDLE>(file.handle_), nullptr, PAGE_WRITECOPY,
                                        static_cast<DWORD>(wanted >> 32), static_cast<DWORD>(wanted), nullptr);
  void* data = mapping != nullptr ? ::MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, size) : nullptr;
  // The view keeps the file mapped by itself, also once the file's own handle is closed.
  if (mapping != nullptr) ::CloseHandle(mapping);
  if (data == nullptr) {
    FreeViewSlot(slot);
    return false;
  }
  if (!g_handlerInstalled.exchange(true)) ::AddVectoredExceptionHandler(1, OnException);
  Hold(slot, data, size, kFileView);
  return true;
}

void PrivateView::Unmap() {
  if (data_ == nullptr) return;
  WatchedView& view = ViewInSlot(slot_);
  // Out of the handler's sight first; a swap under way ends, and what is in the range then says
  // how it goes. The slot is free for another view only once the range is given back.
  UnwatchRange(slot_);
  int state;
  while ((state = view.state.load(std::memory_order_acquire)) == kSwapping) ::SwitchToThread();
  if (state == kFileView) {
    ::UnmapViewOfFile(data_);
  } else if (state == kZeros) {
    ::VirtualFree(data_, 0, MEM_RELEASE);
  }
  Forget();
}

}  // namespace tarvos::platform
