#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/drive_table.h"
#include "platform/file.h"

namespace tarvos::platform {

namespace {

// Mount points of real file systems, from /proc/mounts, with whether their disk is removable.
std::vector<Drive> MountedDrives() {
  std::vector<Drive> drives;
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    fields >> device >> point >> type;
    if (device.rfind("/dev/", 0) != 0) continue;  // proc, sysfs, tmpfs and the like
    Drive drive;
    drive.root = point;
    drive.label = point;
    // /dev/sdb1 -> /sys/block/sdb/removable
    std::string name = device.substr(5);
    while (!name.empty() && name.back() >= '0' && name.back() <= '9') name.pop_back();
    std::ifstream removable("/sys/block/" + name + "/removable");
    int flag = 0;
    drive.removable = (removable >> flag) && flag == 1;
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
