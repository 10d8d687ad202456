#include "hive/lists.h"

#include <algorithm>

#include "hive/names.h"

namespace tarvos::hive {

namespace {

bool IsListKind(uint8_t kind) { return kind >= kCellIndexLeaf && kind <= kCellHashLeaf; }

// Calls visit(entry, leaf, slot) for each entry of the list cell (slot: the hive offset of the
// entry in its leaf), stepping into the leaves of an index root (one level: a root within a root
// is not followed); stops when visit answers false.
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
    } else if (!visit(target, list, list + list::kEntries + stride * i)) {
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
  auto collect = [&entries](uint32_t target, uint32_t, uint32_t) {
    entries.push_back(target);
    return true;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, collect);
  return entries;
}

bool ListsKey(HiveImage& image, FrameTable& frames, uint32_t key, uint32_t target) {
  bool found = false;
  auto seek = [&](uint32_t entry, uint32_t, uint32_t) {
    found = entry == target;
    return !found;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, seek);
  return found;
}

namespace {

// The name of a listed key, or none when the entry is not an allocated key cell within the image
// that holds its fixed fields (the entries the walk kept are all checked keys; this only keeps a
// reading inside the image).
bool NameOfEntry(HiveImage& image, FrameTable& frames, uint32_t entry, StoredName& name) {
  if (entry % 4 != 0 || uint64_t{entry} + kBaseBlockSize + key::kName > image.Size() || !frames.IsUsableKey(entry)) {
    return false;
  }
  uint8_t* cell = image.AtHiveOffset(entry);
  const uint32_t length = SizeFieldLength(Le32(cell));
  if (uint64_t{entry} + kBaseBlockSize + length > image.Size()) return false;
  name = StoredName::OfKey(cell, length);
  return true;
}

}  // namespace

bool InNameOrder(HiveImage& image, FrameTable& frames, uint32_t key) {
  StoredName previous, current;
  bool first = true, ordered = true;
  auto step = [&](uint32_t entry, uint32_t, uint32_t) {
    if (!NameOfEntry(image, frames, entry, current)) return false;  // the walk's to judge
    ordered = first || CompareNames(previous, current) <= 0;
    first = false;
    previous = current;
    return ordered;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, step);
  return ordered;
}

std::vector<uint32_t> NamesAlike(HiveImage& image, FrameTable& frames, uint32_t key) {
  std::vector<uint32_t> alike;
  StoredName previous, current;
  bool first = true;
  auto step = [&](uint32_t entry, uint32_t, uint32_t) {
    if (!NameOfEntry(image, frames, entry, current)) return false;
    if (!first && CompareNames(previous, current) == 0) alike.push_back(entry);
    first = false;
    previous = current;
    return true;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, step);
  return alike;
}

bool SortByName(HiveImage& image, FrameTable& frames, uint32_t key) {
  struct Place {
    uint32_t slot;
    uint16_t signature;
  };
  std::vector<Place> places;
  std::vector<std::pair<StoredName, uint32_t>> named;  // the names read in place: nothing moves until all are sorted
  bool usable = true;
  auto collect = [&](uint32_t entry, uint32_t leaf, uint32_t slot) {
    StoredName name;
    usable = NameOfEntry(image, frames, entry, name);
    if (!usable) return false;
    places.push_back({slot, Le16(image.AtHiveOffset(leaf) + cell::kSignature)});
    named.emplace_back(name, entry);
    return true;
  };
  VisitList(image, frames, OwnList(image, frames, key), 0, collect);
  if (!usable) return false;
  std::stable_sort(named.begin(), named.end(),
                   [](const auto& a, const auto& b) { return CompareNames(a.first, b.first) < 0; });
  for (size_t i = 0; i < places.size(); ++i) {
    uint8_t* slot = image.AtHiveOffset(places[i].slot);
    const uint32_t entry = named[i].second;
    PutLe32(slot, entry);
    if (places[i].signature != cell::kIndexLeafSignature) {  // an "lf" or "lh" leaf: 8-byte entries
      const uint8_t* cell = image.AtHiveOffset(entry);
      PutLe32(slot + 4, ListHint(places[i].signature, cell, SizeFieldLength(Le32(cell))));
    }
  }
  return true;
}

}  // namespace tarvos::hive
