// Saving a repaired hive: over the original after a backup, to the /o file or into the /p folder,
// or onto chosen drives, cut into numbered parts when one removable disk is too small. A target
// is written beside itself first and put in place in one step, so no half-written file ever
// stands under its name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hive/faults.h"
#include "hive/image.h"
#include "platform/file.h"
#include "platform/volumes.h"
#include "save/questions.h"

namespace tarvos::save {

// Where a /o or /p switch points: not given, another place than the input, or the input itself
// (which saves as if the switch were absent).
enum class SwitchTarget : uint8_t { NotGiven, Elsewhere, Input };

// The /o and /p switches.
struct SaveTargets {
  std::string outputName;
  std::string outputFolder;
  SwitchTarget outputGiven = SwitchTarget::NotGiven;
  SwitchTarget folderGiven = SwitchTarget::NotGiven;
  char outputLetter = 'o';  // the switch letter as typed, for "Command line switch /x ignored"
  char folderLetter = 'p';
  // The backups this run has written (full paths): never replaced by a later hive of the run.
  std::vector<std::string> backupsWritten;
};

inline constexpr int64_t kWriteCreateFailed = -1;
inline constexpr int64_t kWriteStopped = -2;

inline constexpr uint8_t kDisksSaved = 1;
inline constexpr uint8_t kDisksCancelled = 0;
inline constexpr uint8_t kDisksTooSmall = 0xFD;
inline constexpr uint8_t kDisksNoMemory = 0xFE;
inline constexpr uint8_t kDisksCreateFailed = 0xFF;

// What a hive file is written as. Disk: a file of disk mode, whose write fills the whole gauge.
// Target: the hive saved in place or to the /o or /p target, whose write fills the second half of
// the gauge (the backup took the first) and takes the original's write time.
enum class WriteMode : uint8_t { Disk, Target };

inline constexpr uint32_t kChunk = 0x40000;           // 256 KiB
inline constexpr uint32_t kRemovableChunk = 0x20000;  // 128 KiB
inline constexpr uint64_t kMinimumPart = 1024;
inline constexpr const char* kJoinBatchName = "REDIVIV.IRE";

// What became of a changed hive: the files written whole (the hive, or each part of it), the
// backup of the original, and why the save did not end with the hive written, if it did not.
struct SaveOutcome {
  std::vector<std::string> written;
  std::string backup;
  std::string notSaved;
  bool Saved() const { return !written.empty() && notSaved.empty(); }
};

class HiveSaver {
 public:
  // original: the hive file as found at the start of its processing (none when it was not found).
  HiveSaver(hive::HiveImage& image, hive::FaultReporter& faults, SaveQuestions& questions, SaveTargets& targets,
            std::optional<platform::FileInfo> original)
      : image_(image), faults_(faults), questions_(questions), targets_(targets), original_(std::move(original)) {}

  // Saves the changed hive; when the /o or /p target fails, says so and saves once more as if
  // that switch were absent. Always 1.
  int SaveWithFallback(const std::string& name);
  // One save with the targets as they stand: 1 when the save ended (saved, cancelled, handed to
  // disk mode); 0 when the /o or /p target failed.
  int SaveOnce(const std::string& name);
  // A copy of the hive beside it, under its backup name or, when this run already wrote a backup
  // of that name, the first free one of name1, name2, ...; false when none could be made,
  // the backup name being the hive's own name included.
  bool MakeBackup(const std::string& name);
  bool EnsureOutputFolder(std::string folder);
  // Image bytes start .. start + count - 1 to target: count, kWriteCreateFailed or kWriteStopped.
  // The save in place releases the image once it is written, before the original is replaced.
  int64_t WriteHiveFile(const std::string& target, uint32_t count, uint32_t start, WriteMode mode, bool removable);
  uint8_t SaveToDisks(const platform::Drive& drive, const std::string& hivePath);

  // The next part number (after 999 comes 1) and the name with its extension.
  static uint32_t NextPartName(std::string& name, uint32_t part);
  // The backup of a hive: ".BAK", or ".bak" when the name on disk holds lower case.
  static std::string BackupName(const std::string& name, const std::string& nameOnDisk);

  const SaveOutcome& Outcome() const { return outcome_; }

 private:
  int64_t WriteFailed(const std::string& target, const std::string& reason = {});
  // The in-place save of a hive, with its backup. toDisks: no backup of the hive as it was loaded
  // could be made (the box has been shown), and disk mode takes over.
  int OverwriteInPlace(const std::string& name, bool& toDisks);
  // Whether the file at path is still the one that was loaded; reason says why not.
  bool StillAsLoaded(const std::string& path, std::string& reason) const;
  std::string FreeBackupName(const std::string& backup) const;
  // Writes a new file beside target with the given bytes and puts it in place.
  bool CopyToBackup(const std::string& from, const std::string& backup, std::string& reason);
  void Log(hive::LogMarker marker, const std::string& text) { faults_.Services().log.Entry(marker, text); }
  bool Poll(uint32_t offset) { return faults_.Services().progress.PollProgress(offset); }
  void SaveOnDisks(const std::string& name);
  // Image bytes start .. start + count - 1 to file, a chunk at a time: count, or kWriteStopped or
  // kWriteCreateFailed.
  int64_t WriteChunks(platform::File& file, uint32_t count, uint32_t start, WriteMode mode, bool removable);
  // A write that failed: kWriteStopped when the file under the image lost a page, else
  // kWriteCreateFailed.
  int64_t WhyWriteFailed(const uint8_t* from, uint32_t length);
  // The save's gauge at byte reached of a hive of size bytes.
  void MoveGauge(uint32_t reached, uint32_t size, WriteMode mode);
  // Gives the new file the looks of the one it replaces (existing: the target there, if any).
  void MatchReplacedFile(platform::File& file, bool inPlace, const platform::FileInfo* existing, WriteMode mode);
  // Waits for a disk in a removable drive; false when the user cancels.
  bool WaitForDisk(const platform::Drive& drive);
  // No room on the drive: disk mode ends on a fixed drive, or when the user cancels the question
  // for another disk (variant: as AskInsertDisk's); nothing when another disk was put in.
  std::optional<uint8_t> NoRoom(const platform::Drive& drive, uint32_t variant);
  uint8_t TooSmall(const platform::Drive& drive);
  // The last part of the hive (or the whole of it) onto the drive, and the batch file that joins
  // the parts when there were more.
  uint8_t SaveLastPart(const platform::Drive& drive, const std::string& root, const std::string& target,
                       const std::string& hivePath, uint32_t count, uint32_t start, uint32_t part);
  void WriteJoinBatch(const std::string& root, const std::string& hiveName, uint32_t lastPart);

  hive::HiveImage& image_;
  hive::FaultReporter& faults_;
  SaveQuestions& questions_;
  SaveTargets& targets_;
  std::optional<platform::FileInfo> original_;
  std::string inPlaceName_;  // the hive's own name while it is overwritten in place
  std::string backupFailure_;  // why the last backup could not be made
  bool backupStopped_ = false;  // the user ended the run while the backup was being copied
  SaveOutcome outcome_;
};

}  // namespace tarvos::save
