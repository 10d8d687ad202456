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
  return !ec;
}

}  // namespace tarvos::testing
