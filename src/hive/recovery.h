// Recovery of a dirty hive from its transaction logs, before its base block is checked: what
// Windows would apply when it loads the hive is applied to the image in memory. The logs
// themselves are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hive/engine_io.h"
#include "hive/image.h"

namespace tarvos::hive {

// One log file found beside the hive: its name for the log lines, and its bytes held in memory,
// or the file they are read from as recovery goes (its base block first, then one entry or page
// at a time: a log is never read whole), or why it could not be read.
struct TransactionLog {
  std::string name;
  std::vector<uint8_t> bytes;
  std::string path;   // read from here when set
  uint64_t size = 0;  // of the file at path
  std::string unreadable;
  uint64_t Size() const { return path.empty() ? bytes.size() : size; }
};

// The suffixes of a hive's logs, in the order they are looked for.
inline constexpr const char* kLogSuffixes[] = {".LOG", ".LOG1", ".LOG2"};

// Whether a hive needs its logs: its sequence numbers differ, or its base block is invalid
// (signature or checksum).
bool IsDirty(const HiveImage& image);

// Whether a loaded file is a transaction log rather than a hive: its name ends with one of the
// log suffixes (any case) and its base block gives a log's file type.
bool IsTransactionLogFile(const std::string& name, const HiveImage& image);

// Applies the logs to a dirty image and writes what happened to the log ("Transaction log
// applied: ...", "Transaction log refused: ...", "Hive recovered from transaction logs").
// True when the image was recovered: it then holds equal sequence numbers and a sound checksum.
bool RecoverFromLogs(HiveImage& image, const std::vector<TransactionLog>& logs, EngineLog& log);

// The 64-bit Marvin32 hash that log entries carry.
uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed);

}  // namespace tarvos::hive
