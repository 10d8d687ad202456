#include "discovery/locations.h"

#include <algorithm>

#include "hive/layout.h"
#include "platform/file.h"
#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::discovery {

namespace {


bool SameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && platform::LowerAscii(a) == platform::LowerAscii(b);
}

// A path of several components below a folder, each matched without regard to case.
std::string FindPathNoCase(std::string folder, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (folder.empty()) return {};
    folder = FindNoCase(folder, name);
  }
  return folder;
}

using platform::IsFolder;

bool IsFile(const std::string& path) {
  platform::FileInfo info;
  return !path.empty() && platform::LookUp(path, info) && !(info.attributes & platform::kAttrDirectory);
}

// A path as a line shows it: a control character (a line feed in a name, say) would break the
// listing, so it shows as "?", as the search window shows it.
std::string ShownPath(std::string path) {
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return path;
}

// The form of a path under which two names of one file compare equal.
std::string PathKey(const std::string& path) {
  std::string key = platform::FullPath(path);
  if (key.empty()) key = path;
  if (platform::NamesIgnoreCase()) platform::UpperInPlace(key);  // in every script
  return key;
}

uint32_t Get32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Whether a file of this name is a hive for the full search, by its first bytes: it begins with
// "regf" and is no transaction log (a log's file type and a .LOG, .LOG1 or .LOG2 name together; a
// hive whose file type alone is damaged is listed, to be repaired).
bool IsHiveFile(const std::string& name, const uint8_t* head, size_t count) {
  if (count < 4 || Get32(head) != hive::base::kSignatureValue) return false;
  if (count < hive::base::kFileType + 4) return true;
  uint32_t type = Get32(head + hive::base::kFileType);
  bool logType =
      type == hive::txlog::kFileTypeOld || type == hive::txlog::kFileTypeOlder || type == hive::txlog::kFileTypeEntries;
  size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : platform::LowerAscii(name.substr(dot));
  bool logName = extension == ".log" || extension == ".log1" || extension == ".log2";
  return !(logType && logName);
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
  std::string lower = platform::LowerAscii(text);
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
      // "...\WINNT = "Windows 2000"": the blanks around the name are not part of it.
      size_t first = name.find_first_not_of(" \t");
      name = first == std::string::npos ? std::string() : name.substr(first, name.find_last_not_of(" \t") - first + 1);
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

std::string InstallationOf(const std::string& hivePath) {
  // The components, lowered, each with where it starts in the path.
  std::vector<std::pair<size_t, std::string>> parts;
  for (size_t from = 0, i = 0; i <= hivePath.size(); ++i) {
    if (i < hivePath.size() && !platform::IsPathSeparator(hivePath[i])) continue;
    if (i > from) parts.emplace_back(from, platform::LowerAscii(hivePath.substr(from, i - from)));
    from = i + 1;
  }
  const size_t n = parts.size();
  auto is = [&](size_t k, const char* name) { return k < n && parts[k].second == name; };
  // The folder that holds component k: a root keeps its separator.
  auto above = [&](size_t k) {
    std::string folder = hivePath.substr(0, parts[k].first);
    while (folder.size() > 1 && platform::IsPathSeparator(folder.back()) && folder[folder.size() - 2] != ':') {
      folder.pop_back();
    }
    return folder;
  };
  if (n < 2) return {};
  if (is(n - 1, "ntuser.dat")) return above(n - 1);
  for (size_t k = n - 1; k-- > 1;) {
    if (is(n - 1, "usrclass.dat") && (is(k, "appdata") || is(k, "local settings"))) return above(k);
    if ((is(k, "system32") && is(k + 1, "config")) || is(k, "appcompat")) return above(k);
  }
  if (is(n - 1, "bcd") && is(n - 2, "boot")) {
    return n >= 4 && is(n - 3, "microsoft") && is(n - 4, "efi") ? above(n - 4) : above(n - 2);
  }
  return {};
}

bool IsCandidateName(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return true;
  std::string extension = platform::LowerAscii(name.substr(dot));
  if (extension == ".html") return false;
  if (extension.size() != 4) return true;
  static const std::string kExcluded = ".exe.com.sys.dll.bmp.jpg.gif.inf.hlp.htm";
  for (size_t i = 0; i < kExcluded.size(); i += 4) {
    if (kExcluded.compare(i, 4, extension) == 0) return false;
  }
  return true;
}

bool SearchedByDefault(const platform::Drive& drive) {
  return drive.kind == platform::DriveKind::kFixed && !drive.substituted;
}

bool Locations::IdentityOf(const platform::FileInfo& info, Identity& id) {
  id = Identity{info.volume, info.index};
  return info.index != 0;
}

void Locations::AddFound(const std::string& path, int kind) {
  platform::FileInfo info;
  AddFoundAs(path, kind, platform::LookUp(path, info) ? &info : nullptr);
}

void Locations::AddFoundAs(const std::string& path, int kind, const platform::FileInfo* info) {
  // One line a file: by its full path, and by its identity, which links and a second mount of
  // the same disk share.
  std::string key = PathKey(path);
  if (listedPaths_.count(key) != 0) return;
  Identity id{};
  bool identified = info != nullptr && IdentityOf(*info, id);
  if (identified && !listedFiles_.insert(id).second) return;
  listedPaths_.insert(std::move(key));
  // The path as the system shows it, whole: the selection window shortens it to its width.
  found_.push_back(FoundLine{kind, path, std::string(kLabels[kind]) + ShownPath(path)});
}

void Locations::ScanKnownLocations(const std::vector<platform::Drive>& drives) {
  // Current Windows before the profiles of boot.ini's systems: its "Documents and Settings" is
  // a link to "Users", and a place is listed under the path it is found by first.
  ScanBootInis(drives);
  ScanCurrentWindows(drives);
  ScanAllProfiles();
}

void Locations::ScanBootInis(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (!SearchedByDefault(drive)) continue;
    std::string boot = FindNoCase(drive.root, "boot.ini");
    if (boot.empty()) continue;
    for (const std::string& name : ParseBootIni(ReadText(boot, 1 << 20))) {
      if (std::none_of(systemRoots_.begin(), systemRoots_.end(),
                       [&](const std::string& r) { return SameNoCase(r, name); })) {
        systemRoots_.push_back(name);
      }
    }
  }
  ScanConfigFolders(drives);
}

void Locations::ScanConfigFolders(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (!SearchedByDefault(drive)) continue;
    for (const std::string& name : systemRoots_) {
      std::string system = FindNoCase(drive.root, name);
      std::string config = FindPathNoCase(system, {"system32", "config"});
      if (!config.empty() && FindConfigHives(config)) {
        systemFolders_.push_back(system);
        ScanSystemFolder(system);
      }
    }
  }
}

bool Locations::FindConfigHives(const std::string& folder) {
  if (!IsFolder(folder)) return false;
  for (const char* name : kKnownHiveNames) {
    // An empty file is no hive (Windows 10 leaves them so in RegBack).
    platform::FileInfo info;
    std::string file = FindNoCase(folder, name);
    if (!file.empty() && platform::LookUp(file, info) && !(info.attributes & platform::kAttrDirectory) &&
        info.size > 0) {
      AddFound(folder, kRegistry);
      return true;
    }
  }
  return false;
}

void Locations::ScanSystemFolder(const std::string& system) {
  // The configuration folder, its backup, and the profiles of the system's own accounts.
  std::string config = FindPathNoCase(system, {"System32", "config"});
  FindConfigHives(config);
  FindConfigHives(FindNoCase(config, "RegBack"));
  ScanProfile(FindNoCase(config, "systemprofile"));
  std::string services = FindNoCase(system, "ServiceProfiles");
  ScanProfile(FindNoCase(services, "LocalService"));
  ScanProfile(FindNoCase(services, "NetworkService"));
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
  std::vector<platform::FileInfo> entries = platform::FindEntries(Join(folder, "*"));
  // The folders themselves before the links to them ("Default User" leads to "Default").
  std::stable_partition(entries.begin(), entries.end(),
                        [](const platform::FileInfo& entry) { return !(entry.attributes & platform::kAttrLink); });
  for (const platform::FileInfo& entry : entries) {
    if ((entry.attributes & platform::kAttrDirectory) && ScanProfile(Join(folder, entry.name))) ++count;
  }
  return count;
}

bool Locations::ScanProfile(const std::string& profile) {
  if (profile.empty()) return false;
  bool listed = false;
  for (const char* name : kKnownHiveNames) {
    if (IsFile(FindNoCase(profile, name))) {
      AddFound(profile, kProfile);
      listed = true;
      break;
    }
  }
  // The user's classes: where Windows Vista and later keep them, and where Windows XP did.
  for (std::string classes :
       {FindPathNoCase(profile, {"AppData", "Local", "Microsoft", "Windows", "UsrClass.dat"}),
        FindPathNoCase(profile, {"Local Settings", "Application Data", "Microsoft", "Windows", "UsrClass.dat"})}) {
    if (IsFile(classes)) AddFound(classes, kHivefile);
  }
  return listed;
}

void Locations::ScanCurrentWindows(const std::vector<platform::Drive>& drives) {
  for (const platform::Drive& drive : drives) {
    if (!SearchedByDefault(drive)) continue;
    // The installation, and the one an upgrade kept in Windows.old.
    for (const std::string& top : {drive.root, FindNoCase(drive.root, "Windows.old")}) {
      if (top.empty()) continue;
      std::string windows = FindNoCase(top, "Windows");
      if (!windows.empty()) ScanSystemFolder(windows);
      // Users first: "Documents and Settings" of current Windows is a link to it.
      ScanProfiles(FindNoCase(top, "Users"));
      ScanProfiles(FindNoCase(top, "Documents and Settings"));
      std::string amcache = FindPathNoCase(windows, {"AppCompat", "Programs", "Amcache.hve"});
      if (IsFile(amcache)) AddFound(amcache, kHivefile);
    }
    for (std::string file : {FindPathNoCase(drive.root, {"Boot", "BCD"}),
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
  walkedFolders_.clear();
  for (const platform::Drive& drive : drives) {
    // A drive named is walked whatever its kind; without names, the fixed disks.
    bool listed = driveList.find(platform::UpperChar(drive.letter)) != std::string::npos;
    if (driveList.empty() ? SearchedByDefault(drive) : listed) WalkDrive(drive.root, progress);
  }
  progress.CloseSearchWindow();
}

void Locations::WalkDrive(const std::string& root, SearchProgress& progress) {
  // The drive's own file system, where the system tells which one an entry is on (a drive root
  // itself cannot always be looked up as an entry: it is then walked without the test).
  platform::FileInfo top;
  if (!platform::LookUp(root, top)) top = platform::FileInfo{};
  Identity id{};
  if (IdentityOf(top, id) && !walkedFolders_.insert(id).second) return;  // the same disk mounted twice
  // Folders to walk, without recursion; the walk stays on the drive's own file system, never
  // follows a link to a folder, and enters a folder once however often it is mounted (a bind
  // mount shows a folder again under the same device and inode; on Windows a mount point is a
  // link, and the listing tells no identity).
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
        if ((entry.attributes & platform::kAttrLink) || !sameDrive) continue;
        if (!IdentityOf(entry, id) || walkedFolders_.insert(id).second) below.push_back(path);
      } else if (IsCandidateName(entry.name)) {
        if (progress.UpdateSearchWindow(nullptr) != 0) stopped_ = true;
        TestCandidateFile(path, entry);
      }
      if (stopped_) return;
    }
    // In listing order: the first folder is walked next.
    folders.insert(folders.end(), below.rbegin(), below.rend());
  }
}

void Locations::TestCandidateFile(const std::string& path, const platform::FileInfo& entry) {
  // Not opened when it is too short for any hive, even a damaged one: shorter than a base block.
  if (entry.size < hive::kBaseBlockSize) return;
  platform::File file;
  if (!file.OpenRead(path)) return;
  uint8_t head[32] = {};
  size_t got = 0;
  if (!file.ReadAt(0, head, sizeof head, got) || !IsHiveFile(entry.name, head, got)) return;
  // Where the listing tells no identity (Windows), the file is looked up for it.
  if (entry.index != 0) {
    AddFoundAs(path, kHivefile, &entry);
  } else {
    AddFound(path, kHivefile);
  }
}

}  // namespace tarvos::discovery
