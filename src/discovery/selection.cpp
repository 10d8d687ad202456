#include "discovery/selection.h"

#include <algorithm>

#include "platform/file.h"
#include "platform/text.h"

namespace tarvos::discovery {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = platform::LowerChar(c);
  return text;
}

}  // namespace

void SortFoundList(std::vector<FoundLine>& found) {
  std::stable_sort(found.begin(), found.end(),
                   [](const FoundLine& a, const FoundLine& b) { return Lower(a.path) < Lower(b.path); });
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
  size_t cut = path.size();
  while (cut > 0 && !platform::IsPathSeparator(path[cut - 1])) --cut;
  std::string last = path.substr(cut);
  if (last == "." || last == "..") {
    expand(Join(path, "*"));
    return;
  }
  AddKnownHivesIn(path, add);
}

void DiscoverAndSelectHives(SelectionUi& ui, bool searchDisks, const std::string& driveList, const AddName& add,
                            const AddName& expand) {
  ui.ShowSearchingScreen();
  Locations locations(ui.BrowserTextWidth());
  std::vector<platform::Drive> drives = platform::ListDrives();
  if (searchDisks) {
    locations.FullDiskSearch(drives, driveList, ui);
  } else {
    locations.ScanKnownLocations(drives);
  }
  std::vector<FoundLine>& found = locations.Found();
  if (found.empty()) {
    ui.ShowNothingFound();
    return;
  }
  SortFoundList(found);
  std::string listing;
  for (const FoundLine& line : found) listing += line.text + "\n";
  size_t chosen = 0;
  std::string typed;
  uint32_t result = ui.RunBrowserDialog(listing, found.size(), chosen, typed);
  if (result == kBrowserChosen && chosen < found.size()) {
    // The full path the line stands for, not its shortened text.
    if (found[chosen].kind == kHivefile) {
      AddPathToHiveList(found[chosen].path, add, expand);
    } else {
      AddKnownHivesIn(found[chosen].path, add);
    }
  } else if (result == kBrowserTyped) {
    AddPathToHiveList(typed, add, expand);
  }
}

}  // namespace tarvos::discovery
