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
    drive.removable = ::GetDriveTypeW(std::wstring(root, 3).c_str()) == DRIVE_REMOVABLE;
    drives.push_back(drive);
  }
  return drives;
}

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
