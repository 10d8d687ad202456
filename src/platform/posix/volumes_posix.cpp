#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/drive_table.h"
#include "platform/file.h"

namespace tarvos::platform {

namespace {

// /proc/mounts writes a blank, a tab, a line feed and a backslash of a path as three octal digits.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    bool octal = field[i] == '\\' && i + 3 < field.size();
    for (size_t k = 1; octal && k <= 3; ++k) octal = field[i + k] >= '0' && field[i + k] <= '7';
    if (octal) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The kind of a local disk: its block device in /sys tells whether the medium can be taken out
// (a partition asks the disk that holds it); an optical drive is a CD-ROM whatever it holds.
DriveKind KindOfDevice(const std::string& device) {
  std::string name = RealPath(device);
  name = name.substr(name.rfind('/') + 1);
  std::string block = RealPath("/sys/class/block/" + name);
  FileInfo info;
  if (LookUp(block + "/partition", info)) block = block.substr(0, block.rfind('/'));
  std::string disk = block.substr(block.rfind('/') + 1);
  if (disk.rfind("sr", 0) == 0) return DriveKind::kCdRom;
  std::ifstream removable(block + "/removable");
  int flag = 0;
  return (removable >> flag) && flag == 1 ? DriveKind::kRemovable : DriveKind::kFixed;
}

// Mount points of disks (local, read-only ones included) and of network file systems, from
// /proc/mounts, with their kinds.
std::vector<Drive> MountedDrives() {
  std::vector<Drive> drives;
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type, options;
    fields >> device >> point >> type >> options;
    DriveKind kind = KindOfFileSystem(type, options);
    if (device.rfind("/dev/", 0) == 0) {
      if (kind == DriveKind::kFixed) kind = KindOfDevice(device);
    } else if (kind != DriveKind::kNetwork) {
      continue;  // proc, sysfs, tmpfs and the like
    }
    Drive drive;
    drive.root = Unescape(point);
    drive.label = drive.root;
    drive.kind = kind;
    drive.removable = kind == DriveKind::kRemovable;
    if (std::none_of(drives.begin(), drives.end(), [&](const Drive& d) { return d.root == drive.root; })) {
      drives.push_back(drive);
    }
  }
  // Letters in a stable order: by mount point, from C on.
  std::sort(drives.begin(), drives.end(), [](const Drive& a, const Drive& b) { return a.root < b.root; });
  if (drives.size() > 24) drives.resize(24);
  for (size_t i = 0; i < drives.size(); ++i) drives[i].letter = static_cast<char>('C' + i);
  return drives;
}

}  // namespace

std::vector<Drive> ListDrives() {
  std::vector<TableDrive> table;
  if (DriveTableFromEnvironment(table)) {
    std::vector<Drive> drives;
    for (const TableDrive& entry : table) drives.push_back(entry.drive);
    return drives;
  }
  return MountedDrives();
}

bool NamesIgnoreCase() { return false; }

bool FreeSpace(const Drive& drive, uint64_t& bytes) {
  if (auto entry = FindTableDrive(drive)) return TableFreeSpace(*entry, bytes);
  struct statvfs info;
  if (::statvfs(drive.root.c_str(), &info) != 0) return false;
  bytes = uint64_t{info.f_bavail} * info.f_frsize;
  return true;
}

int CheckMedia(const Drive& drive) {
  if (auto entry = FindTableDrive(drive)) return TableCheckMedia(*entry);
  FileInfo info;
  return LookUp(drive.root, info) ? 1 : 0;
}

}  // namespace tarvos::platform
