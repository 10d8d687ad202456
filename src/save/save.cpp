#include "save/save.h"

#include <cstdio>

#include "save/names.h"

namespace tarvos::save {

using hive::LogMarker;

namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }

bool Exists(const std::string& path, platform::FileInfo* info = nullptr) {
  platform::FileInfo found;
  bool exists = platform::LookUp(path, found);
  if (exists && info != nullptr) *info = found;
  return exists;
}

// The folder part of a full path, without its last separator.
std::string FolderOf(const std::string& fullPath) {
  size_t index = FileNameIndex(fullPath);
  return fullPath.substr(0, index > 0 ? index - 1 : 0);
}

}  // namespace

std::string HiveSaver::BackupName(const std::string& name, const std::string& nameOnDisk) {
  return ReplaceExtension(name, HasLowerCase(nameOnDisk) ? ".bak" : ".BAK");
}

uint32_t HiveSaver::NextPartName(std::string& name, uint32_t part) {
  uint32_t next = part + 1 > 999 ? 1 : part + 1;
  char extension[8];
  std::snprintf(extension, sizeof extension, ".%03u", next);
  name = ReplaceExtension(name, extension);
  return next;
}

namespace {
constexpr const char* kCancelled = "save cancelled";
}  // namespace

int HiveSaver::SaveWithFallback(const std::string& name) {
  if (SaveOnce(name) == 1) return 1;
  SwitchTarget* marker = targets_.outputGiven == SwitchTarget::Elsewhere   ? &targets_.outputGiven
                         : targets_.folderGiven == SwitchTarget::Elsewhere ? &targets_.folderGiven
                                                                           : nullptr;
  if (marker != nullptr) {
    *marker = SwitchTarget::NotGiven;
    questions_.ShowInformation(kSavingFailed,
                               static_cast<uint8_t>(marker == &targets_.outputGiven ? targets_.outputLetter
                                                                                    : targets_.folderLetter));
    const std::string failed = outcome_.notSaved;
    SaveOnce(name);
    *marker = SwitchTarget::Elsewhere;
    // Nothing saved the second time either: the first failure is what the run reports.
    if (!outcome_.Saved() && outcome_.notSaved == kCancelled && !failed.empty()) outcome_.notSaved = failed;
  }
  return 1;
}

int HiveSaver::SaveOnce(const std::string& name) {
  if (targets_.outputGiven != SwitchTarget::NotGiven) {
    targets_.outputGiven = platform::SamePath(targets_.outputName, name) ? SwitchTarget::Input : SwitchTarget::Elsewhere;
  }
  if (targets_.folderGiven != SwitchTarget::NotGiven) {
    std::string inputFolder = FolderOf(platform::FullPath(name));
    targets_.folderGiven =
        platform::SamePath(targets_.outputFolder, inputFolder) ? SwitchTarget::Input : SwitchTarget::Elsewhere;
  }
  outcome_.notSaved.clear();  // of this attempt: an earlier one may have failed
  uint32_t answer = questions_.AskSaveMode();
  if (answer != kAnswerOverwrite && answer != kAnswerDisk) {  // cancelled: nothing is written
    outcome_.notSaved = kCancelled;
    return 1;
  }

  bool disk = answer == kAnswerDisk;
  if (!disk && (targets_.outputGiven == SwitchTarget::Elsewhere || targets_.folderGiven == SwitchTarget::Elsewhere)) {
    std::string target = targets_.outputGiven == SwitchTarget::Elsewhere ? targets_.outputName : name;
    if (targets_.folderGiven == SwitchTarget::Elsewhere) {
      if (!EnsureOutputFolder(targets_.outputFolder)) {
        outcome_.notSaved = "saving failed: the output folder cannot be created";
        return 0;
      }
      std::string folder = targets_.outputFolder;
      if (!folder.empty() && platform::IsPathSeparator(folder.back()) && folder.size() > 1) folder.pop_back();
      target = folder + platform::PathSeparator() + FileNamePart(target);
    }
    return WriteHiveFile(target, image_.Size(), 0, WriteMode::Target, false) == kWriteCreateFailed ? 0 : 1;
  }
  if (!disk) {
    int result = OverwriteInPlace(name, disk);
    if (!disk) return result;
  }
  SaveOnDisks(name);
  return 1;
}

int HiveSaver::OverwriteInPlace(const std::string& name, bool& toDisks) {
  Log(LogMarker::Info, "Overwrite mode selected\r\n");
  // A hive named through a link is saved where the link leads; the link stays.
  std::string hive = platform::RealPath(name);
  // Held from before the backup until the new hive is in place, so that two runs never mix their
  // work. The backup is a copy of the hive as it was loaded: when the file is gone, was replaced
  // or changed since, or another run holds it, no such copy can be made. The file there then
  // stays as it is, and the repaired hive can still be written elsewhere in disk mode.
  platform::FileLock lock;
  std::string reason, changed;
  bool held = lock.Lock(hive, reason);
  if (!StillAsLoaded(hive, changed)) {
    held = false;
    reason = changed;
  }
  if (!held) Log(LogMarker::Error, "Reason: " + reason + "\r\n");
  bool backedUp = held && MakeBackup(hive);
  if (backupStopped_) {  // the run is being ended: nothing more is written
    outcome_.notSaved = "stopped";
    return 1;
  }
  if (!backedUp) {
    lock.Unlock();
    Log(LogMarker::Error, "Backup failed\r\n");
    outcome_.notSaved = "backup failed: " + (held ? backupFailure_ : reason);
    questions_.ShowInformation(kBackupImpossible, 0);
    toDisks = true;
    return 1;
  }
  inPlaceName_ = hive;
  int64_t written = WriteHiveFile(hive, image_.Size(), 0, WriteMode::Target, false);
  inPlaceName_.clear();
  return written == kWriteCreateFailed ? 0 : 1;
}

bool HiveSaver::StillAsLoaded(const std::string& path, std::string& reason) const {
  platform::FileInfo now;
  bool found = platform::LookUp(path, now);
  if (original_ && found && platform::SameFileUnchanged(*original_, now)) return true;
  reason = found ? "the hive file changed after it was loaded" : "the hive file was removed after it was loaded";
  return false;
}

void HiveSaver::SaveOnDisks(const std::string& name) {
  for (;;) {
    std::vector<platform::Drive> drives = platform::ListDrives();
    if (drives.empty()) {  // nothing to choose from: disk mode ends
      if (outcome_.notSaved.empty()) outcome_.notSaved = "saving failed: no drive for disk mode";
      return;
    }
    size_t chosen = 0;
    // Disk mode cancelled after a backup or save that failed: that failure is what is reported.
    if (questions_.AskDriveLetter(drives, chosen) != kAnswerChosen || chosen >= drives.size()) {
      if (outcome_.notSaved.empty()) outcome_.notSaved = kCancelled;
      return;
    }
    Log(LogMarker::Info, "Disk mode selected: " + drives[chosen].root + "\r\n");
    const std::string before = outcome_.notSaved;
    outcome_.notSaved.clear();
    uint8_t result = SaveToDisks(drives[chosen], name);
    if (result == kDisksSaved) return;
    if (result == kDisksCancelled) {
      outcome_.notSaved = before.empty() ? kCancelled : before;
    } else if (result == kDisksTooSmall) {
      outcome_.notSaved = "saving failed: not enough space";
    } else if (outcome_.notSaved.empty()) {
      outcome_.notSaved = "saving failed";  // the write said why, when it could
    }
  }
}

std::string HiveSaver::FreeBackupName(const std::string& backup) const {
  auto written = [&](const std::string& candidate) {
    std::string full = platform::FullPath(candidate);
    for (const std::string& done : targets_.backupsWritten) {
      if (platform::SamePath(done, full)) return true;
    }
    return false;
  };
  if (!written(backup)) return backup;
  for (uint32_t n = 1;; ++n) {
    std::string candidate = backup + Decimal(n);
    if (!written(candidate) && !Exists(candidate)) return candidate;
  }
}

bool HiveSaver::MakeBackup(const std::string& name) {
  platform::FileInfo found;
  std::string onDisk = platform::LookUp(name, found) ? found.name : FileNamePart(name);
  std::string backup = FreeBackupName(BackupName(name, onDisk));
  Log(LogMarker::Info, "Backing up original file with name " + backup + "...\r\n");
  std::string reason;
  if (platform::SamePath(backup, name)) {
    reason = "the backup name is the hive's own name";
  } else {
    platform::FileInfo existing;
    if (Exists(backup, &existing) && (existing.attributes & platform::kAttrReadOnly)) {
      platform::SetAttributes(backup, existing.attributes & ~platform::kAttrReadOnly);
    }
    if (CopyToBackup(name, backup, reason)) {
      targets_.backupsWritten.push_back(platform::FullPath(backup));
      faults_.Services().progress.SetGauge(500);
      Log(LogMarker::Decision, "Backup created\r\n");
      outcome_.backup = backup;
      return true;
    }
  }
  if (!backupStopped_) Log(LogMarker::Error, "Reason: " + reason + "\r\n");
  backupFailure_ = reason;
  return false;
}

bool HiveSaver::CopyToBackup(const std::string& from, const std::string& backup, std::string& reason) {
  platform::File in;
  platform::FileInfo like;
  if (!in.OpenRead(from) || !platform::LookUp(from, like)) {
    reason = in.Failure().empty() ? "the hive cannot be read" : in.Failure();
    return false;
  }
  // Written beside the backup name and put in place whole: an older backup is replaced only by a
  // complete copy, and a name planted there (a link) is never written through.
  platform::File out;
  std::string temporary;
  if (!out.CreateBeside(backup, temporary)) {
    reason = out.Failure();
    return false;
  }
  std::vector<char> buffer(1 << 20);
  bool copied = true;
  uint64_t done = 0;
  for (;;) {
    size_t got = 0;
    copied = in.Read(buffer.data(), buffer.size(), got);
    if (!copied || got == 0) break;
    copied = out.Write(buffer.data(), got);
    if (!copied) break;
    // The copy is the first half of the save's gauge; keys are answered after every chunk.
    done += got;
    faults_.Services().progress.SetGauge(static_cast<uint32_t>(like.size > 0 ? done * 500 / like.size : 0));
    if (!Poll(static_cast<uint32_t>(done))) {
      backupStopped_ = true;
      copied = false;
      break;
    }
  }
  // A copy keeps what a copy by the system keeps: permissions, owner, attributes and times.
  copied = copied && out.TakePermissions(like, true) && out.SetAttributes(like.attributes) && out.SetTimes(like) &&
           out.Flush();
  out.Close();
  if (copied && platform::PutInPlace(temporary, backup)) return true;
  platform::RemoveFile(temporary);
  reason = out.Failure().empty() ? "the copy could not be written" : out.Failure();
  return false;
}

bool HiveSaver::EnsureOutputFolder(std::string folder) {
  if (folder.size() > 1 && platform::IsPathSeparator(folder.back())) folder.pop_back();
  if (Exists(folder)) return true;
  Log(LogMarker::Info, "Creating output folder with name " + folder + "...\r\n");
  if (platform::CreateFolder(folder)) {
    Log(LogMarker::Decision, "Output folder created\r\n");
    return true;
  }
  Log(LogMarker::Error, "Output folder failed\r\n");
  return false;
}

int64_t HiveSaver::WriteFailed(const std::string& target, const std::string& reason) {
  outcome_.notSaved = "saving failed: " + target + (reason.empty() ? "" : " (" + reason + ")");
  faults_.ReportFault(hive::kOutputFileOpenError, hive::kNullOffset, hive::FieldRef::None(), 0);
  Log(LogMarker::Error, "Saving file " + target + " failed\r\n");
  if (!reason.empty()) Log(LogMarker::Error, "Reason: " + reason + "\r\n");
  return kWriteCreateFailed;
}

int64_t HiveSaver::WriteHiveFile(const std::string& target, uint32_t count, uint32_t start, WriteMode mode,
                                 bool removable) {
  if (!Poll(start)) {
    outcome_.notSaved = "stopped";
    return kWriteStopped;
  }
  Log(LogMarker::Info, "Saving file " + target + "...\r\n");

  platform::FileInfo existing;
  bool targetExists = Exists(target, &existing);
  bool inPlace = !inPlaceName_.empty();
  // The original may be replaced only when it can be written; any other target of that name is
  // replaced whatever its read-only bit, as it takes the original's attributes without it.
  if (targetExists && (existing.attributes & platform::kAttrDirectory)) return WriteFailed(target, "it is a folder");
  if (targetExists && inPlace && (existing.attributes & platform::kAttrReadOnly)) {
    return WriteFailed(target, "the hive file is read-only");
  }

  // Written beside the target first, under a name of its own: a write that does not finish
  // leaves the target as it was, and no other file is ever written through.
  std::string temporary;
  platform::File file;
  if (!file.CreateBeside(target, temporary)) return WriteFailed(target, file.Failure());
  auto giveUp = [&](int64_t result, const std::string& reason) {
    file.Close();
    platform::RemoveFile(temporary);
    return result == kWriteCreateFailed ? WriteFailed(target, reason) : result;
  };
  const uint32_t size = image_.Size();
  // The system's reason where it gave one ("no space left on the disk").
  auto why = [&file] { return file.Failure().empty() ? std::string("the file could not be written") : file.Failure(); };
  int64_t chunks = WriteChunks(file, count, start, mode, removable);
  if (chunks == kWriteStopped) return giveUp(kWriteStopped, {});
  if (chunks == kWriteCreateFailed) return giveUp(kWriteCreateFailed, why());
  MatchReplacedFile(file, inPlace, targetExists ? &existing : nullptr, mode);
  if (!file.Flush()) return giveUp(kWriteCreateFailed, why());
  file.Close();
  // Written whole: the image of a hive saved in place is let go before its original is looked at
  // the last time, as a view of the original keeps it from being replaced (Windows refuses to
  // while the file is mapped). Nothing reads the image after this; whether the file lost a page
  // while it was written out is still known.
  if (inPlace) image_.Release();
  // The last moment before the original goes: if another program changed or replaced it since
  // it was loaded, its work is kept and this save fails.
  std::string reason;
  if (inPlace && !StillAsLoaded(target, reason)) return giveUp(kWriteCreateFailed, reason);
  // A mapped file cut short while it was written out: the copy is not the hive, and the run
  // reports the read error instead.
  if (image_.Lost()) return giveUp(kWriteStopped, {});
  if (targetExists && !inPlace && (existing.attributes & platform::kAttrReadOnly)) {
    platform::SetAttributes(target, existing.attributes & ~platform::kAttrReadOnly);  // so it can be replaced
  }
  if (!platform::PutInPlace(temporary, target)) return giveUp(kWriteCreateFailed, "the file could not be put in place");
  Log(LogMarker::Decision, "File saved, size " + Decimal(count) + "\r\n");
  outcome_.written.push_back(target);
  if (!Poll(start + count)) return kWriteStopped;
  MoveGauge(start + count, size, mode);
  return count;
}

int64_t HiveSaver::WriteChunks(platform::File& file, uint32_t count, uint32_t start, WriteMode mode, bool removable) {
  const uint32_t chunk = removable ? kRemovableChunk : kChunk;
  const uint32_t size = image_.Size();
  uint32_t chunks = count / chunk;
  for (uint32_t i = 0; i < chunks; ++i) {
    const uint8_t* from = image_.Buffer() + start + uint64_t{i} * chunk;
    if (!file.Write(from, chunk)) return WhyWriteFailed(from, chunk);
    uint32_t reached = start + (i + 1) * chunk;
    if (!Poll(reached)) {
      outcome_.notSaved = "stopped";
      return kWriteStopped;
    }
    MoveGauge(reached, size, mode);
  }
  uint32_t tail = count - chunks * chunk;
  const uint8_t* last = image_.Buffer() + start + uint64_t{chunks} * chunk;
  if (tail > 0 && !file.Write(last, tail)) return WhyWriteFailed(last, tail);
  return count;
}

// A write from a view fails where its file lost a page under it: the system meets the loss in
// its own copy, where no zeros are put in its place. The chunk's pages are read here to tell
// that from a write that failed: a page lost is the read error the run reports, not a save
// that failed.
int64_t HiveSaver::WhyWriteFailed(const uint8_t* from, uint32_t length) {
  if (image_.Mapped()) {
    volatile uint8_t sink = 0;
    for (uint32_t at = 0; at < length; at += hive::kPageSize) sink = sink ^ from[at];
    sink = sink ^ from[length - 1];
  }
  return image_.Lost() ? kWriteStopped : kWriteCreateFailed;
}

void HiveSaver::MoveGauge(uint32_t reached, uint32_t size, WriteMode mode) {
  const uint32_t half = mode == WriteMode::Target ? 1 : 0;
  uint32_t share = hive::PermilleOf(size - reached, size);
  faults_.Services().progress.SetGauge((1000 - share) / (half + 1) + half * 500);
}

// The new file looks as the one it replaces: the original in place keeps its permissions,
// owner, attributes and times; another target keeps its own permissions and takes the
// original's attributes; a new one is no more open than the original. Neither of the last two
// is ever read-only, whatever the bits it took.
void HiveSaver::MatchReplacedFile(platform::File& file, bool inPlace, const platform::FileInfo* existing,
                                  WriteMode mode) {
  if (inPlace && original_) {
    file.TakePermissions(*original_, true);
    file.SetAttributes(original_->attributes);
    file.SetTimes(*original_);
    return;
  }
  if (existing != nullptr) {
    file.TakePermissions(*existing, true, true);
  } else if (original_) {
    file.TakePermissions(*original_, false, true);
  }
  if (existing != nullptr && original_) file.SetAttributes(original_->attributes & ~platform::kAttrReadOnly);
  if (mode == WriteMode::Target && original_) file.SetWriteTime(original_->writeTime);
}

bool HiveSaver::WaitForDisk(const platform::Drive& drive) {
  int media = platform::CheckMedia(drive);
  while (media == 0) {
    if (questions_.AskInsertDisk(drive.letter, 0) == kAnswerCancel) return false;
    media = platform::CheckMedia(drive);
  }
  return true;
}

uint8_t HiveSaver::TooSmall(const platform::Drive& drive) {
  questions_.ShowInformation(kNotEnoughSpace, static_cast<uint8_t>(drive.letter));
  return kDisksTooSmall;
}

std::optional<uint8_t> HiveSaver::NoRoom(const platform::Drive& drive, uint32_t variant) {
  if (!drive.removable) return TooSmall(drive);
  if (questions_.AskInsertDisk(drive.letter, variant) == kAnswerCancel) return kDisksCancelled;
  return std::nullopt;
}

uint8_t HiveSaver::SaveToDisks(const platform::Drive& drive, const std::string& hivePath) {
  std::string root = drive.root;
  if (!root.empty() && !platform::IsPathSeparator(root.back())) root += platform::PathSeparator();
  std::string target = root + FileNamePart(hivePath);
  uint32_t written = 0;
  uint32_t remaining = image_.Size();
  uint32_t part = 0;
  for (;;) {
    if (drive.removable && !WaitForDisk(drive)) return kDisksCancelled;
    uint64_t free = 0;
    if (!platform::FreeSpace(drive, free)) {
      if (std::optional<uint8_t> end = NoRoom(drive, 0)) return *end;
      continue;
    }
    platform::FileInfo existing;
    uint64_t available = free + (Exists(target, &existing) ? existing.size : 0);  // it will be replaced
    if (available < kMinimumPart) {
      if (std::optional<uint8_t> end = NoRoom(drive, 2)) return *end;
      continue;
    }
    if (remaining <= available) return SaveLastPart(drive, root, target, hivePath, remaining, written, part);
    if (!drive.removable) return TooSmall(drive);
    if (part == 0) target = ReplaceExtension(target, ".000");
    auto count = static_cast<uint32_t>(available);
    int64_t result = WriteHiveFile(target, count, written, WriteMode::Disk, true);
    if (result == kWriteStopped) return kDisksSaved;  // the run is being ended
    if (result == kWriteCreateFailed) return kDisksCreateFailed;
    remaining -= count;
    written += count;
    part = NextPartName(target, part);
    if (questions_.AskInsertDisk(drive.letter, 1) == kAnswerCancel) return kDisksCancelled;
  }
}

uint8_t HiveSaver::SaveLastPart(const platform::Drive& drive, const std::string& root, const std::string& target,
                                const std::string& hivePath, uint32_t count, uint32_t start, uint32_t part) {
  int64_t result = WriteHiveFile(target, count, start, WriteMode::Disk, drive.removable);
  if (result == kWriteCreateFailed) return kDisksCreateFailed;
  if (result != kWriteStopped && part != 0) {
    WriteJoinBatch(root, FileNamePart(hivePath), part);
    questions_.ShowInformation(kPartsSaved, part + 1);
  }
  return kDisksSaved;
}

// The parts joined in order give back the hive: a batch file on the last volume does it.
void HiveSaver::WriteJoinBatch(const std::string& root, const std::string& hiveName, uint32_t lastPart) {
  std::string batch = root + kJoinBatchName;
  Log(LogMarker::Info, "Saving batch file " + batch + "...\r\n");
  std::string partName = ReplaceExtension(hiveName, ".000");
  std::string sources = partName;
  for (uint32_t p = 0, number = 0; p < lastPart; ++p) {
    number = NextPartName(partName, number);
    sources += "+" + partName;
  }
  std::string text = "@echo off\r\ncopy /b " + sources + " " + hiveName + "\r\n";
  platform::File file;
  std::string temporary;
  if (!file.CreateBeside(batch, temporary)) return;
  bool batchWritten = file.Write(text.data(), text.size()) && file.Flush();
  file.Close();
  if (batchWritten && platform::PutInPlace(temporary, batch)) {
    Log(LogMarker::Decision, "Batch file saved\r\n");
  } else {
    platform::RemoveFile(temporary);
  }
}

}  // namespace tarvos::save
