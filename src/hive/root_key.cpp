// The root key: found among the key cells, made anew where it was destroyed, or moved to a cell
// that holds its name.
#include <cstring>

#include "hive/allocator.h"
#include "hive/bytes.h"
#include "hive/frames.h"
#include "hive/layout.h"

namespace tarvos::hive {

void WriteEmptyKey(uint8_t* k, uint16_t flags, uint32_t parent, uint32_t security) {
  PutLe16(k + cell::kSignature, cell::kKeySignature);
  PutLe16(k + key::kFlags, flags);
  PutLe32(k + key::kParent, parent);
  PutLe32(k + key::kSubkeyList, kNullOffset);
  PutLe32(k + key::kSubkeyList + 4, kNullOffset);  // the volatile list
  PutLe32(k + key::kValueList, kNullOffset);
  PutLe32(k + key::kSecurity, security);
  PutLe32(k + key::kClass, kNullOffset);
}

uint32_t FrameTable::FirstRootKey() const {
  uint32_t found = kNullOffset;
  ForEachCell([&](uint32_t offset, const CellEntry& c) {
    if (found == kNullOffset && (c.kind & kCellKindMask) == kCellRootKey && IsUsableKey(offset)) found = offset;
  });
  return found;
}

bool FrameTable::IsUsableKey(uint32_t hiveOffset) const {
  const uint8_t* cell = image_->AtHiveOffset(hiveOffset);
  uint32_t field = Le32(cell);
  if (static_cast<int32_t>(field) >= 0) return false;
  return Le16(cell + cell::kSignature) == cell::kKeySignature && SizeFieldLength(field) >= key::kName;
}

namespace {
constexpr char kRootName[] = "ROOT";
constexpr uint16_t kRootNameLength = sizeof kRootName - 1;
}  // namespace

bool FrameTable::HoldsItsName(uint32_t key) const {
  const uint8_t* k = image_->AtHiveOffset(key);
  uint32_t length = SizeFieldLength(Le32(k));
  uint16_t name = Le16(k + key::kNameLength);
  return name > 0 && length >= key::kName + uint32_t{name};
}

uint32_t FrameTable::NewRootKey() {
  uint32_t root = AllocateCell(*image_, *this, key::kName + kRootNameLength);
  if (root == kNullOffset) return kNullOffset;
  uint8_t* k = image_->AtHiveOffset(root);
  if (k == nullptr) return kNullOffset;
  // No security block yet: the walk finds it one.
  WriteEmptyKey(k, key::kFlagHiveEntry | key::kFlagNoDelete | key::kFlagCompressedName, kNullOffset, kNullOffset);
  PutLe16(k + key::kNameLength, kRootNameLength);
  std::memcpy(k + key::kName, kRootName, kRootNameLength);
  Reclassify(root);
  return root;
}

uint32_t FrameTable::MoveRootKey(uint32_t root) {
  uint32_t moved = AllocateCell(*image_, *this, key::kName + kRootNameLength);
  if (moved == kNullOffset) return kNullOffset;
  // The image may have moved: the cells are looked up again.
  uint8_t* to = image_->AtHiveOffset(moved);
  uint8_t* from = image_->AtHiveOffset(root);
  if (to == nullptr || from == nullptr) return kNullOffset;
  std::memcpy(to + 4, from + 4, key::kName - 4);
  PutLe16(to + key::kNameLength, kRootNameLength);
  PutLe16(to + key::kFlags, static_cast<uint16_t>(Le16(to + key::kFlags) | key::kFlagCompressedName));
  std::memcpy(to + key::kName, kRootName, kRootNameLength);
  Reclassify(moved);
  PutLe32(from, SizeFieldLength(Le32(from)));  // the old cell is free; its keys find their new parent
  image_->NoteFreedByRepair(root, SizeFieldLength(Le32(from)));
  return moved;
}

// The key cell that heads the largest tree of keys whose parent links lead to nothing: the root
// whose flags or field were lost. kNullOffset when there is no usable key cell.
uint32_t FrameTable::LargestOrphanTree() const {
  SoftArray<uint32_t> keys;
  bool complete = true;
  ForEachCell([&](uint32_t offset, const CellEntry& c) {
    uint8_t kind = c.kind & kCellKindMask;
    if ((kind == kCellKey || kind == kCellRootKey) && IsUsableKey(offset)) complete = complete && keys.Push(offset);
  });
  if (!complete || keys.Size() == 0) return kNullOffset;
  auto indexOf = [&](uint32_t offset) -> size_t {  // the table's order is the hive's
    size_t low = 0, high = keys.Size();
    while (low < high) {
      size_t middle = (low + high) / 2;
      if (keys[middle] < offset) low = middle + 1; else high = middle;
    }
    return low < keys.Size() && keys[low] == offset ? low : keys.Size();
  };
  // Each key's top, found once: 0 not yet, else the top's index + 1.
  SoftArray<uint32_t> top, chain;
  SoftArray<uint32_t> size;
  if (!top.Resize(keys.Size()) || !size.Resize(keys.Size())) return kNullOffset;
  for (size_t i = 0; i < keys.Size(); ++i) {
    if (top[i] != 0) continue;
    chain.Clear();
    size_t at = i;
    uint32_t found = 0;
    for (;;) {
      if (top[at] != 0) {
        found = top[at];
        break;
      }
      top[at] = 0xFFFFFFFF;  // on the chain now: meeting it again is a loop, whose start is the top
      if (!chain.Push(static_cast<uint32_t>(at))) return kNullOffset;
      size_t parent = indexOf(Le32(image_->AtHiveOffset(keys[at]) + key::kParent));
      if (parent == keys.Size() || top[parent] == 0xFFFFFFFF) {
        found = static_cast<uint32_t>(at) + 1;
        break;
      }
      at = parent;
    }
    for (size_t c = 0; c < chain.Size(); ++c) top[chain[c]] = found;
    size[found - 1] += static_cast<uint32_t>(chain.Size());
  }
  size_t best = 0;
  for (size_t i = 1; i < keys.Size(); ++i) {
    if (size[i] > size[best]) best = i;
  }
  return keys[best];
}

bool FrameTable::NamedAsParent(uint32_t offset) const {
  bool named = false;
  ForEachCell([&](uint32_t key, const CellEntry& c) {
    const uint8_t kind = c.kind & kCellKindMask;
    if (!named && (kind == kCellKey || kind == kCellRootKey) && key != offset && IsUsableKey(key)) {
      named = Le32(image_->AtHiveOffset(key) + key::kParent) == offset;
    }
  });
  return named;
}

bool FrameTable::CheckRoot() {
  uint32_t root = image_->rootKeyOffset;
  bool bad = root == kNullOffset || OffsetCheck(root) != kOffsetValid ||
             (Lookup(root)->kind & kCellKindMask) != kCellRootKey || !IsUsableKey(root);
  if (!bad && HoldsItsName(root)) return true;
  if (!bad) {
    // A root too small for a name is moved rather than dropped: the walk could not keep it.
    if (!faults_->ReportAndFix(kDataOverlapped, root, FieldRef::None(), 0)) return false;
  } else if (!faults_->ReportAndFix(kInvalidStartOffset, kNullOffset, FieldRef::None(), 0)) {
    return false;
  }
  // Only an allocated key cell can be the root: one marked as the root; else the key the field
  // names, whose flags were lost; else, when keys name the field's offset as their parent, a new
  // root that stands for the one destroyed there, under which they go back; else the head of the
  // largest tree that hangs from nothing; else a new empty root.
  uint32_t found = bad ? FirstRootKey() : root;
  if (found == kNullOffset && IsKeyAt(root)) {
    found = root;
  }
  if (found == kNullOffset && root != kNullOffset && NamedAsParent(root)) {
    found = NewRootKey();
    if (found != kNullOffset) image_->standIns[root] = found;
  }
  if (found == kNullOffset) found = LargestOrphanTree();
  if (found == kNullOffset) found = NewRootKey();
  if (found != kNullOffset && !HoldsItsName(found)) found = MoveRootKey(found);
  if (found == kNullOffset) {
    faults_->ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  uint8_t* flags = image_->AtHiveOffset(found) + key::kFlags;
  PutLe16(flags, static_cast<uint16_t>(Le16(flags) | key::kFlagHiveEntry | key::kFlagNoDelete));
  Reclassify(found);
  uint8_t* block = image_->BaseBlock();
  PutLe32(block + base::kRootKeyOffset, found);
  PutLe32(block + base::kChecksum, HeaderChecksum(block));
  image_->rootKeyOffset = found;
  faults_->MarkChanged();
  return true;
}

}  // namespace tarvos::hive
