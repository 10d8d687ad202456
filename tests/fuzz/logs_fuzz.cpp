// libFuzzer entry: a hive and two transaction logs beside it, whose entries are given the hashes
// (and the base blocks the checksums) they need before the program sees them, so that mutations
// reach the replay itself. The first four bytes give the hive's length and the next four the first
// log's (each modulo what is left); the rest is the second log. Built with TARVOS_FUZZ as
// tarvos_logs_fuzz; run with scripts/fuzz.sh on tests/fuzz/corpus/logs, -max_len=131072. The
// result is judged as in check_fuzz.cpp.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/target_defaults.h"
#include "hive/bytes.h"
#include "hive/image.h"
#include "hive/layout.h"
#include "hive/recovery.h"

namespace {

using namespace tarvos::hive;

void PutLe64(uint8_t* p, uint64_t value) {
  PutLe32(p, static_cast<uint32_t>(value));
  PutLe32(p + 4, static_cast<uint32_t>(value >> 32));
}

// The checksum of the base block and the two hashes of every entry that can be walked to.
void MakeHashesRight(std::vector<uint8_t>& log) {
  if (log.size() < txlog::kSector) return;
  PutLe32(log.data() + base::kChecksum, HeaderChecksum(log.data()));
  for (size_t at = txlog::kSector; log.size() - at >= txlog::kEntryHeaderSize;) {
    uint8_t* entry = log.data() + at;
    uint32_t size = Le32(entry + txlog::kEntrySize);
    if (Le32(entry) != txlog::kEntrySignature || size < txlog::kEntryHeaderSize || size % txlog::kSector != 0 ||
        size > log.size() - at) {
      break;
    }
    PutLe64(entry + txlog::kEntryHash1,
            Marvin32(entry + txlog::kEntryHeaderSize, size - txlog::kEntryHeaderSize, txlog::kMarvinSeed));
    PutLe64(entry + txlog::kEntryHash2, Marvin32(entry, txlog::kEntryHash2Length, txlog::kMarvinSeed));
    at += size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  size_t left = size - 8;
  size_t hiveLength = Le32(data) % (left + 1);
  size_t firstLength = Le32(data + 4) % (left - hiveLength + 1);
  const uint8_t* at = data + 8;
  std::vector<TransactionLog> logs(2);
  logs[0].name = "hive.LOG1";
  logs[0].bytes.assign(at + hiveLength, at + hiveLength + firstLength);
  logs[1].name = "hive.LOG2";
  logs[1].bytes.assign(at + hiveLength + firstLength, data + size);
  for (TransactionLog& log : logs) MakeHashesRight(log.bytes);
  tarvos::fuzz::CheckAndJudge(at, hiveLength, logs);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  return tarvos::fuzz::MutateInput(data, size, maxSize, seed, 8);
}
