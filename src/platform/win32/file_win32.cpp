#include <windows.h>

#include "platform/file.h"

namespace tarvos::platform {

namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void FillInfo(const WIN32_FIND_DATAA& data, FileInfo& info) {
  info.name = data.cFileName;
  info.attributes = data.dwFileAttributes;
  info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info.writeTime = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                        data.ftLastWriteTime.dwLowDateTime);
}

}  // namespace

File::~File() { Close(); }

bool File::OpenRead(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::OpenAppend(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
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

bool File::OpenCreate(const std::string& path) {
  Close();
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool File::Flush() { return handle_ != kNoHandle && ::FlushFileBuffers(H(handle_)); }

bool File::SetWriteTime(int64_t fileTime) {
  if (handle_ == kNoHandle) return false;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(fileTime);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(fileTime) >> 32);
  return ::SetFileTime(H(handle_), nullptr, nullptr, &time);
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
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(H(handle_), position, nullptr, FILE_BEGIN)) return false;
  auto* out = static_cast<char*>(buffer);
  while (got < count) {
    DWORD want = static_cast<DWORD>(count - got > 0x40000000 ? 0x40000000 : count - got);
    DWORD n = 0;
    if (!::ReadFile(H(handle_), out + got, want, &n, nullptr)) return false;
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
    if (!::WriteFile(H(handle_), in + done, want, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

bool LookUp(const std::string& path, FileInfo& info) {
  if (path.empty() || path.find_first_of("*?") != std::string::npos) return false;
  WIN32_FIND_DATAA data;
  HANDLE h = ::FindFirstFileA(path.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return false;
  FillInfo(data, info);
  ::FindClose(h);
  return true;
}

std::vector<FileInfo> FindEntries(const std::string& pattern) {
  std::vector<FileInfo> found;
  WIN32_FIND_DATAA data;
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return found;
  do {
    if (lstrcmpA(data.cFileName, ".") == 0 || lstrcmpA(data.cFileName, "..") == 0) continue;
    FileInfo info;
    FillInfo(data, info);
    found.push_back(std::move(info));
  } while (::FindNextFileA(h, &data));
  ::FindClose(h);
  return found;
}

bool IsPathSeparator(char c) { return c == '\\' || c == ':' || c == '/'; }

char PathSeparator() { return '\\'; }

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  return ::CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool PutInPlace(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

bool CreateFolder(const std::string& path) { return ::CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  DWORD keep = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE);
  return ::SetFileAttributesA(path.c_str(), keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL) != 0;
}

void CopyPermissions(const std::string&, const std::string&) {}

std::string FullPath(const std::string& path) {
  char full[4096];
  DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return {};
  return std::string(full, length);
}

bool SamePath(const std::string& a, const std::string& b) {
  std::string fullA = FullPath(a);
  std::string fullB = FullPath(b);
  return !fullA.empty() && !fullB.empty() && ::lstrcmpiA(fullA.c_str(), fullB.c_str()) == 0;
}

bool SlashArgumentIsSwitch(const std::string&) { return true; }

}  // namespace tarvos::platform
