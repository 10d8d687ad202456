#include <windows.h>

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::platform {

char LowerChar(char c) {
  char text[2] = {c, 0};
  ::CharLowerBuffA(text, 1);
  return text[0];
}

char UpperChar(char c) {
  char text[2] = {c, 0};
  ::CharUpperBuffA(text, 1);
  return text[0];
}

uint64_t MonotonicMs() { return ::GetTickCount64(); }

std::vector<uint32_t> DecodeFileName(const std::string& name) {
  std::vector<uint32_t> chars;
  for (char c : name) chars.push_back(TextChar(static_cast<uint8_t>(c)));
  return chars;
}

// Names are in the ANSI code page: a byte is a character, a character a cell.
std::string FileNamePrefix(const std::string& name, size_t width) { return name.substr(0, width); }

void DropLastChar(std::string& name) {
  if (!name.empty()) name.pop_back();
}

void UpperInPlace(std::string& text) {
  if (!text.empty()) ::CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
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

}  // namespace tarvos::platform
