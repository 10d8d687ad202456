#include <ctype.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::platform {

// Paths are UTF-8 bytes here: only ASCII letters change case, so no multibyte sequence breaks.
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; }
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c; }
uint64_t MonotonicMs() {
  struct timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

std::vector<uint32_t> DecodeFileName(const std::string& name) { return DecodeUtf8(name); }

namespace {
// Where the character that starts at byte at ends.
size_t NextChar(const std::string& name, size_t at) {
  ++at;
  while (at < name.size() && (static_cast<uint8_t>(name[at]) & 0xC0) == 0x80) ++at;  // continuation bytes
  return at;
}
}  // namespace

std::string FileNamePrefix(const std::string& name, size_t width) {
  size_t at = 0;
  for (size_t used = 0; at < name.size();) {
    size_t next = NextChar(name, at);
    size_t cells = TextWidth(DecodeUtf8(name.substr(at, next - at)));
    if (used + cells > width) break;
    used += cells;
    at = next;
  }
  return name.substr(0, at);
}

void DropLastChar(std::string& name) {
  size_t at = name.size();
  while (at > 0 && (static_cast<uint8_t>(name[at - 1]) & 0xC0) == 0x80) --at;
  // A lead byte and the continuation bytes it calls for go together; anything else byte by byte.
  auto lead = at > 0 ? static_cast<uint8_t>(name[at - 1]) : 0;
  size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
  if (at > 0 && name.size() - (at - 1) == length) {
    name.resize(at - 1);
  } else if (!name.empty()) {
    name.pop_back();
  }
}

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
  if (size < kHugePage) return std::malloc(size);
  // Whole 2 MiB pages, asked for as huge pages before they are touched: faulting the buffer in
  // then costs a fraction of what 4 KiB pages cost.
  size_t rounded = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* area = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  // Trim to a 2 MiB boundary so that every page of the buffer can be a huge page.
  auto start = reinterpret_cast<uintptr_t>(area);
  uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  if (aligned > start) ::munmap(area, aligned - start);
  size_t tail = (start + rounded + kHugePage) - (aligned + rounded);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + rounded), tail);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* buffer, size_t size) {
  if (buffer == nullptr) return;
  if (size < kHugePage) {
    std::free(buffer);
    return;
  }
  ::munmap(buffer, (size + kHugePage - 1) & ~(kHugePage - 1));
}

}  // namespace tarvos::platform
