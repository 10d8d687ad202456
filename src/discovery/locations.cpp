#include "discovery/locations.h"

#include <algorithm>

#include "platform/file.h"
#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::discovery {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = platform::LowerChar(c);
  return text;
}

bool SameNoCase(const std::string& a, const std::string& b) { return a.size() == b.size() && Lower(a) == Lower(b); }

// A path of several components below a folder, each matched without regard to case.
std::string FindPathNoCase(std::string folder, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (folder.empty()) return {};
    folder = FindNoCase(folder, name);
  }
  return folder;
}

bool IsFolder(const std::string& path) {
  platform::FileInfo info;
  return !path.empty() && platform::LookUp(path, info) && (info.attributes & platform::kAttrDirectory);
}

bool IsFile(const std::string& path) {
  platform::FileInfo info;
  return !path.empty() && platform::LookUp(path, info) && !(info.attributes & platform::kAttrDirectory);
}

std::string ReadText(const std::string& path, size_t limit) {
  platform::File file;
  uint64_t size = 0;
  if (!file.OpenRead(path) || !file.Size(size)) return {};
  std::string text(static_cast<size_t>(std::min<uint64_t>(size, limit)), '\0');
  size_t got = 0;
  if (!file.ReadAt(0, text.data(), text.size(), got)) return {};
  text.resize(got);
  return text;
}

}  // namespace

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return platform::IsPathSeparator(folder.back()) ? folder + name : folder + platform::PathSeparator() + name;
}

std::string FindNoCase(const std::string& folder, const std::string& name) {
  for (const platform::FileInfo& entry : platform::FindEntries(Join(folder, "*"))) {
    if (SameNoCase(entry.name, name)) return Join(folder, entry.name);
  }
  return {};
}

std::vector<std::string> ParseBootIni(const std::string& text) {
  std::vector<std::string> names;
  // The section "[operating systems]", up to the next section.
  std::string lower = Lower(text);
  size_t start = lower.find("[operating systems]");
  if (start == std::string::npos) return names;
  start = lower.find('\n', start);
  if (start == std::string::npos) return names;
  size_t end = lower.find("\n[", start);
  std::string section = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start);
  bool keyStart = true;
  for (size_t i = 0; i < section.size(); ++i) {
    char c = section[i];
    if (c == '\\' && keyStart) {
      keyStart = false;
      size_t to = section.find_first_of("=\r\n", i + 1);
      std::string name = section.substr(i + 1, (to == std::string::npos ? section.size() : to) - i - 1);
      if (name.size() > 255) name.resize(255);
      if (!name.empty()) names.push_back(name);
    } else if (c == '=') {
      keyStart = false;
    } else if (c == '\r' || c == '\n') {
      keyStart = true;
    }
  }
  return names;
}

bool IsCandidateName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return true;
  std::string extension = Lower(name.substr(dot));
  if (extension == ".html") return false;
  if (extension.size() != 4) return true;
  static const std::string kExcluded = ".exe.com.sys.dll.bmp.jpg.gif.inf.hlp.htm";
  for (size_t i = 0; i < kExcluded.size(); i += 4) {
    if (kExcluded.compare(i, 4, extension) == 0) return false;
  }
  return true;
}

bool Locations::AddFound(const std::string& path, int kind) {
  // The width counts cells: the path as the system shows it, cut with three dots.
  size_t cells = platform::TextWidth(platform::DecodeFileName(path));
  std::string shown = path;
  if (kLabelLength + cells > width_ && width_ > kLabelLength + 3) {
    shown = platform::FileNamePrefix(path, width_ - kLabelLength - 3) + "...";
  }
  std::string text = std::string(kLabels[kind]) + shown;
  for (const FoundLine& line : found_) {
    if (SameNoCase(line.text, text)) return true;
  }
  found_.push_back(FoundLine{kind, path, text});
  return true;
}

void Locations::ScanKnownLocations(const std::vector<platform::Drive>& drives) {
  ScanBootInis(drives);
  ScanAllProfiles();
  ScanCurrentWindows(drives);
}

void Locations::ScanBootInis(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (drive.removable) continue;
    std::string boot = FindNoCase(drive.root, "boot.ini");
    if (boot.empty()) continue;
    for (const std::string& name : ParseBootIni(ReadText(boot, 1 << 20))) {
      if (std::none_of(systemRoots_.begin(), systemRoots_.end(), [&](const std::string& r) { return SameNoCase(r, name); })) {
        systemRoots_.push_back(name);
      }
    }
  }
  ScanConfigFolders(drives);
}

void Locations::ScanConfigFolders(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (drive.removable) continue;
    for (const std::string& name : systemRoots_) {
      std::string system = FindNoCase(drive.root, name);
      std::string config = FindPathNoCase(system, {"system32", "config"});
      if (!config.empty() && FindConfigHives(config)) systemFolders_.push_back(system);
    }
  }
}

bool Locations::FindConfigHives(const std::string& folder) {
  if (!IsFolder(folder)) return false;
  for (const char* name : kKnownHiveNames) {
    if (IsFile(FindNoCase(folder, name))) {
      AddFound(folder, kRegistry);
      return true;
    }
  }
  return false;
}

void Locations::ScanAllProfiles() {
  for (const std::string& system : systemFolders_) {
    ScanProfiles(FindNoCase(system, "profiles"));
    size_t cut = system.find_last_of(platform::PathSeparator());
    std::string root = cut == std::string::npos ? std::string() : system.substr(0, cut + 1);
    if (ScanProfiles(FindNoCase(root, "Documents and Settings")) == 0) ScanProfiles(FindNoCase(root, "DOCUME~1"));
  }
}

int Locations::ScanProfiles(const std::string& folder) {
  if (folder.empty()) return 0;
  int count = 0;
  for (const platform::FileInfo& entry : platform::FindEntries(Join(folder, "*"))) {
    if (!(entry.attributes & platform::kAttrDirectory)) continue;
    std::string profile = Join(folder, entry.name);
    for (const char* name : kKnownHiveNames) {
      if (IsFile(FindNoCase(profile, name)) && AddFound(profile, kProfile)) ++count;
    }
  }
  return count;
}

void Locations::ScanCurrentWindows(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (drive.removable) continue;
    std::string windows = FindNoCase(drive.root, "Windows");
    std::string config = FindPathNoCase(windows, {"System32", "config"});
    if (!config.empty()) FindConfigHives(config);
    std::string users = FindNoCase(drive.root, "Users");
    if (!users.empty()) {
      for (const platform::FileInfo& entry : platform::FindEntries(Join(users, "*"))) {
        if (!(entry.attributes & platform::kAttrDirectory)) continue;
        std::string profile = Join(users, entry.name);
        if (IsFile(FindNoCase(profile, "ntuser.dat"))) AddFound(profile, kProfile);
        std::string classes = FindPathNoCase(profile, {"AppData", "Local", "Microsoft", "Windows", "UsrClass.dat"});
        if (IsFile(classes)) AddFound(classes, kHivefile);
      }
    }
    for (std::string file : {FindPathNoCase(windows, {"AppCompat", "Programs", "Amcache.hve"}),
                             FindPathNoCase(drive.root, {"Boot", "BCD"}),
                             FindPathNoCase(drive.root, {"EFI", "Microsoft", "Boot", "BCD"})}) {
      if (IsFile(file)) AddFound(file, kHivefile);
    }
  }
}

void Locations::FullDiskSearch(const std::vector<platform::Drive>& drives, const std::string& driveList,
                               SearchProgress& progress) {
  if (drives.empty()) return;
  progress.OpenSearchWindow();
  stopped_ = false;
  for (const platform::Drive& drive : drives) {
    bool listed = driveList.find(platform::UpperChar(drive.letter)) != std::string::npos;
    if (driveList.empty() ? !drive.removable : listed) WalkDrive(drive.root, progress);
  }
  progress.CloseSearchWindow();
}

void Locations::WalkDrive(const std::string& root, SearchProgress& progress) {
  // The drive's own file system, where the system tells which one an entry is on (a drive root
  // itself cannot always be looked up as an entry: it is then walked without the test).
  platform::FileInfo top;
  if (!platform::LookUp(root, top)) top.volume = 0;
  // Folders to walk, without recursion; the walk stays on the drive's own file system and never
  // follows a link to a folder.
  std::vector<std::string> folders{root};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    if (progress.UpdateSearchWindow(&folder) != 0) stopped_ = true;
    std::vector<platform::FileInfo> entries = platform::FindEntries(Join(folder, "*"));
    std::vector<std::string> below;
    for (const platform::FileInfo& entry : entries) {
      if (entry.attributes & platform::kAttrTemporary) continue;
      std::string path = Join(folder, entry.name);
      if (entry.attributes & platform::kAttrDirectory) {
        bool sameDrive = top.volume == 0 || entry.volume == 0 || entry.volume == top.volume;
        if (!(entry.attributes & platform::kAttrLink) && sameDrive) below.push_back(path);
      } else if (IsCandidateName(entry.name)) {
        if (progress.UpdateSearchWindow(nullptr) != 0) stopped_ = true;
        TestCandidateFile(path);
      }
      if (stopped_) return;
    }
    // In listing order: the first folder is walked next.
    folders.insert(folders.end(), below.rbegin(), below.rend());
  }
}

void Locations::TestCandidateFile(const std::string& path) {
  platform::File file;
  if (!file.OpenRead(path)) return;
  uint8_t head[32] = {};
  size_t got = 0;
  if (!file.ReadAt(0, head, sizeof head, got) || got < 4 || std::string(reinterpret_cast<char*>(head), 4) != "regf") return;
  // A transaction log begins with "regf" too: its file type is not a hive's (0).
  uint32_t type = got >= 32 ? (head[28] | head[29] << 8 | head[30] << 16 | static_cast<uint32_t>(head[31]) << 24) : 0;
  if (type == 0) AddFound(path, kHivefile);
}

}  // namespace tarvos::discovery
