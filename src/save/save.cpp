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

int HiveSaver::SaveChangedHive(const std::string& name) {
  if (SaveHive(name) == 1) return 1;
  uint8_t* marker = targets_.outputGiven == 1 ? &targets_.outputGiven
                    : targets_.folderGiven == 1 ? &targets_.folderGiven
                                                : nullptr;
  if (marker != nullptr) {
    *marker = 0;
    questions_.ShowInformation(kSavingFailed,
                               static_cast<uint8_t>(marker == &targets_.outputGiven ? targets_.outputLetter
                                                                                    : targets_.folderLetter));
    SaveHive(name);
    *marker = 1;
  }
  return 1;
}

int HiveSaver::SaveHive(const std::string& name) {
  if (targets_.outputGiven != 0) {
    targets_.outputGiven = platform::SamePath(targets_.outputName, name) ? 2 : 1;
  }
  if (targets_.folderGiven != 0) {
    std::string inputFolder = FolderOf(platform::FullPath(name));
    targets_.folderGiven = platform::SamePath(targets_.outputFolder, inputFolder) ? 2 : 1;
  }
  uint32_t answer = questions_.AskSaveMode();
  if (answer != kSaveOverwrite && answer != kSaveDisk) return 1;  // cancelled: nothing is written

  bool disk = answer == kSaveDisk;
  if (!disk && (targets_.outputGiven == 1 || targets_.folderGiven == 1)) {
    std::string target = targets_.outputGiven == 1 ? targets_.outputName : name;
    if (targets_.folderGiven == 1) {
      if (!EnsureOutputFolder(targets_.outputFolder)) return 0;
      std::string folder = targets_.outputFolder;
      if (!folder.empty() && platform::IsPathSeparator(folder.back()) && folder.size() > 1) folder.pop_back();
      target = folder + platform::PathSeparator() + FileNamePart(target);
    }
    return WriteHiveFile(target, image_.Size(), 0, 1, false) == kWriteCreateFailed ? 0 : 1;
  }
  if (!disk) {
    Log(LogMarker::Info, "Overwrite mode selected\r\n");
    if (MakeBackup(name)) {
      inPlaceName_ = name;
      int64_t written = WriteHiveFile(name, image_.Size(), 0, 1, false);
      inPlaceName_.clear();
      return written == kWriteCreateFailed ? 0 : 1;
    }
    Log(LogMarker::Error, "Backup failed\r\n");
    questions_.ShowInformation(kBackupImpossible, 0);
    disk = true;
  }
  SaveOnDisks(name);
  return 1;
}

void HiveSaver::SaveOnDisks(const std::string& name) {
  for (;;) {
    std::vector<platform::Drive> drives = platform::ListDrives();
    if (drives.empty()) return;  // nothing to choose from: disk mode ends
    size_t chosen = 0;
    if (questions_.AskDriveLetter(drives, chosen) != kAnswerChosen || chosen >= drives.size()) return;
    Log(LogMarker::Info, "Disk mode selected: " + drives[chosen].root + "\r\n");
    if (SaveToDisks(drives[chosen], name) == kDisksSaved) return;
  }
}

bool HiveSaver::MakeBackup(const std::string& name) {
  std::string onDisk = original_ ? original_->name : FileNamePart(name);
  std::string backup = BackupName(name, onDisk);
  Log(LogMarker::Info, "Backing up original file with name " + backup + "...\r\n");
  platform::FileInfo existing;
  if (Exists(backup, &existing) && (existing.attributes & platform::kAttrReadOnly)) {
    platform::SetAttributes(backup, existing.attributes & ~platform::kAttrReadOnly);
  }
  if (!platform::CopyFileReplacing(name, backup)) return false;
  faults_.Services().progress.SetGauge(500);
  Log(LogMarker::Decision, "Backup created\r\n");
  return true;
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

int64_t HiveSaver::WriteFailed(const std::string& target) {
  faults_.ReportFault(hive::kOutputFileOpenError, hive::kNullOffset, hive::FieldRef::None(), 0);
  Log(LogMarker::Error, "Saving file " + target + " failed\r\n");
  return kWriteCreateFailed;
}

int64_t HiveSaver::WriteHiveFile(const std::string& target, uint32_t count, uint32_t start, uint32_t half,
                                 bool removable) {
  if (!Poll(start)) return kWriteStopped;
  Log(LogMarker::Info, "Saving file " + target + "...\r\n");

  platform::FileInfo existing;
  bool targetExists = Exists(target, &existing);
  bool inPlace = !inPlaceName_.empty();
  if (targetExists && !inPlace && original_) {
    // Another place than the original: it takes the original's attributes, never read-only.
    platform::SetAttributes(target, original_->attributes & ~platform::kAttrReadOnly);
    targetExists = Exists(target, &existing);
  }
  if (targetExists && (existing.attributes & (platform::kAttrReadOnly | platform::kAttrDirectory))) {
    return WriteFailed(target);
  }

  // Written beside the target first: a write that does not finish leaves the target as it was.
  std::string temporary = target + ".tarvos-new";
  platform::File file;
  if (!file.OpenCreate(temporary)) return WriteFailed(target);
  auto giveUp = [&](int64_t result) {
    file.Close();
    platform::RemoveFile(temporary);
    return result == kWriteCreateFailed ? WriteFailed(target) : result;
  };
  const uint32_t chunk = removable ? kRemovableChunk : kChunk;
  const uint32_t size = image_.Size();
  auto gauge = [&](uint32_t reached) {
    uint32_t share = hive::PermilleOf(size - reached, size);
    faults_.Services().progress.SetGauge((1000 - share) / (half + 1) + half * 500);
  };
  uint32_t chunks = count / chunk;
  for (uint32_t i = 0; i < chunks; ++i) {
    if (!file.Write(image_.Buffer() + start + uint64_t{i} * chunk, chunk)) return giveUp(kWriteCreateFailed);
    uint32_t reached = start + (i + 1) * chunk;
    if (!Poll(reached)) return giveUp(kWriteStopped);
    gauge(reached);
  }
  uint32_t tail = count - chunks * chunk;
  if (tail > 0 && !file.Write(image_.Buffer() + start + uint64_t{chunks} * chunk, tail)) {
    return giveUp(kWriteCreateFailed);
  }
  if (half != 0 && original_) file.SetWriteTime(original_->writeTime);
  if (!file.Flush()) return giveUp(kWriteCreateFailed);
  file.Close();
  if (targetExists) {
    platform::CopyPermissions(target, temporary);
  } else if (original_ && inPlace) {
    platform::CopyPermissions(inPlaceName_, temporary);
  }
  if (!platform::PutInPlace(temporary, target)) {
    platform::RemoveFile(temporary);
    return WriteFailed(target);
  }
  Log(LogMarker::Decision, "File saved, size " + Decimal(count) + "\r\n");
  if (!Poll(start + count)) return kWriteStopped;
  gauge(start + count);
  return count;
}

uint8_t HiveSaver::SaveToDisks(const platform::Drive& drive, const std::string& hivePath) {
  std::string root = drive.root;
  if (!root.empty() && !platform::IsPathSeparator(root.back())) root += platform::PathSeparator();
  std::string target = root + FileNamePart(hivePath);
  uint32_t written = 0;
  uint32_t remaining = image_.Size();
  uint32_t part = 0;
  for (;;) {
    if (drive.removable) {
      int media = platform::CheckMedia(drive);
      while (media == 0) {
        if (questions_.AskInsertDisk(drive.letter, 0) == kAnswerCancel) return kDisksCancelled;
        media = platform::CheckMedia(drive);
      }
    }
    uint64_t free = 0;
    if (!platform::FreeSpace(drive, free)) {
      if (!drive.removable) {
        questions_.ShowInformation(kNotEnoughSpace, static_cast<uint8_t>(drive.letter));
        return kDisksTooSmall;
      }
      if (questions_.AskInsertDisk(drive.letter, 0) == kAnswerCancel) return kDisksCancelled;
      continue;
    }
    platform::FileInfo existing;
    uint64_t available = free + (Exists(target, &existing) ? existing.size : 0);  // it will be replaced
    if (available < kMinimumPart) {
      if (!drive.removable) {
        questions_.ShowInformation(kNotEnoughSpace, static_cast<uint8_t>(drive.letter));
        return kDisksTooSmall;
      }
      if (questions_.AskInsertDisk(drive.letter, 2) == kAnswerCancel) return kDisksCancelled;
      continue;
    }
    if (remaining <= available) {
      int64_t result = WriteHiveFile(target, remaining, written, 0, drive.removable);
      if (result == kWriteCreateFailed) return kDisksCreateFailed;
      if (result != kWriteStopped && part != 0) {
        // The parts joined in order give back the hive: a batch file on the last volume does it.
        std::string batch = root + kJoinBatchName;
        Log(LogMarker::Info, "Saving batch file " + batch + "...\r\n");
        std::string plain = FileNamePart(hivePath);
        std::string partName = ReplaceExtension(plain, ".000");
        std::string sources = partName;
        for (uint32_t p = 0, number = 0; p < part; ++p) {
          number = NextPartName(partName, number);
          sources += "+" + partName;
        }
        std::string text = "@echo off\r\ncopy /b " + sources + " " + plain + "\r\n";
        platform::File file;
        if (file.OpenCreate(batch) && file.Write(text.data(), text.size())) {
          Log(LogMarker::Decision, "Batch file saved\r\n");
        }
        file.Close();
        questions_.ShowInformation(kPartsSaved, part + 1);
      }
      return kDisksSaved;
    }
    if (!drive.removable) {
      questions_.ShowInformation(kNotEnoughSpace, static_cast<uint8_t>(drive.letter));
      return kDisksTooSmall;
    }
    if (part == 0) target = ReplaceExtension(target, ".000");
    auto count = static_cast<uint32_t>(available);
    int64_t result = WriteHiveFile(target, count, written, 0, true);
    if (result == kWriteStopped) return kDisksSaved;  // the run is being ended
    if (result == kWriteCreateFailed) return kDisksCreateFailed;
    remaining -= count;
    written += count;
    part = NextPartName(target, part);
    if (questions_.AskInsertDisk(drive.letter, 1) == kAnswerCancel) return kDisksCancelled;
  }
}

}  // namespace tarvos::save
