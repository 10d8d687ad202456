#include "discovery/selection.h"

#include <algorithm>
#include <unordered_set>

#include "platform/file.h"
#include "platform/text.h"

namespace tarvos::discovery {

void SortFoundList(std::vector<FoundLine>& found) {
  // Each path lowered once, not at every comparison.
  std::vector<std::pair<std::string, size_t>> order;
  order.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i) order.emplace_back(platform::LowerAscii(found[i].path), i);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FoundLine> sorted;
  sorted.reserve(found.size());
  for (const auto& entry : order) sorted.push_back(std::move(found[entry.second]));
  found = std::move(sorted);
}

void AddKnownHivesIn(const std::string& folder, const AddName& add) {
  for (const char* name : kKnownHiveNames) {
    std::string file = FindNoCase(folder, name);
    platform::FileInfo info;
    if (!file.empty() && platform::LookUp(file, info) && !(info.attributes & platform::kAttrDirectory)) add(file);
  }
}

void AddPathToHiveList(std::string path, const AddName& add, const AddName& expand) {
  if (path.size() > 1 && platform::IsPathSeparator(path.back())) path.pop_back();
  platform::FileInfo info;
  if (path.empty() || !platform::LookUp(path, info)) return;
  if (!(info.attributes & platform::kAttrDirectory)) {
    add(path);
    return;
  }
  std::string last = path.substr(platform::FileNameIndex(path));
  if (last == "." || last == "..") {
    expand(Join(path, "*"));
    return;
  }
  AddKnownHivesIn(path, add);
}

void AddHivesOfLine(const FoundLine& line, const AddName& add, const AddName& expand) {
  // The full path the line stands for, not its shortened text.
  if (line.kind == kHivefile) {
    AddPathToHiveList(line.path, add, expand);
  } else {
    AddKnownHivesIn(line.path, add);
  }
}

std::vector<FoundLine> FindHiveLines(SearchProgress& progress, bool searchDisks, const std::string& driveList) {
  Locations locations;
  std::vector<platform::Drive> drives = platform::ListDrives();
  if (searchDisks) {
    locations.FullDiskSearch(drives, driveList, progress);
  } else {
    locations.ScanKnownLocations(drives);
  }
  SortFoundList(locations.Found());
  return std::move(locations.Found());
}

std::vector<std::string> FindHives(SearchProgress& progress, bool searchDisks, const std::string& driveList) {
  std::vector<std::string> hives;
  std::unordered_set<std::string> listed;
  auto add = [&](const std::string& name) {
    if (listed.insert(name).second) hives.push_back(name);
  };
  for (const FoundLine& line : FindHiveLines(progress, searchDisks, driveList)) {
    AddHivesOfLine(line, add, [](const std::string&) {});
  }
  return hives;
}

void DiscoverAndSelectHives(SelectionUi& ui, bool searchDisks, const std::string& driveList, const AddName& add,
                            const AddName& expand) {
  ui.ShowSearchingScreen();
  std::vector<FoundLine> found = FindHiveLines(ui, searchDisks, driveList);
  std::string typed;
  if (found.empty()) {
    // The user may know where the hive is that no search found.
    if (ui.ShowNothingFound(typed) == kAnswerTyped) AddPathToHiveList(typed, add, expand);
    return;
  }
  // One row a line: no line text holds a line feed (AddFound shows control characters as "?"),
  // so the row chosen is the index of the line it shows.
  std::string listing;
  for (const FoundLine& line : found) listing += line.text + "\n";
  size_t chosen = 0;
  uint32_t result = ui.RunBrowserDialog(listing, found.size(), chosen, typed);
  if (result == kAnswerChosen && chosen < found.size()) {
    AddHivesOfLine(found[chosen], add, expand);
  } else if (result == kAnswerTyped) {
    AddPathToHiveList(typed, add, expand);
  }
}

}  // namespace tarvos::discovery
