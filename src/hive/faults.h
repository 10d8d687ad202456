// The catalogue of faults, the per-code fix decisions, and the one entry point every check calls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "hive/bytes.h"
#include "hive/engine_io.h"
#include "hive/layout.h"

namespace tarvos::hive {

class HiveImage;

// How a fault code is handled: reported only, fixed without asking, asked, or skipped.
enum FixMode : uint8_t { kFixNone = 0, kFixAll = 1, kFixAsk = 2, kSkipAll = 4 };

// How a fix of a code is made once the user says "fix":
//   Never       it cannot be fixed: the fault stays and the check of the file ends;
//   Value       the repair value the check gives is written into the field;
//   Null, Zero  kNullOffset, or 0, is written into the field;
//   Caller      the check that raised it makes the repair (drops the reference, rebuilds a list);
//   Signature   "regf" is written, after the user confirms it once more;
//   ClearBit0   the field's lowest bit is cleared;
//   DataLength  the field keeps its top bit and takes a length of 4.
enum class Repair : uint8_t { Never, Value, Null, Zero, Caller, Signature, ClearBit0, DataLength };

// What a fix of a code means for the check that reported it:
//   Keep  the structure that holds the field stays, repaired where it lies (a count, a link, a
//         flag, a header field), and the check goes on with it;
//   Drop  what the reference names goes: the caller takes the entry out of its list, clears or
//         replaces the field, or leaves the cell out.
// A code whose repair is a value written, reported with no field to write it into, writes
// nothing: the check that reported it mends what it must (a stray list entry is taken out).
enum class After : uint8_t { Keep, Drop };

// What a fault left makes of the hive's processing: a fault left in a hive that was read; "not
// checked" (it could not be read or checked whole); or a check that ended and a save that failed,
// so the hive stands as checked and not saved.
enum class Ends : uint8_t { Checked, NotChecked, NotSaved };

// What the log shows after the message: the offset alone, or the offset and the value the field
// held (an offset that leads nowhere, whose value tells where it pointed).
enum class Shows : uint8_t { Offset, Value };

// The answer of every report and of every step of the walk: carry on; take the reference out (a
// fix was applied that drops it); or stop (a fault was left unfixed, memory ran out, or the run
// is stopped).
enum class WalkOutcome { Continue, Drop, Stop };

// The catalogue of faults: one row per code, in the order of the codes: its name, its number, its
// message, the fix mode every run starts with, how a fix is made and what it means for the caller.
// The codes, the messages, the starting modes, the repairs and the reports' answers all come from
// here. Codes 1 to 48 are the numbered catalogue
// of old (49 stands in for any larger code); 50 and 51 are names no reader takes, which the check
// renames (a key) or marks compressed or renames (a value); 52 a key's list whose names are out of the
// order Windows searches them in, which the check sorts.
// Two codes are kept for the catalogue's numbering and never raised: 39, a reference to a free
// cell, which the check reports as the reference's own fault (code 19: an offset that names no
// cell in use); and 47, the root key's parent field, which Windows leaves pointing into the hive
// that loaded it, so that no value of it is wrong.
#define TARVOS_FAULTS(X) \
  X(kNoError, 0, "<No Error>", kFixNone, Never, Keep, Checked, Offset) \
  X(kInputFileOpenError, 1, "<Input file open error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kOutputFileOpenError, 2, "<Output file open error>", kSkipAll, Never, Keep, NotSaved, Offset) \
  X(kUnableToGetFileInfo, 3, "<Unable to get file info>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kHiveTooSmall, 4, "<Hive file is too small>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kSizeNotAligned, 5, "<Size of hive file not aligned>", kFixAsk, Caller, Keep, Checked, Offset) \
  X(kFileSeekError, 6, "<File seek error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kFileReadError, 7, "<File read error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kInvalidSignature, 8, "<Invalid hive file signature>", kFixAsk, Signature, Keep, Checked, Offset) \
  X(kInvalidStartOffset, 9, "<Invalid start offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kInvalidSizeInfo, 10, "<Invalid size info>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kBrokenHeader, 11, "<Broken hive header>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidHeaderChecksum, 12, "<Invalid hive header CRC>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kMemoryAllocationError, 13, "<Memory allocation error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kInvalidFrameSignature, 14, "<Invalid frame signature>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidFrameOffset, 15, "<Invalid frame offset>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidFrameLength, 16, "<Invalid frame length>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidCellSize, 17, "<Invalid cell size>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kCellSizeTooLarge, 18, "<Cell size is too large>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidOffset, 19, "<Invalid offset>", kFixAsk, Caller, Drop, Checked, Value) \
  X(kNotAKeyCell, 20, "<Data block is not a key cell>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kZeroCapacityList, 21, "<Suspicious descendent-key pointer list: zero capacity>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kParentOffsetMismatch, 22, "<Invalid descendent-key data: parent offset not match>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kNullOffsetInKeyList, 23, "<Invalid descendent-key list structure: null offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kImpossibleListSignature, 24, "<Descendent-key list cell has impossible signature>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kSubkeyCountMismatch, 25, "<Descendent-key counter does not match real descendent keys>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kOrphanValueList, 26, "<Orphan value list: zero counter>", kFixAsk, Null, Keep, Checked, Offset) \
  X(kErasedValueList, 27, "<Erased value list: null offset>", kFixAsk, Zero, Keep, Checked, Offset) \
  X(kNullOffsetInValueList, 28, "<Invalid value list structure: null offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kInvalidValueSignature, 29, "<Invalid value signature>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kDefaultValueExists, 30, "<Default value already exist>", kFixAsk, ClearBit0, Drop, Checked, Offset) \
  X(kDefaultValueHasName, 31, "<Invalid default value attribute: symbolic name present>", kFixAsk, ClearBit0, Keep, Checked, Offset) \
  X(kZeroDataLength, 32, "<Invalid value structure: zero data field length>", kFixAsk, DataLength, Keep, Checked, Offset) \
  X(kDataLengthTooLarge, 33, "<Invalid value structure: data field length too large>", kFixAsk, DataLength, Keep, Checked, Offset) \
  X(kNullDataOffset, 34, "<Invalid value structure: null data offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kNullSecurityOffset, 35, "<Null offset to security block>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kInvalidSecuritySignature, 36, "<Invalid security block signature>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kNullSecurityLink, 37, "<Invalid security block structure: null offset to previous or next>", kFixAsk, Null, Keep, Checked, Offset) \
  X(kCrossLinkedData, 38, "<Cross linked data>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kUnusedBlockInUse, 39, "<Using data block marked as unused>", kFixAsk, Never, Keep, Checked, Offset) \
  X(kSecurityAllocationError, 40, "<Security info allocation error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kSecurityReallocationError, 41, "<Security info reallocation error>", kFixNone, Never, Keep, NotChecked, Offset) \
  X(kDataOverlapped, 42, "<Binary data overlapped>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kOrphanSegmentList, 43, "<Orphan segmented-value list: zero counter>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kErasedSegmentList, 44, "<Erased segmented-value list: null offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kNullOffsetInSegmentList, 45, "<Invalid segmented-value list structure: null offset>", kFixAsk, Caller, Drop, Checked, Offset) \
  X(kIncorrectSegmentedSize, 46, "<Incorrect segmented-value size>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kIncorrectRootParent, 47, "<Incorrect root parent offset>", kFixAsk, Null, Keep, Checked, Offset) \
  X(kInvalidFileVersion, 48, "<Invalid file version>", kFixAsk, Value, Keep, Checked, Offset) \
  X(kUnknownError, 49, "<Unknown error>", kFixNone, Never, Keep, Checked, Offset) \
  X(kInvalidKeyName, 50, "<Invalid key name>", kFixAsk, Caller, Keep, Checked, Offset) \
  X(kInvalidValueName, 51, "<Invalid value name>", kFixAsk, Caller, Keep, Checked, Offset) \
  X(kSubkeyListOutOfOrder, 52, "<Descendent-key list out of name order>", kFixAsk, Caller, Keep, Checked, Offset)

enum ErrorCode : uint32_t {
#define TARVOS_FAULT_CODE(name, code, message, mode, repair, after, ends, shows) name = code,
  TARVOS_FAULTS(TARVOS_FAULT_CODE)
#undef TARVOS_FAULT_CODE
};

struct FaultRow {
  uint32_t code;
  const char* message;
  FixMode startMode;
  Repair repair;
  After after;
  Ends ends;
  Shows shows;
};

inline constexpr FaultRow kFaultTable[] = {
#define TARVOS_FAULT_ROW(name, code, message, mode, repair, after, ends, shows) \
  {code, message, mode, Repair::repair, After::after, Ends::ends, Shows::shows},
    TARVOS_FAULTS(TARVOS_FAULT_ROW)
#undef TARVOS_FAULT_ROW
};

inline constexpr uint32_t kErrorCodeCount = sizeof kFaultTable / sizeof kFaultTable[0];

constexpr bool RowsInCodeOrder() {
  for (uint32_t i = 0; i < kErrorCodeCount; ++i) {
    if (kFaultTable[i].code != i) return false;
  }
  return true;
}
static_assert(RowsInCodeOrder(), "a row of the fault table out of its place");

// The row of a code; code 49's for anything outside the table.
inline const FaultRow& FaultOf(uint32_t code) { return kFaultTable[code < kErrorCodeCount ? code : uint32_t{kUnknownError}]; }

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

// Told of every fault once its fate is decided: fixed (in the image) or left. The run's report
// keeps them; the engine itself never needs one.
class FaultWatcher {
 public:
  virtual ~FaultWatcher() = default;
  virtual void FaultDecided(const ErrorRecord& record, FieldRef field, bool fixed) = 0;
};

// Reports one fault: logs it, decides by its fix mode (asking the user when told to), applies
// the repair and answers what the caller does next: Continue (fixed, the reference kept), Drop
// (fixed, the reference goes) or Stop (not fixed). The first fault left unfixed is kept in the
// record, and every later report of the file is refused.
class FaultReporter {
 public:
  explicit FaultReporter(EngineServices services) : services_(services) {}

  WalkOutcome ReportFault(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair);
  // The same report, for a check that goes on in its own way once the fault is fixed: whether it
  // was.
  bool ReportAndFix(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair) {
    return ReportFault(code, offset, field, repair) != WalkOutcome::Stop;
  }

  bool IsErrorLeft() const { return error_.code != kNoError; }
  const ErrorRecord& Error() const { return error_; }
  bool Changed() const { return changed_; }
  // Follow-up changes made by a check after a fixed report, and repairs made outside a report.
  void MarkChanged() { changed_ = true; }
  EngineServices& Services() { return services_; }
  void Watch(FaultWatcher* watcher) { watcher_ = watcher; }
  // While a walk is tried on two cores, a fault is neither logged, asked nor fixed: the report
  // answers "not fixed" at once, so the walk stops, and the walk is then done again in full.
  void Speculate(bool on) {
    speculating_ = on;
    if (on) faultSeen_ = false;
  }
  bool FaultSeen() const { return faultSeen_; }
  // The image of the file, when its file can be cut short under it (a view). Once it has lost a
  // page, a fault found is that read error instead, never asked about: it was found in zeros.
  void WatchImage(const HiveImage* image) { watched_ = image; }
  // Whether the watched image lost pages of its file; the read error is reported when it had
  // and no fault is left yet.
  bool ReportLostImage();

 private:
  bool ApplyFix(uint32_t code, FieldRef field, uint32_t repair);
  void Log(LogMarker marker, std::string_view message) { services_.log.Entry(marker, message); }

  EngineServices services_;
  FaultWatcher* watcher_ = nullptr;
  bool speculating_ = false;
  bool faultSeen_ = false;
  ErrorRecord error_;
  bool changed_ = false;
  const HiveImage* watched_ = nullptr;
};

}  // namespace tarvos::hive
