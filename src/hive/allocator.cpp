#include "hive/allocator.h"

#include <cstring>

#include "hive/layout.h"

namespace tarvos::hive {

uint32_t AllocateCell(HiveImage& image, FrameTable& frames, uint32_t size) {
  size = size < cell::kAlignment ? cell::kAlignment : (size + cell::kAlignment - 1) & ~(cell::kAlignment - 1);
  // A free cell that nothing refers to.
  uint32_t found = kNullOffset;
  uint32_t foundLength = 0;
  frames.ForEachCell([&](uint32_t offset, const CellEntry& entry) {
    if (found != kNullOffset || (entry.kind & kCellSideMark) != 0) return;
    uint32_t field = Le32(image.AtHiveOffset(offset));
    if (static_cast<int32_t>(field) < 0 || (frames.FreeCellMark() != 0 && (field & frames.FreeCellMark()) != 0)) return;
    if (field >= size && field % cell::kAlignment == 0) {
      found = offset;
      foundLength = field;
    }
  });
  if (found != kNullOffset) {
    uint8_t* cell = image.AtHiveOffset(found);
    uint32_t taken = foundLength - size >= cell::kAlignment ? size : foundLength;
    if (taken < foundLength) PutLe32(cell + taken, foundLength - taken);
    PutLe32(cell, 0u - taken);
    std::memset(cell + 4, 0, taken - 4);
    return found;
  }

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
  uint8_t* cell = header + frame::kHeaderSize;
  PutLe32(cell, 0u - size);
  uint32_t rest = frameSize - frame::kHeaderSize - size;
  if (rest > 0) PutLe32(cell + size, rest);
  uint8_t* block = image.BaseBlock();
  image.declaredDataSize = frameOffset + frameSize - kBaseBlockSize;
  PutLe32(block + base::kHiveDataSize, image.declaredDataSize);
  PutLe32(block + base::kChecksum, HeaderChecksum(block));
  if (!frames.AppendFrame(frameOffset, frameSize)) return kNullOffset;
  return frameOffset - kBaseBlockSize + frame::kHeaderSize;
}

}  // namespace tarvos::hive
