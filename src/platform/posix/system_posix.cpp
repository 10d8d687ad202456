#include <ctype.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/memory.h"
#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::platform {

uint64_t MonotonicMs() {
  struct timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// ASCII letters only: the bytes of a multibyte sequence are never touched.
void UpperInPlace(std::string& text) {
  for (char& c : text) c = UpperChar(c);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
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

uint64_t PrivateMemoryBytes() {
  std::FILE* rollup = std::fopen("/proc/self/smaps_rollup", "r");
  if (rollup == nullptr) return 0;
  char line[128];
  unsigned long long kilobytes = 0;
  while (std::fgets(line, sizeof line, rollup) != nullptr) {
    if (std::strncmp(line, "Private_Dirty:", 14) == 0) {
      kilobytes = std::strtoull(line + 14, nullptr, 10);
      break;
    }
  }
  std::fclose(rollup);
  return kilobytes * 1024;
}

}  // namespace tarvos::platform
