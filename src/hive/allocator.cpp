#include "hive/allocator.h"

#include <cstring>

#include "hive/layout.h"

namespace tarvos::hive {

namespace {

// Gathers the free cells that nothing can still name: free as the hive was loaded (not freed by a
// repair of this run, which old references of keys not yet reached may still name), or in a
// frame this run added.
void GatherSpare(HiveImage& image, FrameTable& frames) {
  FrameTable::SpareCells& spare = frames.Spare();
  spare.gathered = true;
  spare.byLength.clear();
  frames.ForEachCell([&](uint32_t offset, const CellEntry& entry) {
    if ((entry.kind & kCellReached) != 0) return;
    uint32_t field = Le32(image.AtHiveOffset(offset));
    if (static_cast<int32_t>(field) < 0) return;
    if (field < cell::kAlignment || field % cell::kAlignment != 0 || image.FreedByRepairs(offset, field)) return;
    spare.byLength.emplace(field, offset);
  });
}

// Whether a hive offset lies in the last frame of the table.
bool InLastFrame(const FrameTable& frames, uint32_t hiveOffset) {
  uint32_t page = (hiveOffset + kBaseBlockSize) / kPageSize;
  uint32_t last = frames.PageCount() - 1;
  if (page > last) return false;
  uint32_t head = frames.Page(last).frameSize == FramePage::kContinuation ? frames.Page(last).allocated : last;
  return page >= head;
}

}  // namespace

uint32_t AllocateCell(HiveImage& image, FrameTable& frames, uint32_t size) {
  size = size < cell::kAlignment ? cell::kAlignment : (size + cell::kAlignment - 1) & ~(cell::kAlignment - 1);
  FrameTable::SpareCells& spare = frames.Spare();
  if (!spare.gathered) GatherSpare(image, frames);
  // The smallest spare cell that is large enough.
  auto best = spare.byLength.lower_bound(size);
  if (best == spare.byLength.end()) {
    // A frame of its own at the end of the hive.
    uint32_t frameSize = (size + frame::kHeaderSize + kPageSize - 1) & kPageMask;
    uint32_t frameOffset = image.Size();
    if (frameOffset % kPageSize != 0 || frameOffset - kBaseBlockSize > txlog::kMaxDataSize - frameSize ||
        !image.Grow(frameOffset + frameSize)) {
      return kNullOffset;
    }
    uint8_t* header = image.Buffer() + frameOffset;
    PutLe32(header + frame::kSignature, frame::kSignatureValue);
    PutLe32(header + frame::kOwnOffset, frameOffset - kBaseBlockSize);
    PutLe32(header + frame::kSize, frameSize);
    PutLe32(header + frame::kHeaderSize, frameSize - frame::kHeaderSize);  // one free cell
    uint8_t* block = image.BaseBlock();
    image.declaredDataSize = frameOffset + frameSize - kBaseBlockSize;
    PutLe32(block + base::kHiveDataSize, image.declaredDataSize);
    PutLe32(block + base::kChecksum, HeaderChecksum(block));
    if (!frames.AppendFrame(frameOffset, frameSize)) return kNullOffset;
    best = spare.byLength.emplace(frameSize - frame::kHeaderSize, frameOffset - kBaseBlockSize + frame::kHeaderSize);
  }
  const uint32_t found = best->second;
  const uint32_t foundLength = best->first;
  spare.byLength.erase(best);
  uint8_t* cell = image.AtHiveOffset(found);
  uint32_t taken = foundLength - size >= cell::kAlignment ? size : foundLength;
  if (taken < foundLength) PutLe32(cell + taken, foundLength - taken);
  PutLe32(cell, 0u - taken);
  std::memset(cell + 4, 0, taken - 4);
  // What is left of a cell of the last frame (the new frames are there) joins the table, so that
  // it can be taken in turn; elsewhere it waits for the next frame pass.
  if (taken < foundLength && InLastFrame(frames, found)) {
    if (!frames.RefreshLastFrame()) return kNullOffset;
    spare.byLength.emplace(foundLength - taken, found + taken);
  }
  return found;
}

}  // namespace tarvos::hive
