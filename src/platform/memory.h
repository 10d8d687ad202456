// The one large allocation of a run: the buffer that holds a whole hive file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvos::platform {

// A buffer of size bytes (content undefined), or nullptr. Never throws.
void* AllocateLarge(size_t size);
void FreeLarge(void* buffer, size_t size);

// The memory this process holds as its own (pages written or allocated, not the file pages a
// view shares with the page cache), in bytes: Private_Dirty of /proc/self/smaps_rollup on Linux.
// 0 where it cannot be told.
uint64_t PrivateMemoryBytes();

}  // namespace tarvos::platform
