#include "hive/faults.h"

#include "hive/image.h"

#include <algorithm>

#include <cstdio>

namespace tarvos::hive {

void FixModeTable::Reset() {
  for (uint32_t code = 0; code < kErrorCodeCount; ++code) modes_[code] = kFaultTable[code].startMode;
}

const char* ErrorMessage(uint32_t code) { return FaultOf(code).message; }

std::string FormatError(const ErrorRecord& record) {
  std::string line = ErrorMessage(record.code);
  if (record.offset != kNullOffset) {
    char part[16];
    std::snprintf(part, sizeof part, " - 0x%08X", record.offset);
    line += part;
    if (FaultOf(record.code).shows == Shows::Value && record.value != kNullOffset) {
      std::snprintf(part, sizeof part, ":0x%08X", record.value);
      line += part;
    }
  }
  line += "\r\n";
  return line;
}

WalkOutcome FaultReporter::ReportFault(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair) {
  if (speculating_) {
    faultSeen_ = true;
    return WalkOutcome::Stop;
  }
  if (IsErrorLeft()) return WalkOutcome::Stop;
  if (watched_ != nullptr && watched_->Lost()) {
    code = kFileReadError;
    offset = watched_->LostAt();
    field = FieldRef::None();
  }
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

  const bool fixed = fix && ApplyFix(code, field, repair);
  if (watcher_ != nullptr) watcher_->FaultDecided(record, field, fixed);
  if (fixed) {
    changed_ = true;
    Log(LogMarker::Decision, "Attempt to fix last error\r\n");
    return FaultOf(code).after == After::Keep ? WalkOutcome::Continue : WalkOutcome::Drop;
  }
  error_ = record;
  Log(LogMarker::Info, "Checking process cancelled\r\n");
  return WalkOutcome::Stop;
}

bool FaultReporter::ReportLostImage() {
  if (watched_ == nullptr || !watched_->Lost()) return false;
  if (!IsErrorLeft()) ReportFault(kFileReadError, watched_->LostAt(), FieldRef::None(), 0);
  return true;
}

bool FaultReporter::ApplyFix(uint32_t code, FieldRef field, uint32_t repair) {
  Repair how = code < kErrorCodeCount ? kFaultTable[code].repair : Repair::Never;
  if (how == Repair::Signature && !services_.decider.ConfirmSignatureRepair()) return false;
  if (how == Repair::Never || how == Repair::Caller || !field.Given()) return how != Repair::Never;
  switch (how) {
    case Repair::Value: field.Set(repair); break;
    case Repair::Null: field.Set(kNullOffset); break;
    case Repair::Zero: field.Set(0); break;
    case Repair::Signature: field.Set(base::kSignatureValue); break;
    case Repair::ClearBit0: field.Set(field.Get() & ~1u); break;
    case Repair::DataLength: field.Set((field.Get() & 0x80000000u) | 4u); break;
    default: break;
  }
  return true;
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
