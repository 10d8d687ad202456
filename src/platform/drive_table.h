// The drive table that TARVOS_DRIVES gives, shared by both platforms' volume code.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/volumes.h"

namespace tarvos::platform {

struct TableDrive {
  Drive drive;
  uint64_t free = 0;
};

// False when the variable is not set.
bool DriveTableFromEnvironment(std::vector<TableDrive>& drives);
std::optional<TableDrive> FindTableDrive(const Drive& drive);
// A drive of the table has a medium while its folder exists; its free space is as given.
bool TableFreeSpace(const TableDrive& drive, uint64_t& bytes);
int TableCheckMedia(const TableDrive& drive);

}  // namespace tarvos::platform
