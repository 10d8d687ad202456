#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/termination.h"

namespace tarvos::platform {

namespace {

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

int64_t FileTime(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 10000000 + t.tv_nsec / 100 + kUnixEpochAsFileTime;
}

struct timespec TimeSpec(int64_t fileTime) {
  int64_t units = fileTime - kUnixEpochAsFileTime;
  struct timespec t{};
  t.tv_sec = static_cast<time_t>(units / 10000000);
  t.tv_nsec = static_cast<long>((units % 10000000) * 100);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

void FillInfo(const struct stat& st, FileInfo& info) {
  info.attributes = 0;
  if (S_ISDIR(st.st_mode)) info.attributes |= kAttrDirectory;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) info.attributes |= kAttrReadOnly;
  info.size = static_cast<uint64_t>(st.st_size);
  info.writeTime = FileTime(st.st_mtim);
  info.accessTime = FileTime(st.st_atim);
  info.creationTime = 0;
  info.volume = static_cast<uint64_t>(st.st_dev);
  info.index = static_cast<uint64_t>(st.st_ino);
  info.mode = st.st_mode & 07777;
  info.owner = st.st_uid;
  info.group = st.st_gid;
}

std::string Reason(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: return "no such file";
    case EISDIR: return "is a folder";
    case EACCES: case EPERM: return "permission denied";
    case EEXIST: return "a file of that name exists";
    case ELOOP: return "is a link";
    case ENOSPC: case EDQUOT: return "no space left on the disk";
    default: return std::strerror(error);
  }
}

// SIGTERM and SIGHUP wait while a file is created and noted, so that no handler sees it half done.
class TerminationHeld {
 public:
  TerminationHeld() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &held, &saved_);
  }
  ~TerminationHeld() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

}  // namespace

File::~File() { Close(); }

bool File::OpenRead(const std::string& path, bool regularOnly) {
  Close();
  // Opened without waiting: a FIFO without a writer would otherwise hold the run forever.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = -1;
#ifdef O_NOATIME
  // Reading leaves the access time as it was (a hive may be evidence), where the system lets this
  // process do so: its owner's, or one with the right to.
  fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
#else
  fd = ::open(path.c_str(), flags);
#endif
  if (fd < 0) {
    failure_ = Reason(errno);
    return false;
  }
  struct stat st;
  const char* refused = nullptr;
  if (::fstat(fd, &st) != 0) {
    refused = "cannot be examined";
  } else if (S_ISDIR(st.st_mode)) {
    refused = "is a folder";
  } else if (regularOnly && !S_ISREG(st.st_mode)) {
    refused = "not a regular file";
  }
  if (refused == nullptr && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) refused = "cannot be read";
  if (refused != nullptr) {
    ::close(fd);
    failure_ = refused;
    return false;
  }
  handle_ = fd;
  return true;
}

namespace {

// Opens a plain file to write, creating it; a link planted under the name is not followed. Then
// ready() readies the open file (false: it is given up as not a plain file one can use).
template <typename Ready>
bool OpenPlainToWrite(const std::string& path, int access, intptr_t& handle, std::string& failure, Ready ready) {
  int fd = ::open(path.c_str(), access | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0) {
    failure = Reason(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ready(fd)) {
    ::close(fd);
    failure = "not a regular file";
    return false;
  }
  handle = fd;
  return true;
}

}  // namespace

bool File::OpenAppend(const std::string& path) {
  Close();
  return OpenPlainToWrite(path, O_RDWR, handle_, failure_, [](int fd) { return ::lseek(fd, 0, SEEK_END) >= 0; });
}

bool File::OpenEmptied(const std::string& path) {
  Close();
  return OpenPlainToWrite(path, O_WRONLY, handle_, failure_, [](int fd) { return ::ftruncate(fd, 0) == 0; });
}

bool File::CreateNew(const std::string& path) {
  Close();
  // Readable by the owner alone until the caller gives it the permissions it is to have.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    failure_ = Reason(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

bool File::CreateBeside(const std::string& target, std::string& name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    name = UnpredictableNameBeside(target);
    TerminationHeld held;
    if (CreateNew(name)) {
      NoteTemporary(name);
      return true;
    }
    if (failure_ != Reason(EEXIST)) return false;
  }
  return false;
}

bool File::Flush() {
  if (handle_ == kNoHandle) return false;
  if (::fsync(static_cast<int>(handle_)) == 0) return true;
  failure_ = Reason(errno);
  return false;
}

bool File::SetWriteTime(int64_t fileTime) {
  if (handle_ == kNoHandle) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = TimeSpec(fileTime);
  return ::futimens(static_cast<int>(handle_), times) == 0;
}

bool File::SetTimes(const FileInfo& like) {
  if (handle_ == kNoHandle) return false;
  struct timespec times[2] = {TimeSpec(like.accessTime), TimeSpec(like.writeTime)};
  return ::futimens(static_cast<int>(handle_), times) == 0;
}

bool File::TakePermissions(const FileInfo& like, bool owner, bool writable) {
  if (handle_ == kNoHandle) return false;
  int fd = static_cast<int>(handle_);
  // Ownership first: a change of owner may clear the set-id bits that the mode then restores.
  if (owner && (like.owner != ::geteuid() || like.group != ::getegid())) {
    if (::fchown(fd, like.owner, like.group) != 0) {
      // Not allowed to give it away: at least the group, and never more access than the original.
      (void)::fchown(fd, static_cast<uid_t>(-1), like.group);
    }
  }
  auto mode = static_cast<mode_t>(like.mode & 07777);
  if (writable && (mode & 0222) == 0) mode |= S_IWUSR;
  return ::fchmod(fd, mode) == 0;
}

bool File::SetAttributes(uint32_t) { return handle_ != kNoHandle; }

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
    if (n <= 0) {
      failure_ = n < 0 ? Reason(errno) : Reason(ENOSPC);  // a regular file takes nothing only when full
      return false;
    }
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
    if (::lstat(full.c_str(), &st) != 0) continue;
    bool link = S_ISLNK(st.st_mode);
    if (link && ::stat(full.c_str(), &st) != 0) continue;  // a link to nothing
    FileInfo info;
    FillInfo(st, info);
    if (link) info.attributes |= kAttrLink;
    info.name = entry->d_name;
    found.push_back(std::move(info));
  }
  ::closedir(dir);
  // A directory's own order is arbitrary here; sorted names make runs repeatable.
  std::sort(found.begin(), found.end(), [](const FileInfo& a, const FileInfo& b) { return a.name < b.name; });
  return found;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // as FindEntries gives them
  return names;
}

bool IsPathSeparator(char c) { return c == '/'; }

char PathSeparator() { return '/'; }

size_t MaxPathLength() { return PATH_MAX - 1; }

bool PutInPlace(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  ForgetTemporary(from);
  // The new name lasts only once the folder that holds it is on the disk too.
  size_t slash = to.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : to.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  bool removed = ::unlink(path.c_str()) == 0;
  ForgetTemporary(path);
  return removed;
}

bool FileLock::Lock(const std::string& path, std::string& failure) {
  Unlock();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    failure = Reason(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    failure = errno == EWOULDBLOCK ? "being saved by another run" : Reason(errno);
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

void FileLock::Unlock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing ends the hold
  handle_ = -1;
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string real = resolved;
  std::free(resolved);
  return real;
}

bool CreateFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  // Through the file itself, opened without following a link: a link planted under the name
  // never passes the change on to the file it points to.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  bool done = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & kAttrReadOnly) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    done = ::fchmod(fd, mode) == 0;
  }
  ::close(fd);
  return done;
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
