#include <windows.h>

#include <cstdio>

#include "platform/file.h"
#include "platform/termination.h"
#include "platform/win32/wide.h"

namespace tarvos::platform {

namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

int64_t FileTime(const FILETIME& t) {
  return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

FILETIME ToFileTime(int64_t value) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(value);
  t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
  return t;
}

void FillInfo(const WIN32_FIND_DATAW& data, FileInfo& info) {
  info.name = Utf8(data.cFileName);
  info.attributes = data.dwFileAttributes;
  info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info.writeTime = FileTime(data.ftLastWriteTime);
  info.accessTime = FileTime(data.ftLastAccessTime);
  info.creationTime = FileTime(data.ftCreationTime);
}

// The volume serial number and file index: what tells one file from another.
void FillIdentity(const std::string& path, FileInfo& info) {
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION data;
  if (::GetFileInformationByHandle(h, &data)) {
    info.volume = data.dwVolumeSerialNumber;
    info.index = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  }
  ::CloseHandle(h);
}

std::string Reason(DWORD error, const std::string& path) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: return "no such file";
    case ERROR_ACCESS_DENIED: {
      DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "is a folder";
      return "permission denied";
    }
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: return "in use by another program";
    case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: return "a file of that name exists";
    case ERROR_FILENAME_EXCED_RANGE: return "name too long";
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return "no space left on the disk";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
      return text;
    }
  }
}

}  // namespace

File::~File() { Close(); }

bool File::OpenRead(const std::string& path, bool regularOnly) {
  Close();
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    failure_ = Reason(::GetLastError(), path);
    return false;
  }
  // A console, a pipe or a device is not a hive file.
  if (regularOnly && ::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    failure_ = "not a regular file";
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::OpenAppend(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    ::CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::OpenEmptied(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    failure_ = Reason(::GetLastError(), path);
    return false;
  }
  if (::GetFileType(h) != FILE_TYPE_DISK || !::SetEndOfFile(h)) {
    ::CloseHandle(h);
    failure_ = "not a regular file";
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::CreateNew(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    failure_ = Reason(::GetLastError(), path);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::CreateBeside(const std::string& target, std::string& name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    name = UnpredictableNameBeside(target);
    if (CreateNew(name)) {
      NoteTemporary(name);
      return true;
    }
    if (failure_ != Reason(ERROR_FILE_EXISTS, name)) return false;
  }
  return false;
}

bool File::Flush() {
  if (handle_ == kNoHandle) return false;
  if (::FlushFileBuffers(H(handle_))) return true;
  failure_ = Reason(::GetLastError(), {});
  return false;
}

bool File::SetWriteTime(int64_t fileTime) {
  if (handle_ == kNoHandle) return false;
  FILETIME time = ToFileTime(fileTime);
  return ::SetFileTime(H(handle_), nullptr, nullptr, &time);
}

bool File::SetTimes(const FileInfo& like) {
  if (handle_ == kNoHandle) return false;
  FILETIME creation = ToFileTime(like.creationTime);
  FILETIME access = ToFileTime(like.accessTime);
  FILETIME write = ToFileTime(like.writeTime);
  return ::SetFileTime(H(handle_), like.creationTime != 0 ? &creation : nullptr, &access, &write);
}

bool File::TakePermissions(const FileInfo&, bool, bool) { return handle_ != kNoHandle; }

bool File::SetAttributes(uint32_t attributes) {
  if (handle_ == kNoHandle) return false;
  FILE_BASIC_INFO basic{};  // times of 0 are left as they are
  DWORD keep = attributes & (kAttrHidden | kAttrSystem | kAttrArchive);
  basic.FileAttributes = keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL;
  return ::SetFileInformationByHandle(H(handle_), FileBasicInfo, &basic, sizeof basic) != 0;
}

void File::Close() {
  if (handle_ != kNoHandle) ::CloseHandle(H(handle_));
  handle_ = kNoHandle;
}

bool File::Size(uint64_t& size) const {
  LARGE_INTEGER value;
  if (handle_ == kNoHandle || !::GetFileSizeEx(H(handle_), &value)) return false;
  size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool File::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
  got = 0;
  if (handle_ == kNoHandle) return false;
  auto* out = static_cast<char*>(buffer);
  while (got < count) {
    DWORD want = static_cast<DWORD>(count - got > 0x40000000 ? 0x40000000 : count - got);
    DWORD n = 0;
    // The offset goes with each read, not through the handle's position: two threads may read
    // the one handle at once.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    if (!::ReadFile(H(handle_), out + got, want, &n, &at)) {
      if (::GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  return true;
}

bool File::Read(void* buffer, size_t count, size_t& got) {
  got = 0;
  DWORD n = 0;
  if (handle_ == kNoHandle || !::ReadFile(H(handle_), buffer, static_cast<DWORD>(count), &n, nullptr)) return false;
  got = n;
  return true;
}

bool File::Write(const void* data, size_t count) {
  if (handle_ == kNoHandle) return false;
  const auto* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < count) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(count - done > 0x40000000 ? 0x40000000 : count - done);
    if (!::WriteFile(H(handle_), in + done, want, &n, nullptr) || n == 0) {
      failure_ = Reason(n == 0 && ::GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : ::GetLastError(), {});
      return false;
    }
    done += n;
  }
  return true;
}

bool LookUp(const std::string& path, FileInfo& info) {
  if (path.empty() || path.find_first_of("*?") != std::string::npos) return false;
  WIN32_FIND_DATAW data;
  HANDLE h = ::FindFirstFileW(WidePath(path).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return false;
  FillInfo(data, info);
  ::FindClose(h);
  FillIdentity(path, info);
  return true;
}

std::vector<FileInfo> FindEntries(const std::string& pattern) {
  std::vector<FileInfo> found;
  WIN32_FIND_DATAW data;
  HANDLE h = ::FindFirstFileW(WidePath(pattern).c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return found;
  do {
    if (::lstrcmpW(data.cFileName, L".") == 0 || ::lstrcmpW(data.cFileName, L"..") == 0) continue;
    FileInfo info;
    FillInfo(data, info);
    found.push_back(std::move(info));
  } while (::FindNextFileW(h, &data));
  ::FindClose(h);
  return found;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::string pattern = folder;
  if (!pattern.empty() && !IsPathSeparator(pattern.back())) pattern += '\\';
  for (FileInfo& entry : FindEntries(pattern + "*")) names.push_back(std::move(entry.name));
  return names;
}

bool IsPathSeparator(char c) { return c == '\\' || c == ':' || c == '/'; }

char PathSeparator() { return '\\'; }

// The wide functions take 32767 UTF-16 units in the "\\?\" form, prefix included; a UTF-8 name
// never has fewer bytes than units.
size_t MaxPathLength() { return 32767 - 8; }

bool PutInPlace(const std::string& from, const std::string& to) {
  if (!::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
  ForgetTemporary(from);
  return true;
}

bool RemoveFile(const std::string& path) {
  bool removed = ::DeleteFileW(WidePath(path).c_str()) != 0;
  ForgetTemporary(path);
  return removed;
}

// Runs of this program that save the same file meet at a named mutex of the file's full path;
// the system releases it when the process ends, however it ends.
bool FileLock::Lock(const std::string& path, std::string& failure) {
  Unlock();
  std::wstring full = FullWidePath(Wide(path));
  if (full.empty()) full = Wide(path);
  // FNV-1a of the path without regard to case, letters of every script included: two runs that
  // name the file in different case meet at the same mutex.
  uint64_t hash = 1469598103934665603ull;
  for (wchar_t c : UpperWide(full)) {
    hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  }
  wchar_t name[64];
  ::wsprintfW(name, L"Local\\TarvosD-save-%08lx%08lx", static_cast<unsigned long>(hash >> 32),
              static_cast<unsigned long>(hash & 0xFFFFFFFFu));
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) {
    failure = Reason(::GetLastError(), path);
    return false;
  }
  DWORD waited = ::WaitForSingleObject(mutex, 0);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    failure = "being saved by another run";
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(mutex);
  return true;
}

void FileLock::Unlock() {
  if (handle_ == -1) return;
  ::ReleaseMutex(H(handle_));
  ::CloseHandle(H(handle_));
  handle_ = -1;
}

std::string RealPath(const std::string& path) { return path; }

bool CreateFolder(const std::string& path) { return ::CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0; }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  DWORD keep = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive);
  return ::SetFileAttributesW(WidePath(path).c_str(), keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL) != 0;
}

std::string FullPath(const std::string& path) {
  std::wstring full = FullWidePath(Wide(path));
  // The long form is the system's business: the program sees the path the user would write.
  if (full.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    full.replace(0, 8, L"\\\\");
  } else if (full.rfind(L"\\\\?\\", 0) == 0 && full.size() > 6 && full[5] == L':') {
    full.erase(0, 4);
  }
  return Utf8(full);
}

// Names are compared as the file system compares them: every letter without regard to case.
bool SamePath(const std::string& a, const std::string& b) {
  std::wstring fullA = Wide(FullPath(a));
  std::wstring fullB = Wide(FullPath(b));
  return !fullA.empty() && !fullB.empty() &&
         ::CompareStringOrdinal(fullA.c_str(), static_cast<int>(fullA.size()), fullB.c_str(),
                                static_cast<int>(fullB.size()), TRUE) == CSTR_EQUAL;
}

bool SlashArgumentIsSwitch(const std::string&) { return true; }

}  // namespace tarvos::platform
