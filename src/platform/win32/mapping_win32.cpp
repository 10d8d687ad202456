#include "platform/mapping.h"

namespace tarvos::platform {

// Windows keeps reading hives into memory: a view whose file fails under it (a network share
// gone, a disk pulled) raises an in-page error that is not yet turned into a read error here.
bool PrivateView::Map(const File&, size_t) { return false; }

void PrivateView::Unmap() {
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

uint64_t PrivateView::LostAt() const { return kNothingLost; }

}  // namespace tarvos::platform
