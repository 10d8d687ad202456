// Files and folders: the only file access of the program goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrTemporary = 0x100;
inline constexpr uint32_t kAttrLink = 0x400;  // a symbolic link (a reparse point on Windows)

// One entry found by a name or pattern search.
struct FileInfo {
  std::string name;         // as the file system stores it (in UTF-8), without its folder
  uint32_t attributes = 0;  // kAttr* bits
  uint64_t size = 0;
  int64_t writeTime = 0;    // 100 ns units since 1601-01-01 (Windows file time)
  int64_t accessTime = 0;
  int64_t creationTime = 0;  // where the file system keeps one (0 otherwise)
  // What makes it this file: device and inode (POSIX), volume serial and file index (Windows).
  uint64_t volume = 0;
  uint64_t index = 0;
  // Permission bits and ownership (POSIX; 0 on Windows, where the attributes say it all).
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
};

// Whether two lookups found the same file, unchanged in between: the same identity, size and
// write time.
bool SameFileUnchanged(const FileInfo& a, const FileInfo& b);

// An open file. Closed on destruction.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Existing file, read only, others may read too. Never waits: with regularOnly, a FIFO, a
  // device or anything else that is not a plain file is refused; a folder always is.
  bool OpenRead(const std::string& path, bool regularOnly = true);
  // Read and write, created when missing, content kept, positioned at its end.
  bool OpenAppend(const std::string& path);
  // A plain file written from its start: created when missing, emptied when not. As with
  // OpenAppend, a link planted under the name is not followed.
  bool OpenEmptied(const std::string& path);
  // A new file, read and write, no sharing, created exclusively: fails when anything of that
  // name exists, a link included (a link is never followed).
  bool CreateNew(const std::string& path);
  // A new file in the folder of target, under a name no one can predict and short whatever the
  // target's name is; created as CreateNew does. name: the path it got. Until it is put in place
  // or removed, it is removed when another process ends the run (see termination.h).
  bool CreateBeside(const std::string& target, std::string& name);
  // Why the last open or create failed, in a few words ("no such file", "is a folder", ...).
  const std::string& Failure() const { return failure_; }
  // Everything written is on the disk when this returns true.
  bool Flush();
  // The last-write time (100 ns units since 1601).
  bool SetWriteTime(int64_t fileTime);
  // The write and access times of another file, and its creation time where the system keeps one.
  bool SetTimes(const FileInfo& like);
  // The permission bits of another file, and with owner its ownership where this process may
  // give it (POSIX); nothing on Windows. With writable the file is never left read-only: where
  // the bits let no one write, its owner may.
  bool TakePermissions(const FileInfo& like, bool owner, bool writable = false);
  // The hidden, system and archive attributes (Windows); nothing on POSIX.
  bool SetAttributes(uint32_t attributes);
  bool IsOpen() const { return handle_ != kNoHandle; }
  void Close();

  bool Size(uint64_t& size) const;
  // Reads up to count bytes at offset; got is how many arrived. False when the read failed.
  bool ReadAt(uint64_t offset, void* buffer, size_t count, size_t& got);
  // Reads up to count bytes at the current position.
  bool Read(void* buffer, size_t count, size_t& got);
  // Writes all count bytes at the current position.
  bool Write(const void* data, size_t count);

 private:
  friend class PrivateView;  // maps the file it holds
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
  std::string failure_;
};

// Holds a file while it is replaced, so that two runs never replace the same file at once. The
// hold ends with the object or the process.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // False when another run holds it or it cannot be had; failure says why.
  bool Lock(const std::string& path, std::string& failure);
  void Unlock();

 private:
  intptr_t handle_ = -1;
};

// Looks up one path (no wildcards); false when it does not exist.
bool LookUp(const std::string& path, FileInfo& info);
// Whether a path names a folder that is there.
bool IsFolder(const std::string& path);

// Every entry that matches a pattern whose last component may hold "*" and "?", in the order
// the search delivers them. Folders are included, "." and ".." are not.
std::vector<FileInfo> FindEntries(const std::string& pattern);

// The names of a folder's entries ("." and ".." left out), without looking at each one: cheaper
// than FindEntries where only the names count. Empty when the folder cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);

// True for the characters that end a folder part of a path ("\" and ":" on Windows, "/" on POSIX).
bool IsPathSeparator(char c);
// Where the file-name part of a path starts: after its last separator (0 when it has none).
size_t FileNameIndex(const std::string& path);

// Whether an argument that starts with "/" is a switch rather than a path.
bool SlashArgumentIsSwitch(const std::string& arg);

// Puts a new file in the place of another in one step (the old one goes; a link of that name is
// replaced, not followed), and makes the change last.
bool PutInPlace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
bool CreateFolder(const std::string& path);
// Sets the kAttr* bits a file can carry (read-only, hidden, system, archive; on POSIX only
// read-only, as the write permission). A link is left alone.
bool SetAttributes(const std::string& path, uint32_t attributes);
// A name in the folder of target that no one can predict (".tarvos-" and 16 random hex digits),
// for CreateBeside.
std::string UnpredictableNameBeside(const std::string& target);
// The file a path names once every link on the way is followed (the path itself where links
// are not looked through, or the path cannot be resolved).
std::string RealPath(const std::string& path);
// The full path of a name, which need not exist; empty when it cannot be formed.
std::string FullPath(const std::string& path);
// Whether two names are the same file: the same full path (without regard to case where the
// file system ignores case), or the same file reached another way.
bool SamePath(const std::string& a, const std::string& b);
char PathSeparator();
// The longest path the system opens, in bytes of UTF-8 (4095 on Linux; on Windows 32759, what the
// wide functions take in the \\?\ form).
size_t MaxPathLength();

// Wildcard match of one name against one pattern component ("*" any run, "?" one character).
bool MatchWildcard(const char* pattern, const char* name, bool ignoreCase);

}  // namespace tarvos::platform
