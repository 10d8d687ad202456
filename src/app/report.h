// The report of a run for programs to read: JSON Lines, one object per hive file written as its
// processing ends (so a stopped run keeps what it finished), and one that sums the run up. It is
// kept beside the log and fed by the same records: each fault as the reporter decides it, and the
// log's entries on transaction logs and keys brought back. It also tallies each hive's faults for
// the run's own use (the exit code, the check-only line), whether a report is written or not.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hive/events.h"
#include "hive/faults.h"
#include "hive/image.h"
#include "hive/walk.h"

namespace tarvos::app {

inline constexpr uint64_t kReportVersion = 1;

// One fault as the reporter decided it.
struct ReportedFault {
  hive::ErrorRecord record;
  uint32_t fieldAt = hive::kNullOffset;  // file offset of the faulty field, when it lies in the image
  bool fixed = false;
  std::string keyPath;  // UTF-8; a surrogate alone as its three bytes (see JsonText::Utf16); empty: none
};

// How a hive's processing ended, most telling first.
enum class HiveStatus : uint8_t {
  NotChecked,  // it could not be read or checked whole (cannot be opened, too small, no memory)
  Skipped,     // a transaction log named as a hive
  Stopped,     // the user stopped the run during it
  FaultLeft,   // a fault was not fixed, and the check ended there
  NotSaved,    // repaired in memory only: check only, or the save was cancelled or failed
  Saved,       // repaired and written
  Clean,       // no fault, nothing to write
};
const char* StatusName(HiveStatus status);
// The line that ends a run for each hive: its path, and what became of it ("clean"; "3 faults
// found, 3 fixed; saved to X (backup Y)"; "not checked: no such file").
struct HiveEnd;
std::string VerdictLine(const std::string& path, const HiveEnd& end, size_t found, size_t fixed);
// The last line: how many hives came to what, and the faults of them all.
std::string TotalsLine(const std::vector<size_t>& byStatus, size_t found, size_t fixed);
// A fault's catalogue message without its angle brackets.
std::string FaultText(uint32_t code);

struct HiveEnd {
  HiveStatus status = HiveStatus::Clean;
  std::string reason;                // why it was not checked, saved or finished
  std::vector<std::string> written;  // the files written
  std::string backup;
  int exitBits = 0;
};

class RunReport final : public hive::FaultWatcher {
 public:
  using Writer = std::function<bool(std::string_view)>;
  // A report is written only with a writer, which takes one line at a time.
  void SetWriter(Writer writer) { writer_ = std::move(writer); }
  bool Writing() const { return static_cast<bool>(writer_); }
  void SetCheckOnly(bool checkOnly) { checkOnly_ = checkOnly; }
  // Told of each fault as it is decided (the progress screen shows them in check-only runs).
  std::function<void(const ReportedFault&, size_t count)> onFault;

  // A hive file is started: what is kept of the last one is dropped. installation: where a hive
  // found without being named belongs (empty: named, or nowhere known).
  void BeginHive(const std::string& given, const std::string& installation = {});
  // Its base block as read from the disk, before any log was applied.
  void Loaded(const hive::HiveImage& image);
  // The walk whose current key names a fault's key path; null outside the walk.
  void WatchWalk(const hive::HiveImage* image, const hive::KeyWalk* walk) {
    image_ = image;
    walk_ = walk;
  }
  void FaultDecided(const hive::ErrorRecord& record, hive::FieldRef field, bool fixed) override;
  // An event of the hive: a transaction log applied or refused, keys or values brought back, a
  // security block set right, a page put back.
  void Happened(const hive::EventRecord& event) { events_.push_back(event); }
  // Keys and values of the walked tree, once the walk went through it whole: the keys the walk
  // kept, and each key's value count as the walk left it.
  void Counted(const hive::KeyWalk& walk, const hive::HiveImage& image);

  // How many faults the hive being processed had; each is kept only while a report is written.
  size_t FaultCount() const { return faultCount_; }
  size_t FixedCount() const { return fixedCount_; }
  // Whether the fault left is one that kept the hive from being read or checked whole.
  static bool LeavesHiveUnchecked(uint32_t code);

  // Writes the hive's object and adds it to the run's sums. size: the file's, when it was found.
  void EndHive(const HiveEnd& end, std::optional<uint64_t> size);
  // A name of the command line that named nothing to check.
  void SkippedInput(const std::string& given, const std::string& why);
  // The last object: the sums of the run, whether it was stopped, and its exit code.
  void Finish(bool stopped, size_t notStarted, int exitCode);

 private:
  std::string KeyPathOfFault() const;
  void Write(const std::string& line);

  Writer writer_;
  bool checkOnly_ = false;
  const hive::HiveImage* image_ = nullptr;
  const hive::KeyWalk* walk_ = nullptr;
  // The hive being processed.
  std::string given_;
  std::string installation_;
  bool headerRead_ = false;
  uint32_t major_ = 0, minor_ = 0, primary_ = 0, secondary_ = 0;
  std::vector<hive::EventRecord> events_;
  std::optional<std::pair<uint64_t, uint64_t>> counts_;
  std::vector<ReportedFault> faults_;
  size_t faultCount_ = 0;
  size_t fixedCount_ = 0;
  // The run's sums.
  uint64_t hives_ = 0;
  uint64_t byStatus_[static_cast<size_t>(HiveStatus::Clean) + 1] = {};
  uint64_t faultTotal_ = 0;
};

}  // namespace tarvos::app
