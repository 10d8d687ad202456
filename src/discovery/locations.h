// Finding hives when none is named: the known places of every Windows installation on the fixed
// drives (the system folders named by each drive's boot.ini, their configuration folders, the
// user profiles, and the layout of current Windows), or a full search of whole drives. What is
// found becomes labelled lines for the selection window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/volumes.h"

namespace tarvos::discovery {

inline constexpr const char* kKnownHiveNames[] = {"system", "system.alt", "software", "sam", "security", "userdiff",
                                                  "ntuser.dat"};
enum FoundKind { kRegistry = 0, kProfile = 1, kHivefile = 2 };
inline constexpr const char* kLabels[] = {"Registry: ", "Profile:  ", "Hivefile: "};
inline constexpr size_t kLabelLength = 10;

// One line offered to the user: the label and the path as shown (cut with three dots where it is
// too long), and the full path it stands for.
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

class Locations {
 public:
  // lineWidth: the characters of one line of the selection window.
  explicit Locations(size_t lineWidth) : width_(lineWidth) {}

  // Adds a line unless an equal one is there; false when memory ran out.
  bool AddFound(const std::string& path, int kind);
  // The known places on every fixed drive.
  void ScanKnownLocations(const std::vector<platform::Drive>& drives);
  // Whole drives: those of driveList (letters), or every fixed drive.
  void FullDiskSearch(const std::vector<platform::Drive>& drives, const std::string& driveList, SearchProgress& progress);

  std::vector<FoundLine>& Found() { return found_; }

 private:
  void ScanBootInis(const std::vector<platform::Drive>& drives);
  void ScanConfigFolders(const std::vector<platform::Drive>& drives);
  bool FindConfigHives(const std::string& folder);
  void ScanAllProfiles();
  int ScanProfiles(const std::string& folder);
  void ScanCurrentWindows(const std::vector<platform::Drive>& drives);
  void WalkDrive(const std::string& root, SearchProgress& progress);
  void TestCandidateFile(const std::string& path);

  size_t width_;
  std::vector<FoundLine> found_;
  std::vector<std::string> systemRoots_;
  std::vector<std::string> systemFolders_;  // drive root + system folder, where a known hive is
  bool stopped_ = false;
};

}  // namespace tarvos::discovery
