// The transaction logs that lie beside a hive file: found by name in the hive's folder (in any
// case) and opened for recovery to read as it goes.
#pragma once

#include <string>
#include <vector>

#include "hive/recovery.h"

namespace tarvos::hive {

// The entries of one folder, looked at once and kept while the hives of that folder follow one
// another: a list of many hives in one folder then lists it once, not once a hive.
class FolderListing {
 public:
  // The names in the folder (as stored) and the same upper-cased, in the same order.
  const std::vector<std::string>& Names(const std::string& folder);
  const std::vector<std::string>& UpperNames() const { return upper_; }

 private:
  std::string folder_;
  bool listed_ = false;
  std::vector<std::string> names_;
  std::vector<std::string> upper_;
};

// Whether a file is named as a log of a hive that lies beside it (NAME.LOG, NAME.LOG1 or
// NAME.LOG2 beside NAME, in any case): such a file is a log whatever it holds.
bool IsLogBesideItsHive(const std::string& name, FolderListing* listing = nullptr);

// Reads the logs that lie beside a hive file (its name plus a log suffix, matched without
// regard to case), in suffix order. A log that cannot be read is kept with the reason. With a
// listing, its folder's entries are taken from there.
std::vector<TransactionLog> ReadTransactionLogs(const std::string& hiveName, FolderListing* listing = nullptr);

}  // namespace tarvos::hive
