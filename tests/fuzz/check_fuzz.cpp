// libFuzzer entry: any bytes as a hive file, checked with every fault fixed, then checked again.
// Build with clang: cmake -DTARVOS_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ ...; run build-fuzz/tarvos_fuzz.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/walked_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  tarvos::testing::WalkedHive first(bytes, tarvos::testing::FixAllAnswers());
  if (first.passed) tarvos::testing::WalkedHive second(first.Bytes(), tarvos::testing::FixAllAnswers());
  return 0;
}
