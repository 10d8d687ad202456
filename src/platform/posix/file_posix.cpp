#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace tarvos::platform {

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

void FillInfo(const struct stat& st, FileInfo& info) {
  info.attributes = 0;
  if (S_ISDIR(st.st_mode)) info.attributes |= kAttrDirectory;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) info.attributes |= kAttrReadOnly;
  info.size = static_cast<uint64_t>(st.st_size);
  info.writeTime = static_cast<int64_t>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100 +
                   kUnixEpochAsFileTime;
}

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

}  // namespace

File::~File() { Close(); }

bool File::OpenRead(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a folder is not a file to read
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::OpenAppend(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::OpenCreate(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool File::Flush() { return handle_ != kNoHandle && ::fsync(static_cast<int>(handle_)) == 0; }

bool File::SetWriteTime(int64_t fileTime) {
  if (handle_ == kNoHandle) return false;
  int64_t units = fileTime - kUnixEpochAsFileTime;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(units / 10000000);
  times[1].tv_nsec = static_cast<long>((units % 10000000) * 100);
  return ::futimens(static_cast<int>(handle_), times) == 0;
}

void File::Close() {
  if (handle_ != kNoHandle) ::close(static_cast<int>(handle_));
  handle_ = kNoHandle;
}

bool File::Size(uint64_t& size) const {
  struct stat st;
  if (handle_ == kNoHandle || ::fstat(static_cast<int>(handle_), &st) != 0) return false;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool File::ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got) {
  got = 0;
  if (handle_ == kNoHandle) return false;
  auto* out = static_cast<char*>(buffer);
  while (got < count) {
    ssize_t n = ::pread(static_cast<int>(handle_), out + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool File::Read(void* buffer, size_t count, size_t& got) {
  got = 0;
  if (handle_ == kNoHandle) return false;
  for (;;) {
    ssize_t n = ::read(static_cast<int>(handle_), buffer, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    got = static_cast<size_t>(n);
    return true;
  }
}

bool File::Write(const void* data, size_t count) {
  if (handle_ == kNoHandle) return false;
  const auto* in = static_cast<const char*>(data);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(static_cast<int>(handle_), in + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool LookUp(const std::string& path, FileInfo& info) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  FillInfo(st, info);
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  info.name = path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
  return true;
}

std::vector<FileInfo> FindEntries(const std::string& pattern) {
  std::vector<FileInfo> found;
  size_t slash = pattern.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : pattern.substr(0, slash + 1);
  std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  if (!HasWildcard(last)) {
    FileInfo info;
    if (LookUp(pattern, info)) found.push_back(std::move(info));
    return found;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!MatchWildcard(last.c_str(), entry->d_name, false)) continue;
    struct stat st;
    std::string full = (slash == std::string::npos ? std::string() : folder) + entry->d_name;
    if (::stat(full.c_str(), &st) != 0) continue;
    FileInfo info;
    FillInfo(st, info);
    info.name = entry->d_name;
    found.push_back(std::move(info));
  }
  ::closedir(dir);
  // A directory's own order is arbitrary here; sorted names make runs repeatable.
  std::sort(found.begin(), found.end(), [](const FileInfo& a, const FileInfo& b) { return a.name < b.name; });
  return found;
}

bool IsPathSeparator(char c) { return c == '/'; }

char PathSeparator() { return '/'; }

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  File in;
  if (!in.OpenRead(from)) return false;
  File out;
  if (!out.OpenCreate(to)) return false;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer.data(), buffer.size(), got)) return false;
    if (got == 0) break;
    if (!out.Write(buffer.data(), got)) return false;
  }
  return out.Flush();
}

bool PutInPlace(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool CreateFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & kAttrReadOnly) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
  return ::chmod(path.c_str(), mode) == 0;
}

void CopyPermissions(const std::string& from, const std::string& to) {
  struct stat st;
  if (::stat(from.c_str(), &st) == 0) ::chmod(to.c_str(), st.st_mode & 07777);
}

std::string FullPath(const std::string& path) {
  if (path.empty()) return {};
  std::string full;
  if (path[0] != '/') {
    char here[4096];
    if (::getcwd(here, sizeof here) == nullptr) return {};
    full = here;
    full += '/';
  }
  full += path;
  // Drop "." and empty components and resolve ".." by text, as the file need not exist.
  std::vector<std::string> parts;
  size_t from = 0;
  while (from <= full.size()) {
    size_t end = full.find('/', from);
    if (end == std::string::npos) end = full.size();
    std::string part = full.substr(from, end - from);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    from = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

bool SamePath(const std::string& a, const std::string& b) {
  std::string fullA = FullPath(a);
  if (!fullA.empty() && fullA == FullPath(b)) return true;
  // Names are case-sensitive here; the same file may still be reached through another name.
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool SlashArgumentIsSwitch(const std::string& arg) {
  // "/t", "/LN" and "/l:/var/log/x.tlg" are switches; "/mnt/c/Windows/System32/config/SYSTEM" is a
  // path: a switch has no second "/" before its first ":" and names nothing that exists.
  size_t colon = arg.find(':');
  size_t second = arg.find('/', 1);
  if (second != std::string::npos && (colon == std::string::npos || second < colon)) return false;
  struct stat st;
  return ::stat(arg.c_str(), &st) != 0;
}

}  // namespace tarvos::platform
