#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <system_error>

namespace tarvos::testing {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::error_code ec;
  for (int attempt = 0; attempt < 100; ++attempt) {
    dir_ = std::filesystem::temp_directory_path(ec) /
           ("tarvos-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(dir_, ec)) return;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string SharedHivesDir() {
  const char* fromEnv = std::getenv("TARVOS_HIVES");
  std::string dir = fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : "";
#ifdef TARVOS_HIVES_DEFAULT
  if (dir.empty()) dir = TARVOS_HIVES_DEFAULT;
#endif
  std::error_code ec;
  return (!dir.empty() && std::filesystem::is_directory(dir, ec)) ? dir : std::string();
}

}  // namespace tarvos::testing

#include <cstdio>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvos::testing {

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  pclose(pipe);
  return out;
}

bool CutFileShort(const std::string& path, uint64_t size) {
  std::error_code ec;
  std::filesystem::resize_file(path, size, ec);
  if (!ec) return true;
#ifdef _WIN32
  // Refused here: under Wine, the host's truncate does it. Its process is not waited for as a
  // Windows one is: the size says when it is done.
  auto unixName = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(std::filesystem::path(path).wstring().c_str()) : nullptr;
  if (name == nullptr) return false;
  std::string command = "/usr/bin/truncate -s " + std::to_string(size) + " \"" + name + "\"";
  ::HeapFree(::GetProcessHeap(), 0, name);
  std::wstring wide(command.size() + 1, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return false;
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int i = 0; i < 1000; ++i) {
    if (std::filesystem::file_size(path, ec) == size && !ec) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
#endif
  return false;
}

}  // namespace tarvos::testing
