#include <cstdlib>

#include "platform/drive_table.h"
#include "platform/file.h"

namespace tarvos::platform {

bool DriveTableFromEnvironment(std::vector<TableDrive>& drives) {
  const char* text = std::getenv("TARVOS_DRIVES");
  if (text == nullptr || *text == '\0') return false;
  std::string all = text;
  size_t from = 0;
  while (from < all.size()) {
    size_t end = all.find(';', from);
    if (end == std::string::npos) end = all.size();
    std::string item = all.substr(from, end - from);
    from = end + 1;
    size_t equals = item.find('=');
    size_t comma1 = item.find(',', equals == std::string::npos ? 0 : equals);
    size_t comma2 = comma1 == std::string::npos ? std::string::npos : item.find(',', comma1 + 1);
    if (equals != 1 || comma2 == std::string::npos) continue;
    TableDrive drive;
    drive.drive.letter = static_cast<char>(item[0] & 0x5F);
    drive.drive.root = item.substr(2, comma1 - 2);
    drive.drive.label = drive.drive.root;
    std::string kind = item.substr(comma1 + 1, comma2 - comma1 - 1);
    drive.drive.kind = kind == "removable" ? DriveKind::kRemovable
                       : kind == "cdrom"   ? DriveKind::kCdRom
                       : kind == "network" ? DriveKind::kNetwork
                       : kind == "ram"     ? DriveKind::kRam
                                           : DriveKind::kFixed;
    drive.drive.removable = drive.drive.kind == DriveKind::kRemovable;
    drive.drive.substituted = kind == "subst";
    drive.free = std::strtoull(item.c_str() + comma2 + 1, nullptr, 10);
    drives.push_back(drive);
  }
  return true;
}

DriveKind KindOfFileSystem(const std::string& type, const std::string& options) {
  // Disks of other machines, reached over a network (a FUSE file system names its driver after
  // the dot). Walking one by default would search another machine's disks, slowly.
  static const char* const kNetwork[] = {"nfs",  "nfs4",   "cifs", "smb3",      "smbfs",  "ncpfs", "afs",
                                         "ceph", "lustre", "9p",   "glusterfs", "sshfs",  "davfs", "rclone",
                                         "s3fs", "curlftpfs"};
  std::string driver = type.rfind("fuse.", 0) == 0 ? type.substr(5) : type;
  if (driver == "iso9660" || driver == "udf") return DriveKind::kCdRom;
  // WSL shows the Windows drives as 9p shares of the drvfs kind: the machine's own disks.
  if (driver == "drvfs" || (driver == "9p" && options.find("drvfs") != std::string::npos)) return DriveKind::kFixed;
  for (const char* name : kNetwork) {
    if (driver == name) return DriveKind::kNetwork;
  }
  return DriveKind::kFixed;
}

std::optional<TableDrive> FindTableDrive(const Drive& drive) {
  std::vector<TableDrive> table;
  if (!DriveTableFromEnvironment(table)) return std::nullopt;
  for (const TableDrive& entry : table) {
    if (entry.drive.letter == drive.letter) return entry;
  }
  return std::nullopt;
}

bool TableFreeSpace(const TableDrive& drive, uint64_t& bytes) {
  FileInfo info;
  if (!LookUp(drive.drive.root, info)) return false;  // no medium in it
  bytes = drive.free;
  return true;
}

int TableCheckMedia(const TableDrive& drive) {
  FileInfo info;
  return LookUp(drive.drive.root, info) ? 1 : 0;
}

}  // namespace tarvos::platform
