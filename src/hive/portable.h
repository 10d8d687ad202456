// What the engine asks of the compiler beyond plain C++: a byte that one thread writes while
// another reads it, as relaxed atomics, and a hint to fetch memory ahead of its use.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvos::hive {

inline uint8_t LoadRelaxed(const uint8_t& byte) {
  return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(byte)).load(std::memory_order_relaxed);
}

inline void StoreRelaxed(uint8_t& byte, uint8_t value) {
  std::atomic_ref<uint8_t>(byte).store(value, std::memory_order_relaxed);
}

// Asks for the cache line at address; nothing where the compiler has no such hint.
inline void PrefetchRead(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace tarvos::hive
