#include "hive/log_files.h"

#include <algorithm>
#include <cstring>

#include "hive/layout.h"
#include "platform/file.h"
#include "platform/text.h"

namespace tarvos::hive {

const std::vector<std::string>& FolderListing::Names(const std::string& folder) {
  if (listed_ && folder == folder_) return names_;
  folder_ = folder;
  listed_ = true;
  names_.clear();
  upper_.clear();
  names_ = platform::FolderNames(folder);
  for (const std::string& name : names_) {
    upper_.push_back(name);
    platform::UpperInPlace(upper_.back());
  }
  return names_;
}

std::vector<TransactionLog> ReadTransactionLogs(const std::string& named, FolderListing* listing) {
  std::vector<TransactionLog> logs;
  // Beside the file itself: a hive named through a link has its logs where the link leads.
  const std::string hiveName = platform::RealPath(named);
  const size_t folderEnd = platform::FileNameIndex(hiveName);
  std::string folder = hiveName.substr(0, folderEnd);
  std::string stem = hiveName.substr(folderEnd);
  platform::UpperInPlace(stem);
  // One look at the folder: a disk written by Windows and mounted elsewhere keeps the case the
  // logs were given, which need not be the hive's.
  FolderListing own;
  FolderListing& entries = listing != nullptr ? *listing : own;
  const std::vector<std::string>& names = entries.Names(folder);
  const std::vector<std::string>& upper = entries.UpperNames();
  for (const char* suffix : kLogSuffixes) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (upper[i] != stem + suffix) continue;
      TransactionLog log;
      log.name = folder + names[i];
      platform::File file;
      uint64_t size = 0;
      if (!file.OpenRead(log.name)) {
        log.unreadable = "cannot be read: " + file.Failure();
      } else if (!file.Size(size) || size > txlog::kMaxDataSize) {
        log.unreadable = "cannot be read: too large";
      } else {
        log.path = log.name;  // read as recovery goes
        log.size = size;
      }
      logs.push_back(std::move(log));
      break;
    }
  }
  return logs;
}

bool IsLogBesideItsHive(const std::string& name, FolderListing* listing) {
  const size_t folderEnd = platform::FileNameIndex(name);
  std::string file = name.substr(folderEnd);
  platform::UpperInPlace(file);
  std::string stem;
  for (const char* suffix : kLogSuffixes) {
    size_t length = std::strlen(suffix);
    if (file.size() > length && file.compare(file.size() - length, length, suffix) == 0) {
      stem = file.substr(0, file.size() - length);
    }
  }
  if (stem.empty()) return false;
  FolderListing own;
  FolderListing& entries = listing != nullptr ? *listing : own;
  entries.Names(name.substr(0, folderEnd));
  const std::vector<std::string>& upper = entries.UpperNames();
  return std::find(upper.begin(), upper.end(), stem) != upper.end();
}

}  // namespace tarvos::hive
