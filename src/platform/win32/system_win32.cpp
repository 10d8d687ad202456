#include <windows.h>

#include <shellapi.h>

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/memory.h"
#include "platform/text.h"
#include "platform/win32/wide.h"

namespace tarvos::platform {

uint64_t MonotonicMs() { return ::GetTickCount64(); }

void UpperInPlace(std::string& text) {
  if (!text.empty()) text = Utf8(UpperWide(Wide(text)));
}

// The command line as the system keeps it, in UTF-16, split by the rules of the C runtime.
std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

LocalTime NowLocal() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void* AllocateLarge(size_t size) {
  if (size == 0) return nullptr;
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLarge(void* buffer, size_t) {
  if (buffer != nullptr) ::VirtualFree(buffer, 0, MEM_RELEASE);
}

uint64_t PrivateMemoryBytes() { return 0; }

}  // namespace tarvos::platform
