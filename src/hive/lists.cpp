#include "hive/lists.h"

namespace tarvos::hive {

namespace {

bool IsListKind(uint8_t kind) { return kind >= kCellIndexLeaf && kind <= kCellHashLeaf; }

// Calls visit(entry) for each entry of the list cell, stepping into the leaves of an index root
// (one level: a root within a root is not followed); stops when visit answers false.
template <typename Visit>
bool VisitList(HiveImage& image, FrameTable& frames, uint32_t list, int depth, Visit& visit) {
  if (frames.OffsetCheck(list) != kOffsetValid || list == kNullOffset) return true;
  const uint8_t kind = frames.Lookup(list)->Kind() & kCellKindMask;
  if (!IsListKind(kind) || (depth > 0 && kind == kCellIndexRoot)) return true;
  const uint8_t* cell = image.AtHiveOffset(list);
  const uint32_t length = SizeFieldLength(Le32(cell));
  const uint32_t stride = list::EntryStride(kind);
  const uint32_t count = Le16(cell + list::kCount);
  if (list::kEntries + uint64_t{stride} * count > length) return true;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t target = Le32(cell + list::kEntries + stride * i);
    if (kind == kCellIndexRoot) {
      if (!VisitList(image, frames, target, depth + 1, visit)) return false;
      cell = image.AtHiveOffset(list);
    } else if (!visit(target)) {
      return false;
    }
  }
  return true;
}

uint32_t OwnList(HiveImage& image, FrameTable& frames, uint32_t key) {
  if (frames.OffsetCheck(key) != kOffsetValid || key == kNullOffset) return kNullOffset;
  const uint8_t kind = frames.Lookup(key)->Kind() & kCellKindMask;
  if ((kind != kCellKey && kind != kCellRootKey) || !frames.IsUsableKey(key)) return kNullOffset;
  return Le32(image.AtHiveOffset(key) + key::kSubkeyList);
}

}  // namespace

std::vector<uint32_t> SubkeyEntries(HiveImage& image, FrameTable& frames, uint32_t key) {
  std::vector<uint32_t> entries;
  auto collect = [&entries](uint32_t target) {
    entries.push_back(target);
    return true;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, collect);
  return entries;
}

bool ListsKey(HiveImage& image, FrameTable& frames, uint32_t key, uint32_t target) {
  bool found = false;
  auto seek = [&](uint32_t entry) {
    found = entry == target;
    return !found;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, seek);
  return found;
}

}  // namespace tarvos::hive
