// Drives for saving in disk mode and for finding hives: their letters, roots, kinds, free space,
// and whether a medium is in them. TARVOS_DRIVES replaces the system's table (for tests):
// "A=/tmp/a,removable,1457664;C=/tmp/c,fixed,500000"; the kinds are fixed, removable, cdrom,
// network, ram and subst (a fixed drive that is another drive's folder under a letter of its own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

enum class DriveKind { kFixed, kRemovable, kCdRom, kNetwork, kRam, kUnknown };

struct Drive {
  char letter = 0;
  std::string root;   // "A:\" on Windows; a mount point on POSIX
  std::string label;  // shown beside the letter where the root is not "letter:\"
  DriveKind kind = DriveKind::kFixed;
  bool removable = false;    // kind is kRemovable: saved to in parts
  bool substituted = false;  // a folder of another drive (subst), not a disk of its own
};

// What the kind of a drive is, from the name the system gives its file system (POSIX: the type
// field of /proc/mounts; "nfs", "cifs", "fuse.sshfs" are network file systems) and its options.
DriveKind KindOfFileSystem(const std::string& type, const std::string& options);

std::vector<Drive> ListDrives();
// Whether names that differ only in case name one file on this system's drives (Windows), or
// two (POSIX, where a Windows disk mounted keeps the case it was written with).
bool NamesIgnoreCase();
// Free bytes on the drive; false when they cannot be had (no medium, say).
bool FreeSpace(const Drive& drive, uint64_t& bytes);
// 1 a medium is present, 0 none is, 255 the drive cannot be asked.
int CheckMedia(const Drive& drive);

}  // namespace tarvos::platform
