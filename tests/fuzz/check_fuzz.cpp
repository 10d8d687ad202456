// libFuzzer entry: any bytes as a hive file and a transaction log beside it, recovered and checked
// with every fault fixed, then checked again. The first four bytes give the hive's length (modulo
// what is left); the rest after the hive is the log. Build with clang: cmake -DTARVOS_FUZZ=ON
// -DCMAKE_CXX_COMPILER=clang++ ...; run build-fuzz/tarvos_fuzz, seeded by tests/fuzz/seed_logs.sh.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive/bytes.h"
#include "support/walked_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  size_t hiveLength = tarvos::hive::Le32(data) % (size - 4 + 1);
  std::vector<uint8_t> bytes(data + 4, data + 4 + hiveLength);
  std::vector<tarvos::hive::TransactionLog> logs(1);
  logs[0].name = "hive.LOG1";
  logs[0].bytes.assign(data + 4 + hiveLength, data + size);
  tarvos::testing::WalkedHive first(bytes, tarvos::testing::FixAllAnswers(), logs);
  if (first.passed) tarvos::testing::WalkedHive second(first.Bytes(), tarvos::testing::FixAllAnswers(), logs);
  return 0;
}
