#include "hive/faults.h"

#include <algorithm>

#include <cstdio>

namespace tarvos::hive {

namespace {

constexpr const char* kMessages[kErrorCodeCount] = {
    "<No Error>",
    "<Input file open error>",
    "<Output file open error>",
    "<Unable to get file info>",
    "<Hive file is too small>",
    "<Size of hive file not aligned>",
    "<File seek error>",
    "<File read error>",
    "<Invalid hive file signature>",
    "<Invalid start offset>",
    "<Invalid size info>",
    "<Broken hive header>",
    "<Invalid hive header CRC>",
    "<Memory allocation error>",
    "<Invalid frame signature>",
    "<Invalid frame offset>",
    "<Invalid frame length>",
    "<Invalid cell size>",
    "<Cell size is too large>",
    "<Invalid offset>",
    "<Data block is not a key cell>",
    "<Suspicious descendent-key pointer list: zero capacity>",
    "<Invalid descendent-key data: parent offset not match>",
    "<Invalid descendent-key list structure: null offset>",
    "<Descendent-key list cell has impossible signature>",
    "<Descendent-key counter does not match real descendent keys>",
    "<Orphan value list: zero counter>",
    "<Erased value list: null offset>",
    "<Invalid value list structure: null offset>",
    "<Invalid value signature>",
    "<Default value already exist>",
    "<Invalid default value attribute: symbolic name present>",
    "<Invalid value structure: zero data field length>",
    "<Invalid value structure: data field length too large>",
    "<Invalid value structure: null data offset>",
    "<Null offset to security block>",
    "<Invalid security block signature>",
    "<Invalid security block structure: null offset to previous or next>",
    "<Cross linked data>",
    "<Using data block marked as unused>",
    "<Security info allocation error>",
    "<Security info reallocation error>",
    "<Binary data overlapped>",
    "<Orphan segmented-value list: zero counter>",
    "<Erased segmented-value list: null offset>",
    "<Invalid segmented-value list structure: null offset>",
    "<Incorrect segmented-value size>",
    "<Incorrect root parent offset>",
    "<Invalid file version>",
    "<Unknown error>",
    "<Invalid key name>",
    "<Invalid value name>",
};

}  // namespace

void FixModeTable::Reset() {
  modes_.fill(kFixAsk);
  for (uint32_t code : {0u, 1u, 3u, 4u, 6u, 7u, 13u, 40u, 41u, 49u}) modes_[code] = kFixNone;
  modes_[kOutputFileOpenError] = kSkipAll;
}

const char* ErrorMessage(uint32_t code) { return kMessages[code < kErrorCodeCount ? code : kUnknownError]; }

std::string FormatError(const ErrorRecord& record) {
  std::string line = ErrorMessage(record.code);
  if (record.offset != kNullOffset) {
    char part[16];
    std::snprintf(part, sizeof part, " - 0x%08X", record.offset);
    line += part;
    if (record.code == kInvalidOffset && record.value != kNullOffset) {
      std::snprintf(part, sizeof part, ":0x%08X", record.value);
      line += part;
    }
  }
  line += "\r\n";
  return line;
}

int FaultReporter::ReportFault(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair) {
  if (speculating_) {
    faultSeen_ = true;
    return 0;
  }
  if (IsErrorLeft()) return 0;
  ErrorRecord record{code, offset, field.Given() ? field.Get() : kNullOffset};
  Log(LogMarker::Error, "Error found: " + FormatError(record));

  bool fix = false;
  switch (services_.fixModes.Get(code)) {
    case kFixAsk: {
      uint32_t answer = services_.decider.AskErrorAction(offset, code);
      if (answer == kAnswerFixAll) {
        services_.fixModes.Set(code, kFixAll);
        Log(LogMarker::Decision, "Entering \"Fix All\" mode for last error\r\n");
        fix = true;
      } else if (answer == kAnswerSkipAll) {
        services_.fixModes.Set(code, kSkipAll);
        Log(LogMarker::Decision, "Entering \"Skip All\" mode for last error\r\n");
      } else {
        fix = answer == kAnswerFix;
      }
      break;
    }
    case kFixAll: fix = true; break;
    default: break;
  }

  if (fix && ApplyFix(code, field, repair)) {
    changed_ = true;
    Log(LogMarker::Decision, "Attempt to fix last error\r\n");
    return 1;
  }
  error_ = record;
  Log(LogMarker::Info, "Checking process cancelled\r\n");
  return 0;
}

bool FaultReporter::ApplyFix(uint32_t code, FieldRef field, uint32_t repair) {
  switch (code) {
    case kSizeNotAligned:
      if (field.Given()) field.Set(field.Get() & kPageMask);
      return true;
    case kInvalidSignature:
      if (!services_.decider.ConfirmSignatureRepair()) return false;
      if (field.Given()) field.Set(base::kSignatureValue);
      return true;
    // The repair value is written as given.
    case kInvalidSizeInfo: case kBrokenHeader: case kInvalidFrameSignature: case kInvalidFrameOffset:
    case kInvalidFrameLength: case kInvalidCellSize: case kCellSizeTooLarge: case kInvalidFileVersion:
    case kInvalidHeaderChecksum: case kParentOffsetMismatch: case kSubkeyCountMismatch:
    case kIncorrectSegmentedSize:
      if (field.Given()) field.Set(repair);
      return true;
    case kOrphanValueList: case kNullSecurityLink: case kIncorrectRootParent:
      if (field.Given()) field.Set(kNullOffset);
      return true;
    case kErasedValueList:
      if (field.Given()) field.Set(0);
      return true;
    case kDefaultValueExists: case kDefaultValueHasName:
      if (field.Given()) field.Set(field.Get() & ~1u);
      return true;
    case kZeroDataLength: case kDataLengthTooLarge:
      if (field.Given()) field.Set((field.Get() & 0x80000000u) | 4u);
      return true;
    case kNullSecurityOffset: case kInvalidSecuritySignature:
      if (field.Given()) field.Set(repair);
      return true;
    // The check that raised these makes the repair itself once it is told "fixed".
    case kInvalidStartOffset: case kInvalidOffset: case kNotAKeyCell: case kZeroCapacityList:
    case kNullOffsetInKeyList: case kImpossibleListSignature: case kNullOffsetInValueList:
    case kInvalidValueSignature: case kNullDataOffset: case kCrossLinkedData: case kDataOverlapped:
    case kOrphanSegmentList: case kErasedSegmentList: case kNullOffsetInSegmentList: case kInvalidKeyName:
    case kInvalidValueName:
      return true;
    default:  // codes below 5, above 48, and 6, 7, 13, 39, 40, 41
      return false;
  }
}

uint32_t PermilleOf(uint32_t part, uint32_t whole) {
  if (whole == 0) return 1000;
  uint32_t r;
  if (part <= 4294967u) {
    r = part * 1000u / whole;
  } else if (part <= 42949672u) {
    r = (part * 100u / whole) * 10u;
  } else {
    uint32_t thousandths = whole / 1000u;
    r = thousandths == 0 ? 1000u : part / thousandths;
  }
  return r > 1000u ? 1000u : r;
}

void PermilleSteps::Restart(uint32_t part, uint32_t whole) {
  whole_ = whole;
  from_ = part;
  value_ = PermilleOf(part, whole);
  // Within each of PermilleOf's three ranges its answer only grows with the part: the next part
  // that may give another is where the quotient steps up, or where the range ends.
  constexpr uint64_t kEnd = uint64_t{1} << 32;
  uint64_t w = whole;
  if (whole == 0 || value_ == 1000) {
    until_ = part <= 4294967u ? 4294968u : part <= 42949672u ? 42949673u : kEnd;
  } else if (part <= 4294967u) {
    uint64_t next = (uint64_t{part} * 1000 / w + 1) * w;  // the next part times 1000 that reaches it
    until_ = std::min<uint64_t>((next + 999) / 1000, 4294968u);
  } else if (part <= 42949672u) {
    uint64_t next = (uint64_t{part} * 100 / w + 1) * w;
    until_ = std::min<uint64_t>((next + 99) / 100, 42949673u);
  } else {
    uint64_t thousandths = w / 1000;  // not 0: the answer would be 1000
    until_ = (part / thousandths + 1) * thousandths;
  }
}

}  // namespace tarvos::hive
