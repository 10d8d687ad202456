// An outside judge of hive images for tests: it reads the bytes itself, never through the engine's
// frame table or key walk, so that what the engine keeps and repairs is measured independently.
// Images are whole files (hive offset + 4096 is the file offset); nothing outside one is read,
// whatever it holds.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvos::testing {

// The keys a careful reader could still place in a damaged hive: key cells found page by page in
// sound frames (a frame whose cells go wrong is lost from there to the next sound frame header),
// whose parent fields lead to the root through such key cells only. Hive offsets, the root's
// included; empty when no root is found.
std::set<uint32_t> IntactKeys(const std::vector<uint8_t>& image);

// The key tree of a hive as it is read from the base block's root through the subkey lists.
struct TreeReport {
  std::set<uint32_t> reachable;         // hive offsets of the keys reached, the root's included
  std::map<uint32_t, uint32_t> values;  // hive offsets of the value cells the reached keys list, to the key's
  std::vector<std::string> duplicates;  // "0xPARENT: NAME" for subkeys, "0xKEY: value NAME" for values,
                                        // whose names differ only by case
  std::vector<std::string> unordered;   // "0xPARENT: NAME NAME..." for lists that hold names out of order
  std::vector<std::string> mishashed;   // "0xLEAF: NAME" for entries whose hint or hash is not their name's
  bool sound = true;                    // false once anything malformed is met
  std::string firstFault;               // what made it unsound, for messages
};
TreeReport ReadTree(const std::vector<uint8_t>& image);

// Of the keys intact in a damaged image, how many a repaired image's tree still holds, and how many
// of those under another parent than the one their parent field gave in the damaged image.
struct KeptKeys {
  size_t kept = 0, moved = 0;
};
KeptKeys Kept(const std::set<uint32_t>& intact, const std::vector<uint8_t>& damaged, const TreeReport& repairedTree,
              const std::vector<uint8_t>& repaired);

// What a repair dropped that the damage spared: the keys and values of a sound hive's tree whose
// own cells, and the cells of the keys above them, hold the same bytes at the same places in the
// damaged image, and that the repaired tree no longer holds (anywhere in it). Values count whose
// key is spared and whose list is too; those whose own cell is spared but not their list are
// counted apart, with those the repaired tree holds under their own key.
struct Spared {
  size_t keys = 0, values = 0;                // spared by the damage
  size_t droppedKeys = 0, droppedValues = 0;  // of those, not in the repaired tree
  size_t listLost = 0, home = 0;              // values of a damaged list; of those, back at their key
};
Spared SparedItems(const std::vector<uint8_t>& sound, const std::vector<uint8_t>& damaged, const TreeReport& repairedTree);

// Whether the other hive readers installed (hivexml, regfexport) open a hive file; refusedBy names
// those that refuse it. A reader named in skip is not asked.
bool OthersOpen(const std::string& path, std::string& refusedBy, const std::string& skip = "");

}  // namespace tarvos::testing
