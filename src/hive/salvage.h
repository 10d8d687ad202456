// Keys that this run's repairs cut off, found again, as a file system checker links lost inodes
// back: a key cell names its parent. Each chain of sound key cells that the walk did not reach
// goes back under the key its topmost cell names, when a repair of this run cut it off there, or
// into "lost+found" under the root when the key it names is gone. Chains that hang from a key
// whose list no repair touched stay as they are: Windows leaves such cells behind on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hive/engine_io.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/walk.h"

namespace tarvos::hive {

inline constexpr const char* kLostAndFound = "lost+found";

// Runs between the walk (whose marks tell what it reached) and the removal of its marks. True
// when a key was brought back: every key brought back must then be walked, so that it is checked
// like any other. The top key of each chain brought back is added to chains, and each key whose
// list was written anew to written (in the order written).
bool SalvageKeys(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log,
                 std::vector<uint32_t>& chains, std::vector<uint32_t>& written);

// The path of a key in the tree, climbed through parent fields to the root ("\A\B"), its
// characters as the walk shows them; what cannot be climbed ends it with "?".
std::string KeyPathOf(HiveImage& image, FrameTable& frames, uint32_t key);

// A key whose value list salvage wrote anew, and how many of the entries at the head of the new
// list the old one held (those the walk checked already).
struct ValuesAdded {
  uint32_t key;
  uint32_t kept;
};

// After the keys: value cells in use that no key's list names any more (their list or its entry
// was lost) go back to the key that lost them where that can be known, else to "lost+found", so
// that their names and data stay. True when any did: what they went to must then be checked.
// Each key given values is added to added, and each key whose list of keys was written
// anew (the root's, for a new "lost+found") to written.
bool SalvageValues(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log,
                   std::vector<ValuesAdded>& added, std::vector<uint32_t>& written);

// Keys at and below each of the keys given, through the lists of the walked tree, in the order
// given.
std::vector<uint64_t> KeysBelow(HiveImage& image, FrameTable& frames, const std::vector<uint32_t>& tops);

}  // namespace tarvos::hive
