// The choice among what was found: the lines sorted by path, the selection window, and the hive
// files that a chosen line or a typed path stands for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "discovery/locations.h"
#include "hive/answers.h"

namespace tarvos::discovery {


// What the selection needs of the screen. Implemented by the console.
class SelectionUi : public SearchProgress {
 public:
  virtual void ShowSearchingScreen() = 0;
  // The listing (one line an entry); kAnswerChosen with chosen, kAnswerTyped with typed, or
  // anything else for nothing.
  virtual uint32_t RunBrowserDialog(const std::string& listing, size_t entries, size_t& chosen, std::string& typed) = 0;
  // "No hive files found", with the path field offered: kAnswerTyped with typed, or anything
  // else when the user leaves it at that.
  virtual uint32_t ShowNothingFound(std::string& typed) = 0;
};

using AddName = std::function<void(const std::string&)>;

// By path, without regard to case; lines of equal paths keep their order.
void SortFoundList(std::vector<FoundLine>& found);
// The known hive files of a folder, in the order of kKnownHiveNames.
void AddKnownHivesIn(const std::string& folder, const AddName& add);
// A chosen file, or the known hives of a chosen folder; a folder named as "." or ".." (a path
// ending in a separator and one or two dots) stands for every file in it (expand).
void AddPathToHiveList(std::string path, const AddName& add, const AddName& expand);
// The hive files of one line: its file, or the known hives of its folder.
void AddHivesOfLine(const FoundLine& line, const AddName& add, const AddName& expand);
// The lines a full search (searchDisks: the drives of driveList, or every fixed disk) or the known
// places find, in the order of the selection window.
std::vector<FoundLine> FindHiveLines(SearchProgress& progress, bool searchDisks, const std::string& driveList);
// The hive files of every line the selection window would list, in its order, each once: what a
// run without a hive name checks in line mode, and what /f prints.
std::vector<std::string> FindHives(SearchProgress& progress, bool searchDisks, const std::string& driveList);
// The whole step of a run that names no hive: the search or the known places, the selection
// window (or, with nothing found, the path field), and the names of the choice given to add.
void DiscoverAndSelectHives(SelectionUi& ui, bool searchDisks, const std::string& driveList, const AddName& add,
                            const AddName& expand);

}  // namespace tarvos::discovery
