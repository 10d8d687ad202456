// New cells, for the repairs that need one: a free cell large enough (split when what is left
// makes a cell of its own), otherwise a new frame appended at the end of the hive, with the hive's
// data size and the base block's checksum brought up to date. A new cell is in the cell table at
// once, so that later checks see it.
#pragma once

#include <cstdint>

#include "hive/frames.h"
#include "hive/image.h"

namespace tarvos::hive {

// The hive offset of a new allocated cell of at least size bytes (its size field included), zero
// after its size field; kNullOffset when neither memory nor room is left. The image may move:
// no pointer into it may be held across the call. Once the caller has written the cell's
// signature, FrameTable::Reclassify gives the table its kind.
uint32_t AllocateCell(HiveImage& image, FrameTable& frames, uint32_t size);

}  // namespace tarvos::hive
