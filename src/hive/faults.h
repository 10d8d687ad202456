// The catalogue of faults, the per-code fix decisions, and the one entry point every check calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "hive/bytes.h"
#include "hive/engine_io.h"
#include "hive/layout.h"

namespace tarvos::hive {

// Fault codes. Checks raise 1 to 48; 0 is no error; 49 stands in for any larger code.
enum ErrorCode : uint32_t {
  kNoError = 0,
  kInputFileOpenError = 1,
  kOutputFileOpenError = 2,
  kUnableToGetFileInfo = 3,
  kHiveTooSmall = 4,
  kSizeNotAligned = 5,
  kFileSeekError = 6,
  kFileReadError = 7,
  kInvalidSignature = 8,
  kInvalidStartOffset = 9,
  kInvalidSizeInfo = 10,
  kBrokenHeader = 11,
  kInvalidHeaderChecksum = 12,
  kMemoryAllocationError = 13,
  kInvalidFrameSignature = 14,
  kInvalidFrameOffset = 15,
  kInvalidFrameLength = 16,
  kInvalidCellSize = 17,
  kCellSizeTooLarge = 18,
  kInvalidOffset = 19,
  kNotAKeyCell = 20,
  kZeroCapacityList = 21,
  kParentOffsetMismatch = 22,
  kNullOffsetInKeyList = 23,
  kImpossibleListSignature = 24,
  kSubkeyCountMismatch = 25,
  kOrphanValueList = 26,
  kErasedValueList = 27,
  kNullOffsetInValueList = 28,
  kInvalidValueSignature = 29,
  kDefaultValueExists = 30,
  kDefaultValueHasName = 31,
  kZeroDataLength = 32,
  kDataLengthTooLarge = 33,
  kNullDataOffset = 34,
  kNullSecurityOffset = 35,
  kInvalidSecuritySignature = 36,
  kNullSecurityLink = 37,
  kCrossLinkedData = 38,
  kUnusedBlockInUse = 39,
  kSecurityAllocationError = 40,
  kSecurityReallocationError = 41,
  kDataOverlapped = 42,
  kOrphanSegmentList = 43,
  kErasedSegmentList = 44,
  kNullOffsetInSegmentList = 45,
  kIncorrectSegmentedSize = 46,
  kIncorrectRootParent = 47,
  kInvalidFileVersion = 48,
  kUnknownError = 49,
  // Beyond the numbered catalogue of old: a key name that no reader takes (none, or UTF-16 of an
  // odd length). The check renames the key.
  kInvalidKeyName = 50,
  // A value name that no reader takes (UTF-16 of an odd length, or a NUL character in it). The
  // check marks it 8-bit or renames the value.
  kInvalidValueName = 51,
};

inline constexpr uint32_t kErrorCodeCount = 52;

// How a fault code is handled: reported only, fixed without asking, asked, or skipped.
enum FixMode : uint8_t { kFixNone = 0, kFixAll = 1, kFixAsk = 2, kSkipAll = 4 };

// One decision byte per code. Reset once per run, so a "Fix All" holds for every later file.
class FixModeTable {
 public:
  FixModeTable() { Reset(); }
  void Reset();
  uint8_t Get(uint32_t code) const { return code < kErrorCodeCount ? modes_[code] : static_cast<uint8_t>(kFixNone); }
  void Set(uint32_t code, uint8_t mode) {
    if (code < kErrorCodeCount) modes_[code] = mode;
  }

 private:
  std::array<uint8_t, kErrorCodeCount> modes_{};
};

// The fault left unfixed in the current file; code 0 while there is none.
struct ErrorRecord {
  uint32_t code = kNoError;
  uint32_t offset = kNullOffset;
  uint32_t value = kNullOffset;
};

// The catalogue text of a code ("<Unknown error>" for anything outside it).
const char* ErrorMessage(uint32_t code);

// The message with its offset part (" - 0x%08X") and, for code 19, its value part (":0x%08X"),
// and the line end.
std::string FormatError(const ErrorRecord& record);

// What a report needs of the run: the decision table and the ways to the user.
struct EngineServices {
  FixModeTable& fixModes;
  FaultDecider& decider;
  ProgressSink& progress;
  EngineLog& log;
};

// Reports one fault: logs it, decides by its fix mode (asking the user when told to), applies
// the repair and answers 1 (fixed) or 0 (not fixed). The first fault left unfixed is kept in the
// record, and every later report of the file is refused.
class FaultReporter {
 public:
  explicit FaultReporter(EngineServices services) : services_(services) {}

  int ReportFault(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair);

  bool IsErrorLeft() const { return error_.code != kNoError; }
  const ErrorRecord& Error() const { return error_; }
  bool Changed() const { return changed_; }
  // Follow-up changes made by a check after a fixed report, and repairs made outside a report.
  void MarkChanged() { changed_ = true; }
  EngineServices& Services() { return services_; }
  // While a walk is tried on two cores, a fault is neither logged, asked nor fixed: the report
  // answers "not fixed" at once, so the walk stops, and the walk is then done again in full.
  void Speculate(bool on) {
    speculating_ = on;
    if (on) faultSeen_ = false;
  }
  bool FaultSeen() const { return faultSeen_; }

 private:
  bool ApplyFix(uint32_t code, FieldRef field, uint32_t repair);
  void Log(LogMarker marker, std::string_view message) { services_.log.Entry(marker, message); }

  EngineServices services_;
  bool speculating_ = false;
  bool faultSeen_ = false;
  ErrorRecord error_;
  bool changed_ = false;
};

}  // namespace tarvos::hive
