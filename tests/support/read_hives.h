// The two ways a hive file becomes an image: mapped (the default) or read into memory.
#pragma once

#include <cstdlib>
#include <string>

namespace tarvos::testing {

// While it lives, every hive of a whole run is read into memory rather than mapped (the
// TARVOS_READ_HIVES switch of the program). With read false it changes nothing.
class ReadHives {
 public:
  explicit ReadHives(bool read = true) : read_(read) {
    if (read_) Set("TARVOS_READ_HIVES=1");
  }
  ~ReadHives() {
    if (read_) Set("TARVOS_READ_HIVES=");  // empty counts as unset
  }
  ReadHives(const ReadHives&) = delete;
  ReadHives& operator=(const ReadHives&) = delete;

 private:
  static void Set(const char* setting) {
    static std::string kept;  // putenv keeps the string itself
    kept = setting;
    putenv(kept.data());
  }
  bool read_;
};

}  // namespace tarvos::testing

#include "platform/file.h"
#include "platform/mapping.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::testing {

// Whether this system gives the program views of hive files (else every hive is read).
inline bool MappingAvailable() {
  TempDir dir;
  if (!WriteFileBytes(dir.Path("probe"), std::vector<uint8_t>(4096, 1))) return false;
  platform::File file;
  platform::PrivateView view;
  return file.OpenRead(dir.Path("probe")) && view.Map(file, 4096);
}

}  // namespace tarvos::testing
