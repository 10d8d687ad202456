// A folder of its own for one test, removed afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tarvos::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

// The folder of shared real hives, or an empty string when it is absent.
std::string SharedHivesDir();
// What a test skipped for want of them says; the run ends with one line that counts them.
inline constexpr const char* kNoSharedHives = "no shared hive folder";

}  // namespace tarvos::testing

namespace tarvos::testing {

// What a shell command writes on standard output; empty when it cannot be run.
std::string CommandOutput(const std::string& command);

// Cuts a file short to size bytes as another process would, also while this one maps it; false
// where nothing here can. Windows cuts no mapped file short; under Wine a process of the host
// does, as another machine cuts a file short on a share that a Windows client maps.
bool CutFileShort(const std::string& path, uint64_t size);

}  // namespace tarvos::testing
