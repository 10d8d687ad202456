// The one large allocation of a run: the buffer that holds a whole hive file.
#pragma once

#include <cstddef>

namespace tarvos::platform {

// A buffer of size bytes (content undefined), or nullptr. Never throws.
void* AllocateLarge(size_t size);
void FreeLarge(void* buffer, size_t size);

}  // namespace tarvos::platform
