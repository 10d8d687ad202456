// Keys that this run's repairs cut off, found again, as a file system checker links lost inodes
// back: a key cell names its parent. Each chain of sound key cells that the walk did not reach
// goes back under the key its topmost cell names, when a repair of this run cut it off there, or
// into "lost+found" under the root when the key it names is gone. Chains that hang from a key
// whose list no repair touched stay as they are: Windows leaves such cells behind on purpose.
#pragma once

#include <cstdint>

#include "hive/engine_io.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/walk.h"

namespace tarvos::hive {

inline constexpr const char* kLostAndFound = "lost+found";

// Runs between the walk (whose marks tell what it reached) and the removal of its marks. True
// when a key was brought back: the tree must then be walked again, so that every key brought
// back is checked like any other.
bool SalvageKeys(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log);

// The hash of a name in an "lh" list, as Windows computes it (upper-cased characters).
uint32_t NameHash(const uint8_t* keyCell);

}  // namespace tarvos::hive
