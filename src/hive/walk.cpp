#include "hive/walk.h"

#include <cstdio>
#include <cstring>

#include "hive/lists.h"
#include "hive/names.h"
#include "hive/second_walker.h"
#include "hive/security.h"
#include "hive/values.h"

namespace tarvos::hive {

bool KeyPathBuffer::Grow(size_t bytes) {
  size_t capacity = text_.Size();
  while (capacity < bytes) capacity += kStep;
  return capacity == text_.Size() || text_.Resize(capacity);
}

uint8_t DisplayChar(uint16_t unit) {
  uint8_t low = static_cast<uint8_t>(unit);
  uint8_t high = static_cast<uint8_t>(unit >> 8);
  if (high == 0x00) {
    if (low < 0x20) return 0x20;
    if (low < 0x80) return low;
    if (low == 0x80) return 0xF0;
  } else if (high == 0x04 && low <= 0x80) {
    if (low < 0x10) return static_cast<uint8_t>(0xF0 + low);
    if (low < 0x40) return static_cast<uint8_t>(0x80 + (low - 0x10));
    if (low < 0x50) return static_cast<uint8_t>(0xE0 + (low - 0x40));
    if (low < 0x60) return static_cast<uint8_t>(0xC0 + (low - 0x50));
    if (low < 0x70) return static_cast<uint8_t>(0xD0 + (low - 0x60));
    if (low < 0x80) return static_cast<uint8_t>(0xB0 + (low - 0x70));
    return 0x00;
  }
  return '?';
}

namespace {

bool IsList(uint8_t kind) { return kind >= kCellIndexLeaf && kind <= kCellHashLeaf; }

}  // namespace

void KeyWalk::Release() {
  takenOver_ = 0;
  current_ = nullptr;
  tag_ = 0;
  lastKeyTag_ = 0;
  security_.SetTag(0);
  FreeRecordsBelow(root_);
  for (WalkNode& added : added_) FreeRecordsBelow(added);
  added_.clear();
  stack_.Clear();
  keys_ = 0;
  listsRepaired_.clear();
  takenOut_.clear();
  takenOutOf_.clear();
  listed_.clear();
  namesUnder_.clear();
  walkedBefore_.clear();
}

void KeyWalk::FreeRecordsBelow(WalkNode& top) {
  // Without recursion: down to a record whose children have none of their own, free, go back up.
  WalkNode* node = &top;
  uint32_t from = 0;
  for (;;) {
    WalkNode* next = nullptr;
    for (uint32_t i = from; i < node->childCount && node->children != nullptr; ++i) {
      if (node->children[i].children != nullptr) {
        next = &node->children[i];
        break;
      }
    }
    if (next != nullptr) {
      node = next;
      from = 0;
      continue;
    }
    std::free(node->children);
    node->children = nullptr;
    node->childCount = 0;
    if (node == &top || node->parent == nullptr) break;
    WalkNode* parent = node->parent;
    from = static_cast<uint32_t>(node - parent->children) + 1;
    node = parent;
  }
}

bool KeyWalk::AllocateChildren(WalkNode& node, uint32_t count) {
  node.children = static_cast<WalkNode*>(std::calloc(count, sizeof(WalkNode)));
  node.childCount = node.children != nullptr ? count : 0;
  return node.children != nullptr;
}

WalkOutcome KeyWalk::Run() {
  Release();
  root_ = WalkNode{};
  uint32_t scratch = 0;
  enteringList_ = enteringPosition_ = kNullOffset;
  Step step = Enter(root_, image_.rootKeyOffset, kNullOffset, kNullOffset, scratch);
  return Drive(step, scratch);
}

WalkOutcome KeyWalk::RunShare(WalkNode& root, uint32_t list, uint32_t stride, uint32_t owner,
                              std::atomic<uint32_t>& claims, uint32_t count) {
  Release();
  shareCounter_ = 0;
  ListFrame frame{&root, list, stride, owner, 0, false, ListCompactor(Cell(list) + list::kEntries, count, stride), kNullOffset};
  frame.claims = &claims;
  frame.total = count;
  frame.share = true;
  if (!stack_.Push(frame)) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return WalkOutcome::Stop;
  }
  uint32_t scratch = 0;
  return Drive(Step::Pending, scratch);
}

WalkOutcome KeyWalk::Drive(Step step, uint32_t& scratch) {
  for (;;) {
    if (step == Step::Stop) {
      CloseLists();
      return WalkOutcome::Stop;
    }
    if (step != Step::Pending) {
      if (stack_.Size() == 0) return step == Step::Drop ? WalkOutcome::Drop : WalkOutcome::Continue;
      if (!HandleChild(stack_[stack_.Size() - 1], step)) {
        CloseLists();
        return WalkOutcome::Stop;
      }
    }
    size_t top = stack_.Size() - 1;
    ListFrame& frame = stack_[top];
    bool more = false;
    uint32_t slot = 0;
    if (frame.claims != nullptr) {
      slot = frame.claims->fetch_add(1, std::memory_order_relaxed);
      more = slot < frame.total;
      if (more) {
        tag_ = slot + 1;
        security_.SetTag(tag_);
      }
    } else {
      more = !frame.entries.Done();
      slot = frame.entries.Slot();
    }
    if (more) {
      WalkNode& child = frame.node->children[slot];
      child = WalkNode{};
      child.parent = frame.node;
      uint32_t position = frame.list + list::kEntries + frame.stride * slot;
      uint32_t target = frame.claims != nullptr ? Le32(Cell(position)) : Le32(frame.entries.Bring());
      if (frame.resumed && walkedBefore_.count(target) != 0) {
        // A key the walk checked before its list was written anew: kept, and counted.
        frame.entries.Keep();
        ++frame.counter;
        NoteName(frame.nested && top > 0 ? top - 1 : top, target);
        step = Step::Pending;  // nothing entered: no child to handle
        continue;
      }
      frame.target = target;
      enteringList_ = frame.list;
      enteringPosition_ = position;
      uint32_t counter = frame.counter;
      step = Enter(child, target, frame.owner, position, counter);
      stack_[top].counter = counter;  // the stack may have grown under the reference
      if (child.kind == WalkNode::kKey && child.keyOffset == target && (step == Step::Continue || step == Step::Pending)) {
        NoteName(stack_[top].nested && top > 0 ? top - 1 : top, target);
      }
      continue;
    }
    ListFrame done = frame;
    stack_.Resize(top);
    step = FinishFrame(done, stack_.Size() > 0 ? stack_[stack_.Size() - 1].counter : scratch);
    // A key whose keys were all walked needs their records no more, unless they are kept for
    // later or some key below may still wait for a security block.
    if (!done.nested && !done.share && done.node != &root_ && !keepRecords && security_.Pending() == 0) {
      FreeRecordsBelow(*done.node);
    }
  }
}

void KeyWalk::ReadAhead(const uint8_t* entries, uint32_t count, uint32_t stride) {
  constexpr uint32_t kBatch = 16;      // keys read together
  constexpr uint32_t kValuesRead = 8;  // values of a key read ahead; the walk reads any more itself
  uint32_t sum = 0;
  for (uint32_t first = 0; first < count; first += kBatch) {
    const uint32_t keys = count - first < kBatch ? count - first : kBatch;
    // One stage at a time: no read of a stage waits on another of the same stage.
    uint32_t valueLists[kBatch];
    uint32_t valueCounts[kBatch];
    for (uint32_t i = 0; i < keys; ++i) {
      uint32_t key = Le32(entries + stride * (first + i));
      valueCounts[i] = 0;
      if (!Readable(key, key::kName)) continue;
      valueLists[i] = Le32(Cell(key) + key::kValueList);
      uint32_t values = Le32(Cell(key) + key::kValueCount);
      valueCounts[i] = values < kValuesRead ? values : kValuesRead;
    }
    uint32_t values[kBatch * kValuesRead];
    uint32_t valueTotal = 0;
    for (uint32_t i = 0; i < keys; ++i) {
      if (valueCounts[i] == 0 || !Readable(valueLists[i], value::kListEntries + 4 * valueCounts[i])) continue;
      const uint8_t* listed = Cell(valueLists[i]) + value::kListEntries;
      for (uint32_t j = 0; j < valueCounts[i]; ++j) values[valueTotal++] = Le32(listed + 4 * j);
    }
    uint32_t data[kBatch * kValuesRead];
    uint32_t dataTotal = 0;
    for (uint32_t i = 0; i < valueTotal; ++i) {
      if (!Readable(values[i], value::kType)) continue;
      const uint8_t* v = Cell(values[i]);
      if ((Le32(v + value::kDataLength) & value::kDataInline) == 0) data[dataTotal++] = Le32(v + value::kData);
    }
    for (uint32_t i = 0; i < dataTotal; ++i) {
      if (Readable(data[i], 4)) sum += Cell(data[i])[0];
    }
  }
  readAhead_ += sum;
}

KeyWalk::Step KeyWalk::Enter(WalkNode& node, uint32_t target, uint32_t owner, uint32_t position, uint32_t& counter) {
  uint32_t rootTarget = target;  // the root's reference lives in the base block, not in a list
  current_ = node.parent;  // an entry of its owner's list
  FieldRef reference = position != kNullOffset ? FieldRef::Image32(Cell(position)) : FieldRef::Variable(rootTarget);
  if (frames_.OffsetCheck(target) != kOffsetValid) {
    return From(faults_.ReportFault(kInvalidOffset, position, reference, 0));
  }
  if (target == kNullOffset) {
    return From(faults_.ReportFault(kNullOffsetInKeyList, position, FieldRef::None(), 0));
  }
  // A key that two lists name belongs to the one its own parent field names, when that key's
  // list does name it: the entry here is the stray claim, and goes.
  const uint8_t targetKind = frames_.Lookup(target)->Kind() & kCellKindMask;
  if (owner != kNullOffset && (targetKind == kCellKey || targetKind == kCellRootKey) && frames_.IsUsableKey(target)) {
    uint32_t parent = Le32(Cell(target) + key::kParent);
    if (parent != owner && parent != target && Lists(parent, target)) {
      // Fixed by taking the entry out: the key's own parent field stays as it is.
      if (!faults_.ReportAndFix(kParentOffsetMismatch, target + key::kParent, FieldRef::None(), 0)) return Step::Stop;
      return Step::Drop;
    }
  }
  // Only an index root holds lists, and only leaves: any other entry names a key. A list named
  // where a key should be is left unmarked, for the key whose list it is.
  const uint8_t kind = targetKind;
  const bool inIndexRoot = enteringList_ != kNullOffset && position != kNullOffset &&
                           Le16(Cell(enteringList_) + cell::kSignature) == cell::kIndexRootSignature;
  const bool leafOfRoot = IsList(kind) && inIndexRoot && kind != kCellIndexRoot;
  if (IsList(kind) && !leafOfRoot) {
    return From(faults_.ReportFault(kNotAKeyCell, target + cell::kSignature, FieldRef::None(), 0));
  }
  Step marked = From(marks_.MarkCell(target));
  if (marked != Step::Continue) return marked;
  if (leafOfRoot) return BeginNestedList(node, owner, target, kind);
  if (kind != kCellKey && kind != kCellRootKey) {
    // The entry goes, and the cell stays for whatever names it as what it is (a value its key).
    Step dropped = From(faults_.ReportFault(kNotAKeyCell, target + cell::kSignature, FieldRef::None(), 0));
    if (dropped == Step::Drop) marks_.Unmark(target);
    return dropped;
  }
  node.keyOffset = target;
  current_ = &node;
  Step checked = CheckKey(node, owner, counter, target);
  if (checked == Step::Drop) {  // counted, then dropped: not counted after all
    --counter;
    --keys_;
  }
  if (checked != Step::Continue) return checked;
  // A key without a list of its own, a link key too, counts no keys: every reader takes the
  // count for the list's length.
  return From(CountCheck(target, 0));
}

KeyWalk::Step KeyWalk::CheckKey(WalkNode& node, uint32_t owner, uint32_t& counter, uint32_t key) {
  ++counter;
  ++keys_;
  uint8_t* k = Cell(key);
  uint32_t length = marks_.CellLength(key);
  // The root's parent field is left alone: Windows keeps a stale link there. A cell too small to
  // hold the field goes straight to the overlap check below.
  if (owner != kNullOffset && length >= key::kParent + 4) {
    FieldRef parent = FieldRef::Image32(k + key::kParent);
    if (frames_.OffsetCheck(parent.Get()) != kOffsetValid) {
      if (!faults_.ReportAndFix(kInvalidOffset, key + key::kParent, parent, 0)) return Step::Stop;
      parent.Set(owner);
      faults_.MarkChanged();
    } else if (parent.Get() != owner) {
      if (!faults_.ReportAndFix(kParentOffsetMismatch, key + key::kParent, parent, owner)) return Step::Stop;
      // The list held a key of another: it was not as written, and keys it lost may name its owner.
      listsRepaired_.push_back(owner);
    }
  }
  uint64_t needed = key::kName + (length >= key::kName ? Le16(k + key::kNameLength) : 0);
  if (needed > length && length >= key::kName && !CutName(owner, key, length)) return Step::Stop;
  needed = key::kName + (length >= key::kName ? Le16(k + key::kNameLength) : 0);
  Step fits = From(marks_.CheckOverlap(key, needed));
  if (fits != Step::Continue) return fits;
  // A key cell with no room for a name is none Windows writes, and no name can be given it: the
  // key goes (code 20), and the keys below it come back under a key made to stand for it.
  if (owner != kNullOffset && length <= key::kName && Le16(k + key::kNameLength) == 0) {
    return From(faults_.ReportFault(kNotAKeyCell, key, FieldRef::None(), 0));
  }
  if (!CheckName(key) || !CheckSiblingName(owner, key) || !CheckClass(key)) return Step::Stop;

  BuildKeyPath(node, key);
  ProgressSink& progress = faults_.Services().progress;
  if (!progress.PollProgress(key)) return Step::Stop;
  progress.ShowStatusLine(path_.Text(node.pathLength));
  lastPath_ = node.pathLength;
  lastKey_ = key;
  lastKeyTag_ = tag_;

  const uint32_t valueList = Le32(k + key::kValueList), valueCount = Le32(k + key::kValueCount);
  WalkOutcome values = values_.CheckKeyValues(key);
  if (values == WalkOutcome::Stop) return Step::Stop;
  if (values == WalkOutcome::Drop) values_.UnhookList(key, valueList, valueCount);

  const WalkNode* ancestor = node.parent;
  while (ancestor != nullptr && ancestor->kind != WalkNode::kKey) ancestor = ancestor->parent;
  node.checked = true;
  WalkOutcome security = security_.CheckKeySecurity(key, ancestor, root_);
  if (security == WalkOutcome::Stop) return Step::Stop;
  if (security == WalkOutcome::Drop) {
    // The key takes its nearest ancestor's block. The root has none to take: it waits for the
    // next block registered, as keys do whose ancestors have none either.
    uint32_t inherited = ancestor != nullptr ? Le32(Cell(ancestor->keyOffset) + key::kSecurity) : kNullOffset;
    PutLe32(k + key::kSecurity, inherited);
    if (inherited == kNullOffset) security_.AddWaitingKey(ancestor == nullptr ? &root_ : nullptr);
    faults_.MarkChanged();
  }
  security_.CountUser(key);

  // A link key stays where it is and is counted there. It has no keys of its own; a list it holds
  // all the same (flags the damage changed) is followed by every reader, and so it is checked.
  uint32_t list = Le32(k + key::kSubkeyList);
  if (list == kNullOffset) return Step::Continue;
  Step listed = BeginKeyList(node, key, list);
  if (listed == Step::Drop) {
    UnhookList(key);
    return Step::Continue;
  }
  return listed;
}

void KeyWalk::UnhookList(uint32_t key) {
  listsRepaired_.push_back(key);
  PutLe32(Cell(key) + key::kSubkeyCount, 0);
  PutLe32(Cell(key) + key::kSubkeyList, kNullOffset);
  faults_.MarkChanged();
}

bool KeyWalk::CutName(uint32_t owner, uint32_t key, uint32_t length) {
  uint8_t* k = Cell(key);
  uint32_t room = length - key::kName;
  if ((Le16(k + key::kFlags) & key::kFlagCompressedName) == 0) room &= ~1u;
  if (room == 0) return true;  // no character left: the overlap check drops the key
  if (!faults_.ReportAndFix(kDataOverlapped, key, FieldRef::None(), 0)) return false;
  faults_.MarkChanged();
  const std::vector<uint16_t> uncut = StoredName::OfKey(k, length).Upper();
  // The siblings' names are read before this one changes: the name as cut is not taken by itself.
  TakenNames* names = owner != kNullOffset ? &NamesUnder(owner) : nullptr;
  // The name ends where the cell's slack of zeros begins (none left: the name check makes one).
  const uint8_t* name = k + key::kName;
  if ((Le16(k + key::kFlags) & key::kFlagCompressedName) != 0) {
    while (room > 0 && name[room - 1] == 0) --room;
  } else {
    while (room >= 2 && Le16(name + room - 2) == 0) room -= 2;
  }
  PutLe16(k + key::kNameLength, static_cast<uint16_t>(room));
  if (names == nullptr) return true;
  // The name as cut may be a sibling's.
  names->Remove(uncut);
  names->ClaimOrRename(StoredName::OfKey(k, length));
  return true;
}

TakenNames& KeyWalk::NamesUnder(uint32_t owner) {
  auto [names, first] = namesUnder_.try_emplace(owner);
  if (first) {
    for (uint32_t sibling : SubkeyEntries(image_, frames_, owner)) {
      if (!frames_.IsKeyAt(sibling)) continue;
      names->second.Add(StoredName::OfKey(Cell(sibling), marks_.CellLength(sibling)).Upper());
    }
  }
  return names->second;
}

bool KeyWalk::CheckSiblingName(uint32_t owner, uint32_t key) {
  if (owner == kNullOffset || enteringList_ == kNullOffset) return true;
  const uint16_t signature = Le16(Cell(enteringList_) + cell::kSignature);
  if (signature != cell::kHashLeafSignature && signature != cell::kFastLeafSignature) return true;
  uint8_t* hint = Cell(enteringPosition_) + 4;
  const uint32_t length = marks_.CellLength(key);
  if (Le32(hint) == ListHint(signature, Cell(key), length)) return true;  // as it was listed
  TakenNames& names = NamesUnder(owner);
  StoredName name = StoredName::OfKey(Cell(key), length);
  std::vector<uint16_t> upper = name.Upper();
  names.Remove(upper);
  if (!names.Has(upper)) {  // a name of its own all the same: left as it is
    names.Add(upper);
    return true;
  }
  if (!faults_.ReportAndFix(kInvalidKeyName, key + key::kNameLength, FieldRef::None(), 0)) return false;
  faults_.MarkChanged();
  names.ClaimOrRename(name);
  PutLe32(hint, ListHint(signature, Cell(key), length));
  return true;
}

bool KeyWalk::Lists(uint32_t parent, uint32_t key) {
  auto [listed, first] = listed_.try_emplace(parent);
  if (first) {
    for (uint32_t entry : SubkeyEntries(image_, frames_, parent)) listed->second.insert(entry);
  }
  return listed->second.count(key) != 0;
}

bool KeyWalk::CheckName(uint32_t key) {
  uint8_t* k = Cell(key);
  uint16_t length = Le16(k + key::kNameLength);
  uint16_t flags = Le16(k + key::kFlags);
  bool compressed = (flags & key::kFlagCompressedName) != 0;
  if (length != 0 && (compressed || length % 2 == 0)) return true;
  if (length == 0 && marks_.CellLength(key) <= key::kName) return true;  // the root's cell, with no room for one
  if (!faults_.ReportAndFix(kInvalidKeyName, key + key::kNameLength, FieldRef::None(), 0)) return false;
  faults_.MarkChanged();
  if (length > 0 && PrintableLatin1(k + key::kName, length)) {  // compressed text whose flag was lost
    PutLe16(k + key::kFlags, static_cast<uint16_t>(flags | key::kFlagCompressedName));
    return true;
  }
  // A name of its own, from the cell's offset: unique, and as long as the cell holds.
  char text[9];
  std::snprintf(text, sizeof text, "%08X", key);
  uint32_t room = marks_.CellLength(key) - key::kName;
  uint16_t chars = static_cast<uint16_t>(room < 8 ? room : 8);
  std::memcpy(k + key::kName, text + (8 - chars), chars);
  PutLe16(k + key::kNameLength, chars);
  PutLe16(k + key::kFlags, static_cast<uint16_t>(flags | key::kFlagCompressedName));
  return true;
}

bool KeyWalk::CheckClass(uint32_t key) {
  FieldRef field = FieldRef::Image32(Cell(key) + key::kClass);
  uint32_t offset = field.Get();
  if (offset == kNullOffset) return true;
  WalkOutcome outcome = WalkOutcome::Continue;
  // A class is UTF-16 text in a cell of its own: not empty, of whole characters, and not a
  // structure of another kind (which marked as a class would later be taken for a cross link).
  const uint16_t classLength = Le16(Cell(key) + key::kClassLength);
  if (frames_.OffsetCheck(offset) != kOffsetValid || classLength == 0 || classLength % 2 != 0 ||
      (frames_.Lookup(offset)->Kind() & kCellKindMask) != kCellNone) {
    outcome = faults_.ReportFault(kInvalidOffset, key + key::kClass, field, 0);
  } else {
    outcome = marks_.MarkCell(offset);
    if (outcome == WalkOutcome::Continue) outcome = marks_.CheckOverlap(offset, 4 + uint64_t{Le16(Cell(key) + key::kClassLength)});
  }
  if (outcome == WalkOutcome::Stop) return false;
  if (outcome == WalkOutcome::Drop) {  // the key keeps no class
    field.Set(kNullOffset);
    PutLe16(Cell(key) + key::kClassLength, 0);
    faults_.MarkChanged();
  }
  return true;
}

void KeyWalk::BuildKeyPath(WalkNode& node, uint32_t key) {
  if (node.parent == nullptr) {
    node.pathLength = 0;
    return;
  }
  uint32_t start = node.parent->pathLength;
  const StoredName name = StoredName::OfKey(Cell(key), marks_.CellLength(key));
  const bool compressed = name.Compressed();
  uint32_t chars = compressed ? name.Length() : name.Length() / 2u;
  uint64_t length = uint64_t{start} + 1 + chars;
  if (length > 0xFFFFFFFFu || !path_.Grow(length)) {
    node.pathLength = start;  // the path stays as it was
    return;
  }
  char* text = path_.Data() + start;
  *text++ = '\\';
  name.ForEachUnit([&text, compressed](uint16_t c) { *text++ = static_cast<char>(compressed ? c : DisplayChar(c)); });
  node.pathLength = static_cast<uint32_t>(length);
}

KeyWalk::Step KeyWalk::BeginKeyList(WalkNode& node, uint32_t key, uint32_t list) {
  if (frames_.OffsetCheck(list) != kOffsetValid) {
    FieldRef reference = FieldRef::Image32(Cell(key) + key::kSubkeyList);
    return From(faults_.ReportFault(kInvalidOffset, key + key::kSubkeyList, reference, 0));
  }
  Step marked = From(marks_.MarkCell(list));
  if (marked != Step::Continue) return marked;
  uint8_t kind = frames_.Lookup(list)->Kind() & kCellKindMask;
  if (!IsList(kind)) {
    return From(faults_.ReportFault(kImpossibleListSignature, list + cell::kSignature, FieldRef::None(), 0));
  }
  return OpenList(node, list, kind, key, false);
}

KeyWalk::Step KeyWalk::OpenList(WalkNode& node, uint32_t list, uint8_t kind, uint32_t owner, bool nested) {
  uint32_t stride = list::EntryStride(kind);
  uint16_t count = Le16(Cell(list) + list::kCount);
  if (count == 0) {
    return From(faults_.ReportFault(kZeroCapacityList, list + list::kCount, FieldRef::None(), 0));
  }
  Step fits = From(marks_.CheckOverlap(list, list::kEntries + uint64_t{stride} * count));
  if (fits != Step::Continue) return fits;
  // The root key's own list, with a second walker: both claim its entries one at a time.
  const bool split = !nested && second_ != nullptr && &node == &root_ && count >= 2;
  uint8_t* first = Cell(list) + list::kEntries;
  if (!nested) ReadAhead(first, count, stride);
  ListFrame frame{&node, list, stride, owner, 0, nested, ListCompactor(first, count, stride), kNullOffset};
  frame.split = split;
  frame.resumed = nested ? stack_.Size() > 0 && stack_[stack_.Size() - 1].resumed : resuming_;
  if (split) {
    frame.claims = &second_->Claims();
    frame.total = count;
  }
  if (!AllocateChildren(node, count) || !stack_.Push(frame)) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return Step::Stop;
  }
  if (split) second_->Walk().keepRecords = keepRecords;
  if (split && !second_->Start(root_, list, stride, owner, count)) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return Step::Stop;
  }
  return Step::Pending;
}

KeyWalk::Step KeyWalk::BeginNestedList(WalkNode& node, uint32_t owner, uint32_t list, uint8_t kind) {
  Step opened = OpenList(node, list, kind, owner, true);
  if (opened == Step::Pending) {
    node.kind = WalkNode::kNestedList;
    node.pathLength = node.parent != nullptr ? node.parent->pathLength : 0;
  }
  return opened;
}

void KeyWalk::CloseLists() {
  for (size_t i = 0; i < stack_.Size(); ++i) stack_[i].entries.Close();
  stack_.Clear();
}

bool KeyWalk::HandleChild(ListFrame& frame, Step outcome) {
  if (outcome == Step::Continue) {
    frame.entries.Keep();
    return true;
  }
  frame.entries.Drop();
  current_ = frame.node;  // the entry's record is gone, or about to be
  listsRepaired_.push_back(frame.owner);
  takenOut_.push_back(frame.target);
  takenOutOf_.push_back(frame.owner);
  PutLe16(Cell(frame.list) + list::kCount, static_cast<uint16_t>(frame.entries.Count()));
  --frame.node->childCount;
  faults_.MarkChanged();
  if (outcome == Step::Drop) {
    // The key whose count goes down: the list's own key, or the nearest key above a nested list.
    const WalkNode* holder = frame.node;
    while (holder != nullptr && holder->kind != WalkNode::kKey) holder = holder->parent;
    if (holder != nullptr) {
      uint8_t* count = Cell(holder->keyOffset) + key::kSubkeyCount;
      PutLe32(count, Le32(count) - 1);
    }
  }
  // A list left empty is unhooked: a key's own from the key, a nested one by its holder (its
  // keys having been counted off already).
  if (frame.node->childCount == 0) {
    std::free(frame.node->children);
    frame.node->children = nullptr;
    if (!frame.nested) PutLe32(Cell(frame.owner) + key::kSubkeyList, kNullOffset);
  }
  return true;
}

bool KeyWalk::TakeOverShare(ListFrame& frame) {
  if (!second_->Finish()) return false;
  KeyWalk& other = second_->Walk();
  // Blocks that both walks registered were marked by both; their bytes are counted once.
  uint64_t shared = 0;
  SecurityRegistry& theirs = second_->Security();
  for (uint32_t i = 0; i < theirs.Count(); ++i) {
    if (security_.IsRegistered(theirs.At(i).offset)) shared += marks_.CellLength(theirs.At(i).offset);
  }
  if (!marks_.TakeOver(second_->Marks(), shared) || !security_.TakeOver(theirs)) return false;
  frame.counter += other.ShareCounter();
  keys_ += other.KeysVisited();
  takenOver_ = other.KeysVisited();
  return true;
}

KeyWalk::Step KeyWalk::FinishFrame(ListFrame& frame, uint32_t& parentCounter) {
  current_ = frame.node;
  if (frame.share) {
    shareCounter_ = frame.counter;
    return Step::Continue;
  }
  if (frame.split) {
    if (!TakeOverShare(frame)) {
      // Reported while the walk is tried on two cores: the walk is then done again on one.
      faults_.ReportFault(kCrossLinkedData, kNullOffset, FieldRef::None(), 0);
      return Step::Stop;
    }
    // The progress shows what it would after a walk on one core: the last key's offset and path.
    const KeyWalk& other = second_->Walk();
    ProgressSink& progress = faults_.Services().progress;
    bool going = true;
    if (other.KeysVisited() > 0 && other.LastKeyTag() > lastKeyTag_) {
      going = progress.PollProgress(other.LastKey());
      progress.ShowStatusLine(other.LastPath());
    }
    marks_.ShowGauge();
    if (!going) return Step::Stop;
  }
  if (frame.nested) {
    parentCounter += frame.node->childCount;
    return frame.node->childCount == 0 ? Step::EmptyNested : Step::Continue;
  }
  // A list walked by two walkers at once was not seen in its order.
  if ((frame.claims != nullptr || !frame.namesInOrder) && !OrderCheck(frame.owner)) return Step::Stop;
  return From(CountCheck(frame.owner, frame.counter));
}

void KeyWalk::NoteName(size_t frameIndex, uint32_t key) {
  ListFrame& frame = stack_[frameIndex];
  if (!frame.namesInOrder) return;
  constexpr uint32_t kHead = sizeof frame.lastHead / sizeof frame.lastHead[0];
  uint8_t* cell = Cell(key);
  const StoredName name = StoredName::OfKey(cell, SizeFieldLength(Le32(cell)));
  const uint32_t units = name.Units16();
  uint16_t head[kHead];
  const uint32_t shown = units < kHead ? units : kHead;
  for (uint32_t i = 0; i < shown; ++i) head[i] = UpperUnit(name.UnitAt(i));
  if (frame.lastKey != kNullOffset) {
    const uint32_t lastShown = frame.lastUnits < kHead ? frame.lastUnits : kHead;
    int order = 0;
    for (uint32_t i = 0; i < shown && i < lastShown && order == 0; ++i) {
      order = frame.lastHead[i] < head[i] ? -1 : frame.lastHead[i] > head[i] ? 1 : 0;
    }
    if (order == 0 && units > kHead && frame.lastUnits > kHead) {  // the heads alike: the names themselves
      uint8_t* last = Cell(frame.lastKey);
      order = CompareNames(StoredName::OfKey(last, SizeFieldLength(Le32(last))), name);
    } else if (order == 0) {
      order = frame.lastUnits < units ? -1 : frame.lastUnits > units ? 1 : 0;
    }
    frame.namesInOrder = order < 0;  // out of order, or alike: the list is read again at its end
  }
  frame.lastKey = key;
  frame.lastUnits = static_cast<uint16_t>(units);
  std::memcpy(frame.lastHead, head, shown * sizeof head[0]);
}

bool KeyWalk::OrderCheck(uint32_t owner) {
  // Its keys' names as they now stand, renames of this walk included.
  if (!InNameOrder(image_, frames_, owner)) {
    const uint32_t list = Le32(Cell(owner) + key::kSubkeyList);
    if (!faults_.ReportAndFix(kSubkeyListOutOfOrder, list, FieldRef::None(), 0)) return false;
    SortByName(image_, frames_, owner);
    faults_.MarkChanged();
  }
  // Side by side now, keys of one name: Windows finds only one of them, and the others get
  // names apart.
  const std::vector<uint32_t> alike = NamesAlike(image_, frames_, owner);
  if (alike.empty()) return true;
  TakenNames taken;
  for (uint32_t sibling : SubkeyEntries(image_, frames_, owner)) {
    if (frames_.IsUsableKey(sibling)) taken.Add(StoredName::OfKey(Cell(sibling), marks_.CellLength(sibling)).Upper());
  }
  for (uint32_t key : alike) {
    if (!faults_.ReportAndFix(kInvalidKeyName, key + key::kNameLength, FieldRef::None(), 0)) return false;
    StoredName name = StoredName::OfKey(Cell(key), marks_.CellLength(key));
    taken.Remove(name.Upper());
    taken.ClaimOrRename(name);
  }
  namesUnder_.erase(owner);
  SortByName(image_, frames_, owner);
  faults_.MarkChanged();
  return true;
}

WalkOutcome KeyWalk::CountCheck(uint32_t key, uint32_t counter) {
  uint8_t* count = Cell(key) + key::kSubkeyCount;
  if (Le32(count) == counter) return WalkOutcome::Continue;
  // Fewer keys listed than counted: the list may have lost some, whose cells still name the key.
  if (counter < Le32(count)) listsRepaired_.push_back(key);
  return faults_.ReportFault(kSubkeyCountMismatch, key + key::kSubkeyCount, FieldRef::Image32(count), counter);
}

}  // namespace tarvos::hive
