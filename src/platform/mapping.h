// A hive file seen through memory instead of read into it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace tarvos::platform {

// A private copy-on-write view of the start of an open file: its pages come in from the file as
// they are first touched, and a page written is copied for this process alone, so the file is
// never changed through the view. Should another process cut the file short while it is mapped
// (or the disk or share under it fail), a page past the new end reads as zeros instead of ending
// the process, and the view says where the first such page was. On Windows, which cannot put one
// page of zeros in a file view, the first page lost costs the whole view: from then on every page
// of it reads as zeros.
class PrivateView {
 public:
  PrivateView() = default;
  ~PrivateView() { Unmap(); }
  PrivateView(const PrivateView&) = delete;
  PrivateView& operator=(const PrivateView&) = delete;

  // Maps the first size bytes of a file open for reading; false when the system gives no such
  // view (the file is then to be read).
  bool Map(const File& file, size_t size);
  void Unmap();
  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }
  // The offset of the first page the file no longer held when it was touched; kNothingLost
  // while every page touched came from the file.
  static constexpr uint64_t kNothingLost = ~uint64_t{0};
  uint64_t LostAt() const;

 private:
  // The view made in a slot is watched from now on and held here; Forget lets it go, the slot
  // freed, once the system took the range back.
  void Hold(int slot, void* data, size_t size, int state);
  void Forget();
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int slot_ = -1;  // where the fault handler finds the view
};

}  // namespace tarvos::platform
