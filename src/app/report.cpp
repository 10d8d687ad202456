#include "app/report.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "app/json.h"
#include "app/run.h"
#include "hive/bytes.h"
#include "hive/layout.h"
#include "hive/names.h"
#include "platform/file.h"
#include "platform/screen_model.h"

namespace tarvos::app {

namespace {

// The name of a key cell in UTF-8, or nothing when the cell does not lie whole in the image.
bool AppendKeyName(std::string& out, const hive::HiveImage& image, uint32_t key) {
  uint64_t at = uint64_t{hive::kBaseBlockSize} + key;
  if (at + hive::key::kName > image.Size()) return false;
  auto* cell = const_cast<uint8_t*>(image.Buffer() + at);
  uint64_t length = std::min<uint64_t>(hive::SizeFieldLength(hive::Le32(cell)), image.Size() - at);
  std::vector<uint16_t> units = hive::StoredName::OfKey(cell, static_cast<uint32_t>(length)).Units();
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t ch = units[i];
    if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      ch = 0x10000 + ((ch - 0xD800) << 10) + (units[++i] - 0xDC00u);
    }
    platform::AppendUtf8(out, ch);  // a surrogate alone gives its three bytes, which JsonText::Utf16 escapes
  }
  return true;
}

}  // namespace

std::string FaultText(uint32_t code) {
  std::string_view message = hive::ErrorMessage(code);
  if (message.size() >= 2 && message.front() == '<' && message.back() == '>') message = message.substr(1, message.size() - 2);
  return std::string(message);
}

const char* StatusName(HiveStatus status) {
  switch (status) {
    case HiveStatus::NotChecked: return "not checked";
    case HiveStatus::Skipped: return "skipped";
    case HiveStatus::Stopped: return "stopped";
    case HiveStatus::FaultLeft: return "fault left";
    case HiveStatus::NotSaved: return "not saved";
    case HiveStatus::Saved: return "saved";
    case HiveStatus::Clean: return "clean";
  }
  return "";
}

using hive::Counted;

std::string VerdictLine(const std::string& path, const HiveEnd& end, size_t found, size_t fixed) {
  std::string line = path + ": ";
  if (end.status == HiveStatus::Clean && found == 0) return line + "clean";
  if (found > 0) line += Counted(found, "fault") + " found, " + std::to_string(fixed) + " fixed; ";
  switch (end.status) {
    case HiveStatus::Saved:
      line += "saved to ";
      for (size_t i = 0; i < end.written.size(); ++i) line += (i > 0 ? ", " : "") + end.written[i];
      if (!end.backup.empty()) line += " (backup " + end.backup + ")";
      break;
    case HiveStatus::Clean: line += "nothing to save"; break;
    default:
      line += StatusName(end.status);
      if (!end.reason.empty()) line += ": " + end.reason;
      break;
  }
  return line;
}

std::string TotalsLine(const std::vector<size_t>& byStatus, size_t found, size_t fixed) {
  size_t hives = 0;
  std::string parts;
  for (HiveStatus status : {HiveStatus::Clean, HiveStatus::Saved, HiveStatus::NotSaved, HiveStatus::FaultLeft,
                            HiveStatus::Stopped, HiveStatus::NotChecked, HiveStatus::Skipped}) {
    const size_t count = byStatus[static_cast<size_t>(status)];
    hives += count;
    if (count > 0) parts += (parts.empty() ? "" : ", ") + std::to_string(count) + " " + StatusName(status);
  }
  return Counted(hives, "hive") + (parts.empty() ? "" : ": " + parts) + "; " + Counted(found, "fault") + " found, " +
         std::to_string(fixed) + " fixed";
}

bool RunReport::LeavesHiveUnchecked(uint32_t code) { return hive::FaultOf(code).ends == hive::Ends::NotChecked; }

void RunReport::BeginHive(const std::string& given, const std::string& installation) {
  given_ = given;
  installation_ = installation;
  headerRead_ = false;
  events_.clear();
  counts_.reset();
  faults_.clear();
  faultCount_ = 0;
  fixedCount_ = 0;
  image_ = nullptr;
  walk_ = nullptr;
}

void RunReport::Loaded(const hive::HiveImage& image) {
  if (!image.Loaded() || image.Size() < hive::kBaseBlockSize) return;
  const uint8_t* block = image.Buffer();
  headerRead_ = true;
  major_ = hive::Le32(block + hive::base::kMajorVersion);
  minor_ = hive::Le32(block + hive::base::kMinorVersion);
  primary_ = hive::Le32(block + hive::base::kPrimarySequence);
  secondary_ = hive::Le32(block + hive::base::kSecondarySequence);
}

void RunReport::Counted(const hive::KeyWalk& walk, const hive::HiveImage& image) {
  uint64_t values = 0;
  // The keys walked after salvage hang from records of their own (for keys counted already).
  std::vector<const hive::WalkNode*> open{&walk.Root()};
  for (const hive::WalkNode& added : walk.AddedRoots()) open.push_back(&added);
  while (!open.empty()) {
    const hive::WalkNode* node = open.back();
    open.pop_back();
    uint64_t field = uint64_t{hive::kBaseBlockSize} + node->keyOffset + hive::key::kValueCount;
    if (node->kind == hive::WalkNode::kKey && node->checked && field + 4 <= image.Size()) {
      values += hive::Le32(image.Buffer() + field);
    }
    for (uint32_t i = 0; node->children != nullptr && i < node->childCount; ++i) open.push_back(&node->children[i]);
  }
  counts_ = {walk.KeysVisited(), values};
}

std::string RunReport::KeyPathOfFault() const {
  if (walk_ == nullptr || image_ == nullptr || walk_->CurrentNode() == nullptr) return {};
  std::vector<uint32_t> keys;  // from the current key up to the root
  for (const hive::WalkNode* node = walk_->CurrentNode(); node != nullptr; node = node->parent) {
    if (node->kind == hive::WalkNode::kKey && node->keyOffset != hive::kNullOffset) keys.push_back(node->keyOffset);
  }
  if (keys.empty()) return {};
  std::string path;
  // The root key's own name is not part of a path: "\" is the root.
  for (size_t i = keys.size() - 1; i-- > 0;) {
    path += '\\';
    if (!AppendKeyName(path, *image_, keys[i])) path += '?';
  }
  return path.empty() ? "\\" : path;
}

void RunReport::FaultDecided(const hive::ErrorRecord& record, hive::FieldRef field, bool fixed) {
  ReportedFault fault;
  fault.record = record;
  fault.fixed = fixed;
  if (image_ != nullptr && field.Given() && field.kind != hive::FieldRef::Kind::Host32 &&
      field.at >= image_->Buffer() && field.at < image_->Buffer() + image_->Size()) {
    fault.fieldAt = static_cast<uint32_t>(field.at - image_->Buffer());
  }
  ++faultCount_;
  if (fixed) ++fixedCount_;
  // Without a report to write, a fault is counted and shown, not kept: a hive with a fault in
  // every frame has hundreds of thousands.
  if (!writer_) {
    if (onFault) onFault(fault, faultCount_);
    return;
  }
  fault.keyPath = KeyPathOfFault();
  faults_.push_back(std::move(fault));
  if (onFault) onFault(faults_.back(), faultCount_);
}

void RunReport::Write(const std::string& line) {
  if (writer_) writer_(line + "\n");
}

namespace {

// The events of a hive, each in the field its row names.
struct EventFields {
  JsonArray applied, refused, reconnected, lostAndFound, events;
  bool recovered = false;
};

EventFields SortEvents(const std::vector<hive::EventRecord>& records) {
  EventFields fields;
  for (const hive::EventRecord& e : records) {
    auto offset = [](JsonObject& o, const char* key, uint32_t value) -> JsonObject& {
      return value != hive::kNullOffset ? o.Number(key, value) : o.Null(key);
    };
    JsonObject o;
    switch (e.event) {
      case hive::Event::LogApplied: fields.applied.Add(o.Text("name", e.text).Number("count", e.count).Text("unit", e.reason).Close()); break;
      case hive::Event::LogRefused: fields.refused.Add(o.Text("name", e.text).Text("reason", e.reason).Close()); break;
      case hive::Event::Recovered: fields.recovered = true; break;
      case hive::Event::KeyReconnected: fields.reconnected.Add(o.Number("key", e.at).Number("keys", e.count).Number("under", e.other).Close()); break;
      case hive::Event::KeyToLostAndFound: fields.lostAndFound.Add(o.Number("key", e.at).Number("keys", e.count).Close()); break;
      default:
        o.Text("event", hive::EventOf(e.event).name);
        offset(o, "offset", e.at);
        offset(o, "other", e.other);
        offset(o, "under", e.under);
        o.Number("count", e.count).Number("was", e.was);
        e.text.empty() ? o.Null("text") : o.Text("text", e.text);
        fields.events.Add(o.Close());
        break;
    }
  }
  return fields;
}

// The faults of a hive, each with what became of it.
std::string FaultsArray(const std::vector<ReportedFault>& reported, bool saved) {
  JsonArray faults;
  for (const ReportedFault& f : reported) {
    JsonObject fault;
    fault.Number("code", f.record.code).Text("message", FaultText(f.record.code));
    f.record.offset != hive::kNullOffset ? fault.Number("offset", f.record.offset) : fault.Null("offset");
    f.record.value != hive::kNullOffset ? fault.Number("value", f.record.value) : fault.Null("value");
    f.fieldAt != hive::kNullOffset ? fault.Number("field_offset", f.fieldAt) : fault.Null("field_offset");
    f.keyPath.empty() ? fault.Null("key_path") : fault.Text("key_path", f.keyPath, JsonText::Utf16);
    fault.Text("fate", !f.fixed ? "left" : saved ? "repaired" : "repaired in memory");
    faults.Add(fault.Close());
  }
  return faults.Close();
}

// What became of the hive: its status, why, and the files written.
std::string OutcomeObject(const HiveEnd& end) {
  JsonObject outcome;
  outcome.Text("status", StatusName(end.status));
  end.reason.empty() ? outcome.Null("reason") : outcome.Text("reason", end.reason);
  // The names written, and their bytes in hex too when one of them is not UTF-8.
  JsonArray written, writtenHex;
  bool allUtf8 = true;
  for (const std::string& file : end.written) {
    std::string item;
    allUtf8 = AppendJsonString(item, file) && allUtf8;
    written.Add(item);
    writtenHex.Add('"' + HexBytes(file) + '"');
  }
  outcome.Raw("saved_to", written.Close());
  if (!allUtf8) outcome.Raw("saved_to_hex", writtenHex.Close());
  end.backup.empty() ? outcome.Null("backup") : outcome.Text("backup", end.backup);
  return outcome.Close();
}

}  // namespace

void RunReport::EndHive(const HiveEnd& end, std::optional<uint64_t> size) {
  ++hives_;
  ++byStatus_[static_cast<size_t>(end.status)];
  faultTotal_ += faultCount_;
  if (!writer_) return;

  JsonObject hive;
  hive.Text("type", "hive").Number("version", kReportVersion).Text("path", given_);
  std::string resolved = platform::RealPath(given_);
  if (resolved == given_) resolved = platform::FullPath(given_);
  hive.Text("resolved", resolved);
  size ? hive.Number("size", *size) : hive.Null("size");
  installation_.empty() ? hive.Null("installation") : hive.Text("installation", installation_);
  if (headerRead_) {
    hive.Raw("format", JsonObject().Number("major", major_).Number("minor", minor_).Close());
    hive.Raw("sequence", JsonObject().Number("primary", primary_).Number("secondary", secondary_).Close());
  } else {
    hive.Null("format").Null("sequence");
  }
  EventFields e = SortEvents(events_);
  hive.Raw("logs", JsonObject()
                       .Raw("applied", e.applied.Close())
                       .Raw("refused", e.refused.Close())
                       .Bool("recovered", e.recovered)
                       .Close());
  if (counts_) {
    hive.Number("keys", counts_->first).Number("values", counts_->second);
  } else {
    hive.Null("keys").Null("values");
  }
  hive.Number("fault_count", faults_.size()).Raw("faults", FaultsArray(faults_, end.status == HiveStatus::Saved));
  hive.Raw("reconnected", e.reconnected.Close()).Raw("lost_and_found", e.lostAndFound.Close()).Raw("events", e.events.Close());
  hive.Raw("outcome", OutcomeObject(end)).Bool("check_only", checkOnly_).Number("exit", static_cast<uint64_t>(end.exitBits));
  Write(hive.Close());
}

void RunReport::SkippedInput(const std::string& given, const std::string& why) {
  BeginHive(given);
  HiveEnd end;
  end.status = HiveStatus::NotChecked;
  end.reason = why;
  end.exitBits = kExitNotChecked;
  EndHive(end, std::nullopt);
}

void RunReport::Finish(bool stopped, size_t notStarted, int exitCode) {
  if (!writer_) return;
  JsonObject summary;
  summary.Text("type", "summary").Number("version", kReportVersion).Number("hives", hives_);
  for (HiveStatus status : {HiveStatus::Clean, HiveStatus::Saved, HiveStatus::NotSaved, HiveStatus::FaultLeft,
                            HiveStatus::Stopped, HiveStatus::NotChecked, HiveStatus::Skipped}) {
    std::string key = StatusName(status);
    for (char& c : key) c = c == ' ' ? '_' : c;
    summary.Number(key, byStatus_[static_cast<size_t>(status)]);
  }
  summary.Number("faults", faultTotal_).Bool("run_stopped", stopped).Number("not_started", notStarted);
  summary.Bool("check_only", checkOnly_).Number("exit", static_cast<uint64_t>(exitCode));
  Write(summary.Close());
}

}  // namespace tarvos::app
