#include <windows.h>
#include <winioctl.h>

#include "platform/drive_table.h"
#include "platform/win32/wide.h"

namespace tarvos::platform {

std::vector<Drive> ListDrives() {
  std::vector<TableDrive> table;
  std::vector<Drive> drives;
  if (DriveTableFromEnvironment(table)) {
    for (const TableDrive& entry : table) drives.push_back(entry.drive);
    return drives;
  }
  wchar_t roots[1024];
  DWORD length = ::GetLogicalDriveStringsW(1023, roots);
  if (length == 0 || length >= 1024) return drives;
  for (const wchar_t* root = roots; *root != L'\0'; root += ::lstrlenW(root) + 1) {
    Drive drive;
    drive.letter = static_cast<char>(root[0] & 0x5F);
    drive.root = Utf8(std::wstring_view(root, 3));
    UINT type = ::GetDriveTypeW(std::wstring(root, 3).c_str());
    drive.kind = type == DRIVE_FIXED       ? DriveKind::kFixed
                 : type == DRIVE_REMOVABLE ? DriveKind::kRemovable
                 : type == DRIVE_CDROM     ? DriveKind::kCdRom
                 : type == DRIVE_REMOTE    ? DriveKind::kNetwork
                 : type == DRIVE_RAMDISK   ? DriveKind::kRam
                                           : DriveKind::kUnknown;
    drive.removable = drive.kind == DriveKind::kRemovable;
    // A substituted drive (subst) is a folder of another drive: its device is "\??\C:\folder".
    wchar_t device[1024];
    drive.substituted = ::QueryDosDeviceW(std::wstring(root, 2).c_str(), device, 1024) != 0 &&
                        std::wstring_view(device).rfind(L"\\??\\", 0) == 0;
    drives.push_back(drive);
  }
  return drives;
}

bool NamesIgnoreCase() { return true; }

bool FreeSpace(const Drive& drive, uint64_t& bytes) {
  if (auto entry = FindTableDrive(drive)) return TableFreeSpace(*entry, bytes);
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(Wide(drive.root).c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

int CheckMedia(const Drive& drive) {
  if (auto entry = FindTableDrive(drive)) return TableCheckMedia(*entry);
  wchar_t device[] = L"\\\\.\\A:";
  device[4] = static_cast<wchar_t>(drive.letter);
  HANDLE h = ::CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 255;
  DWORD returned = 0;
  BOOL present = ::DeviceIoControl(h, IOCTL_DISK_CHECK_VERIFY, nullptr, 0, nullptr, 0, &returned, nullptr);
  ::CloseHandle(h);
  return present ? 1 : 0;
}

}  // namespace tarvos::platform
