// libFuzzer entry: any bytes as a hive file and a transaction log beside it, recovered and checked
// with every fault fixed, on one thread; the result must then check clean, stay within a bound of
// the hive's size and hold its subkey lists in order (fuzz_check.h). The first four bytes give the
// hive's length (modulo what is left); the rest after the hive is the log. Build with clang:
// cmake -DTARVOS_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ ...; run with scripts/fuzz.sh, or
// build-fuzz/tarvos_fuzz tests/fuzz/corpus/check -max_len=65536.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/target_defaults.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  size_t hiveLength = tarvos::hive::Le32(data) % (size - 4 + 1);
  std::vector<tarvos::hive::TransactionLog> logs;
  if (size - 4 > hiveLength) {
    logs.resize(1);
    logs[0].name = "hive.LOG1";
    logs[0].bytes.assign(data + 4 + hiveLength, data + size);
  }
  tarvos::fuzz::CheckAndJudge(data + 4, hiveLength, logs);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  return tarvos::fuzz::MutateInput(data, size, maxSize, seed, 4);
}
