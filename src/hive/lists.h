// Reading a key's own subkey list outside the walk: which keys it names, through one level of an
// index root, as the cells stand. Nothing is checked or repaired here, and nothing outside a
// cell is read.
#pragma once

#include <cstdint>
#include <vector>

#include "hive/frames.h"
#include "hive/image.h"

namespace tarvos::hive {

// The entries of the key's own list, in list order; empty when it has none that can be read.
std::vector<uint32_t> SubkeyEntries(HiveImage& image, FrameTable& frames, uint32_t key);

// Whether an allocated key cell's own list names target.
bool ListsKey(HiveImage& image, FrameTable& frames, uint32_t key, uint32_t target);

}  // namespace tarvos::hive
