// Files and folders: the only file access of the program goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::platform {

inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrTemporary = 0x100;

// One entry found by a name or pattern search.
struct FileInfo {
  std::string name;         // as the file system stores it, without its folder
  uint32_t attributes = 0;  // kAttr* bits
  uint64_t size = 0;
  int64_t writeTime = 0;    // 100 ns units since 1601-01-01 (Windows file time)
};

// An open file. Closed on destruction.
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Existing file, read only, others may read too.
  bool OpenRead(const std::string& path);
  // Read and write, created when missing, content kept, positioned at its end.
  bool OpenAppend(const std::string& path);
  // Read and write, no sharing, created or emptied.
  bool OpenCreate(const std::string& path);
  // Everything written is on the disk when this returns true.
  bool Flush();
  // The last-write time (100 ns units since 1601).
  bool SetWriteTime(int64_t fileTime);
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
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;
};

// Looks up one path (no wildcards); false when it does not exist.
bool LookUp(const std::string& path, FileInfo& info);

// Every entry that matches a pattern whose last component may hold "*" and "?", in the order
// the search delivers them. Folders are included, "." and ".." are not.
std::vector<FileInfo> FindEntries(const std::string& pattern);

// True for the characters that end a folder part of a path ("\" and ":" on Windows, "/" on POSIX).
bool IsPathSeparator(char c);

// Whether an argument that starts with "/" is a switch rather than a path.
bool SlashArgumentIsSwitch(const std::string& arg);

// Copies a file, replacing an existing one of the target name.
bool CopyFileReplacing(const std::string& from, const std::string& to);
// Puts a new file in the place of another in one step (the old one goes).
bool PutInPlace(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);
bool CreateFolder(const std::string& path);
// Sets the kAttr* bits a file can carry (read-only; on POSIX, the write permission).
bool SetAttributes(const std::string& path, uint32_t attributes);
// Gives to a file the permissions of another (POSIX); nothing where attributes say it all.
void CopyPermissions(const std::string& from, const std::string& to);
// The full path of a name, which need not exist; empty when it cannot be formed.
std::string FullPath(const std::string& path);
// Whether two names are the same file: the same full path (without regard to case where the
// file system ignores case), or the same file reached another way.
bool SamePath(const std::string& a, const std::string& b);
char PathSeparator();

// Wildcard match of one name against one pattern component ("*" any run, "?" one character).
bool MatchWildcard(const char* pattern, const char* name, bool ignoreCase);

}  // namespace tarvos::platform
