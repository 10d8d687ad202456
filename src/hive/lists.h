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

// Windows keeps a key's list (the leaves of an index root one after another) in the order of its
// keys' names, upper-cased and compared as UTF-16 units, and finds a key by a binary search of it.
// Whether the key's own list is in that order (names alike side by side count as in order). A
// list with an entry that is not a whole key cell is left to the walk and counts as in order.
// Reads the names in place: nothing is allocated.
bool InNameOrder(HiveImage& image, FrameTable& frames, uint32_t key);
// The entries of a key's own list, in name order, whose names equal the name before them
// (ignoring case), in list order.
std::vector<uint32_t> NamesAlike(HiveImage& image, FrameTable& frames, uint32_t key);
// Puts the key's own list in that order: the entries move between the places the list has (its
// leaves keep their counts), each with the hint or hash its leaf keeps. False when it holds an
// entry that is not a usable key cell, and then nothing is changed.
bool SortByName(HiveImage& image, FrameTable& frames, uint32_t key);

}  // namespace tarvos::hive
