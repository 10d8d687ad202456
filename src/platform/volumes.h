// Drives for saving in disk mode: their letters, roots, whether they are removable, free space,
// and whether a medium is in them. TARVOS_DRIVES replaces the system's table (for tests):
// "A=/tmp/a,removable,1457664;C=/tmp/c,fixed,500000".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

struct Drive {
  char letter = 0;
  std::string root;   // "A:\" on Windows; a mount point on POSIX
  std::string label;  // shown beside the letter where the root is not "letter:\"
  bool removable = false;
};

std::vector<Drive> ListDrives();
// Free bytes on the drive; false when they cannot be had (no medium, say).
bool FreeSpace(const Drive& drive, uint64_t& bytes);
// 1 a medium is present, 0 none is, 255 the drive cannot be asked.
int CheckMedia(const Drive& drive);

}  // namespace tarvos::platform
