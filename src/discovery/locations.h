// Finding hives when none is named: the known places of every Windows installation on the fixed
// drives (the system folders named by each drive's boot.ini, their configuration folders, the
// user profiles, and the layout of current Windows), or a full search of whole drives. What is
// found becomes labelled lines for the selection window.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/file.h"
#include "platform/volumes.h"

namespace tarvos::discovery {

// The hive files a folder line stands for, in the order they are checked: those of a system's
// configuration folder (Windows 2000 to 11; each only where present), then a profile's.
inline constexpr const char* kKnownHiveNames[] = {"system",  "system.alt", "software", "sam", "security", "userdiff",
                                                  "default", "components", "drivers",  "bbi", "elam",     "ntuser.dat"};
enum FoundKind { kRegistry = 0, kProfile = 1, kHivefile = 2 };
inline constexpr const char* kLabels[] = {"Registry: ", "Profile:  ", "Hivefile: "};
inline constexpr size_t kLabelLength = 10;

// One line offered to the user: the label and the path as shown (control characters as "?",
// cut with three dots where it is too long), and the full path it stands for.
struct FoundLine {
  int kind = kRegistry;
  std::string path;
  std::string text;
};

// What the search shows while it walks, and how the user stops it. Implemented by the console.
class SearchProgress {
 public:
  virtual ~SearchProgress() = default;
  virtual void OpenSearchWindow() = 0;
  // The folder being searched (or null to poll only); nonzero once the user has cancelled.
  virtual uint32_t UpdateSearchWindow(const std::string* folder) = 0;
  virtual void CloseSearchWindow() = 0;
};

// The entry of a folder with a name, matched without regard to case (a Windows disk mounted
// elsewhere keeps the case it was written with); its path, or empty when there is none.
std::string FindNoCase(const std::string& folder, const std::string& name);
// A path: folder, separator, name.
std::string Join(const std::string& folder, const std::string& name);

// The system folder names of the "operating systems" section of a boot.ini: for each line, the
// text between the first "\" of its key and the "=".
std::vector<std::string> ParseBootIni(const std::string& text);
// Whether the full search opens a file of this name (executables, libraries, pictures, help and
// web pages are passed over).
bool IsCandidateName(const std::string& name);
// Whether a drive is searched without being named: a fixed disk of its own (not a substituted
// folder, not a CD-ROM, not a network share).
bool SearchedByDefault(const platform::Drive& drive);

// Where a hive found belongs, by the place Windows keeps it: the profile folder for a user's
// NTUSER.DAT and UsrClass.dat (the system's own accounts too), the system folder (C:\Windows) for
// the hives below System32\config (RegBack included) and Amcache.hve, the drive's root for a boot
// store (Boot\BCD, EFI\Microsoft\Boot\BCD); empty elsewhere.
std::string InstallationOf(const std::string& hivePath);

class Locations {
 public:
  // Adds a line unless one for the same file or folder is there (the same full path, or the same
  // file reached through a link or a second mount); the first path found stays.
  void AddFound(const std::string& path, int kind);
  // The known places on every fixed drive.
  void ScanKnownLocations(const std::vector<platform::Drive>& drives);
  // Whole drives: those of driveList (letters), or every fixed drive.
  void FullDiskSearch(const std::vector<platform::Drive>& drives, const std::string& driveList,
                      SearchProgress& progress);

  std::vector<FoundLine>& Found() { return found_; }

 private:
  struct Identity {
    uint64_t volume, index;
    bool operator==(const Identity& other) const { return volume == other.volume && index == other.index; }
  };
  struct IdentityHash {
    size_t operator()(const Identity& id) const {
      return std::hash<uint64_t>()(id.index * 0x9E3779B97F4A7C15ull ^ id.volume);
    }
  };
  // The entry's identity where the system tells it; false when it does not.
  static bool IdentityOf(const platform::FileInfo& info, Identity& id);
  void AddFoundAs(const std::string& path, int kind, const platform::FileInfo* info);
  void ScanBootInis(const std::vector<platform::Drive>& drives);
  void ScanConfigFolders(const std::vector<platform::Drive>& drives);
  bool FindConfigHives(const std::string& folder);
  void ScanSystemFolder(const std::string& system);
  void ScanAllProfiles();
  int ScanProfiles(const std::string& folder);
  bool ScanProfile(const std::string& profile);
  void ScanCurrentWindows(const std::vector<platform::Drive>& drives);
  void WalkDrive(const std::string& root, SearchProgress& progress);
  void TestCandidateFile(const std::string& path, const platform::FileInfo& entry);

  std::vector<FoundLine> found_;
  // What is listed: the full paths (folded where names ignore case) and the identities.
  std::unordered_set<std::string> listedPaths_;
  std::unordered_set<Identity, IdentityHash> listedFiles_;
  // The folders the full search has entered (or will), so that none is walked twice.
  std::unordered_set<Identity, IdentityHash> walkedFolders_;
  std::vector<std::string> systemRoots_;
  std::vector<std::string> systemFolders_;  // drive root + system folder, where a known hive is
  bool stopped_ = false;
};

}  // namespace tarvos::discovery
