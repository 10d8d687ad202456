#include "hive/salvage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "hive/allocator.h"
#include "hive/events.h"
#include "hive/lists.h"
#include "hive/names.h"

namespace tarvos::hive {

namespace {

// Entries of one leaf of a list that Salvage writes; more go under an index root.
constexpr uint32_t kLeafEntries = 1012;
constexpr uint32_t kIndexRootLeafEntries = 512;

class Salvage {
 public:
  Salvage(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log)
      : image_(image), frames_(frames), walk_(walk), log_(log) {}
  bool Run(std::vector<uint32_t>& chains);
  bool RunValues();
  std::vector<uint32_t> TakeWritten() { return std::move(written_); }
  std::vector<ValuesAdded> TakeValuesAdded() { return std::move(valuesAdded_); }

 private:
  uint8_t* Cell(uint32_t offset) { return image_.AtHiveOffset(offset); }
  uint32_t Length(uint32_t offset) { return SizeFieldLength(Le32(Cell(offset))); }
  uint32_t Parent(uint32_t key) { return Le32(Cell(key) + key::kParent); }
  bool Reached(uint32_t offset) {
    CellEntry* entry = frames_.Lookup(offset);
    return entry != nullptr && (entry->kind & kCellReached) != 0;
  }
  // An allocated key cell that holds its fields and a name. A name of odd length in UTF-16 (its
  // compressed flag lost) is mended by the walk that checks the keys brought back, like any other.
  bool SoundKey(uint32_t offset) {
    CellEntry* entry = frames_.OffsetCheck(offset) == kOffsetValid && offset != kNullOffset ? frames_.Lookup(offset) : nullptr;
    if (entry == nullptr) return false;
    uint8_t kind = entry->kind & kCellKindMask;
    if (kind != kCellKey && kind != kCellRootKey) return false;
    const uint8_t* k = Cell(offset);
    uint32_t length = Length(offset);
    if (length < key::kName) return false;
    uint16_t name = Le16(k + key::kNameLength);
    return length >= key::kName + uint32_t{name} && name > 0;
  }
  StoredName NameOf(uint32_t key) { return StoredName::OfKey(Cell(key), Length(key)); }
  bool IsOrphan(uint32_t offset) { return std::binary_search(orphans_.begin(), orphans_.end(), offset); }
  // Each orphan's topmost orphan: the chain is climbed through parent fields, up to a key whose
  // parent's own list does not name it; in a loop of parent fields, a member is a top when the key
  // its field names does not list it.
  void FindTops();
  // Whether a key's own list names another; each key's entries are read once.
  bool Lists(uint32_t key, uint32_t entry);
  void SettleLoop(const std::vector<uint32_t>& loop);
  // The names of a key's listed keys, to give keys moved under it names of their own.
  TakenNames NamesAmong(const std::vector<uint32_t>& entries, const std::unordered_set<uint32_t>& leaving);
  bool WriteList(uint32_t key, std::vector<uint32_t> entries);
  uint32_t WriteLeaf(const std::vector<std::pair<std::vector<uint16_t>, uint32_t>>& named, size_t from, size_t count,
                     uint16_t signature);
  uint32_t LostAndFound();
  // Values appended to a key's list (written anew); false when no cell can be had.
  bool AddValues(uint32_t key, const std::vector<uint32_t>& values);
  // A new plain key under parent, with the parent's security block and the first free name of the
  // form given among names; kNullOffset when no cell or name can be had.
  uint32_t NewKey(uint32_t parent, const char* name, TakenNames& names);

  // Where the keys brought back go: new parent -> tops, and the tops for lost+found.
  struct Placement {
    std::map<uint32_t, std::vector<uint32_t>> under;
    std::vector<uint32_t> lost;
  };
  // The orphans (sound keys the walk did not reach), found; their tops, each with the count of
  // keys that hang from it, in hive order.
  std::map<uint32_t, uint32_t> OrphanTops();
  // The tops that go under their orphan parent this round (true), and those that do not.
  std::unordered_map<uint32_t, bool> HangingTops(const std::map<uint32_t, uint32_t>& tops);
  Placement PlaceTops(const std::map<uint32_t, uint32_t>& tops);
  // A key made under holder to stand for a top's lost parent, with the top under it; false when
  // none could be made.
  bool PlaceUnderNewStandIn(uint32_t top, uint32_t parent, uint32_t holder,
                            std::unordered_map<uint32_t, TakenNames>& standInNames, Placement& placement);
  // The tops written into their new parents' lists; whether any were.
  bool Reconnect(const Placement& placement, std::map<uint32_t, uint32_t>& tops, std::vector<uint32_t>& chains);
  bool MoveToLostAndFound(const std::vector<uint32_t>& lost, std::map<uint32_t, uint32_t>& tops,
                          std::vector<uint32_t>& chains);

  // The values no list names, and the keys they go back to as they are found.
  struct ValueHomes {
    std::vector<uint32_t> values;  // in use, named by no list, in offset order
    std::unordered_set<uint32_t> placed;
    std::map<uint32_t, std::vector<uint32_t>> home;
    bool Unplaced(uint32_t value) const {
      // Most offsets asked about (an entry with one byte changed) lie past every value.
      return !values.empty() && value >= values.front() && value <= values.back() &&
             std::binary_search(values.begin(), values.end(), value) && placed.count(value) == 0;
    }
    void Give(uint32_t key, uint32_t value) {
      home[key].push_back(value);
      placed.insert(value);
    }
  };
  std::vector<uint32_t> UnreachedValues();
  // The values a list taken out whole still names at its place, given back to its key: how many.
  uint32_t GiveFromWholeList(const HiveImage::ValuesTakenOut& lost, ValueHomes& homes);
  // The one value a dropped entry names or misses by one byte; kNullOffset when there is none,
  // kNullOffset - 1 when two are that near.
  uint32_t NearestValue(uint32_t entry, const ValueHomes& homes);
  bool PutValuesBack(const ValueHomes& homes, const std::vector<uint32_t>& rest);

  HiveImage& image_;
  FrameTable& frames_;
  const KeyWalk& walk_;
  EngineLog& log_;
  std::vector<uint32_t> orphans_;
  std::unordered_map<uint32_t, uint32_t> topOf_;
  std::unordered_map<uint32_t, std::unordered_set<uint32_t>> listed_;
  uint32_t lostAndFound_ = kNullOffset;
  std::vector<uint32_t> written_;  // the keys whose lists were written, in that order
  std::vector<ValuesAdded> valuesAdded_;  // the keys given values, in that order
};

void Salvage::SettleLoop(const std::vector<uint32_t>& loop) {
  std::unordered_set<uint32_t> tops;
  for (uint32_t member : loop) {
    if (!ListsKey(image_, frames_, Parent(member), member)) tops.insert(member);
  }
  // Every field of the loop confirmed by a list: the loop is whole, and its first cell heads it.
  if (tops.empty()) tops.insert(*std::min_element(loop.begin(), loop.end()));
  for (uint32_t member : loop) {
    uint32_t at = member;
    for (size_t steps = 0; tops.count(at) == 0 && steps < loop.size(); ++steps) at = Parent(at);
    topOf_[member] = at;
  }
}

void Salvage::FindTops() {
  std::unordered_map<uint32_t, size_t> onPath;  // the climb being made: key -> place in path
  std::vector<uint32_t> path;
  for (uint32_t orphan : orphans_) {
    path.clear();
    onPath.clear();
    uint32_t at = orphan, top = kNullOffset;
    while (true) {
      auto known = topOf_.find(at);
      if (known != topOf_.end()) {
        top = known->second;
        break;
      }
      onPath[at] = path.size();
      path.push_back(at);
      uint32_t parent = Parent(at);
      if (parent == at || !IsOrphan(parent) || !Lists(parent, at)) {
        top = at;
        break;
      }
      auto again = onPath.find(parent);
      if (again != onPath.end()) {  // a loop: from parent to at
        SettleLoop(std::vector<uint32_t>(path.begin() + static_cast<std::ptrdiff_t>(again->second), path.end()));
        path.resize(again->second);
        top = topOf_[parent];
        break;
      }
      at = parent;
    }
    for (uint32_t climbed : path) topOf_[climbed] = top;
  }
}

bool Salvage::Lists(uint32_t key, uint32_t entry) {
  auto [found, first] = listed_.try_emplace(key);
  if (first) {
    std::vector<uint32_t> entries = SubkeyEntries(image_, frames_, key);
    found->second.insert(entries.begin(), entries.end());
  }
  return found->second.count(entry) != 0;
}

TakenNames Salvage::NamesAmong(const std::vector<uint32_t>& entries, const std::unordered_set<uint32_t>& leaving) {
  TakenNames taken;
  for (uint32_t entry : entries) {
    if (leaving.count(entry) == 0 && SoundKey(entry)) taken.Add(NameOf(entry).Upper());
  }
  return taken;
}

uint32_t Salvage::WriteLeaf(const std::vector<std::pair<std::vector<uint16_t>, uint32_t>>& named, size_t from,
                            size_t count, uint16_t signature) {
  uint32_t stride = signature == cell::kIndexLeafSignature ? list::kShortEntry : list::kLongEntry;
  uint32_t leaf = AllocateCell(image_, frames_, list::kEntries + stride * static_cast<uint32_t>(count));
  if (leaf == kNullOffset) return kNullOffset;
  uint8_t* l = Cell(leaf);
  PutLe16(l + cell::kSignature, signature);
  PutLe16(l + list::kCount, static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* entry = l + list::kEntries + stride * i;
    const uint32_t key = named[from + i].second;
    PutLe32(entry, key);
    if (signature != cell::kIndexLeafSignature) PutLe32(entry + 4, ListHint(signature, Cell(key), Length(key)));
  }
  frames_.Reclassify(leaf);
  return leaf;
}

// A key's list written anew, as Windows writes it for the hive's version: "li" before 1.3, "lf"
// with name hints for 1.3 and 1.4, "lh" with name hashes from 1.5; in the order of the names. A
// long list is cut into leaves under an index root ("ri").
bool Salvage::WriteList(uint32_t key, std::vector<uint32_t> entries) {
  // Only sound key cells are listed (their names are read for the order and the hashes).
  entries.erase(std::remove_if(entries.begin(), entries.end(), [&](uint32_t e) { return !SoundKey(e); }), entries.end());
  std::vector<std::pair<std::vector<uint16_t>, uint32_t>> named;
  named.reserve(entries.size());
  for (uint32_t entry : entries) named.emplace_back(NameOf(entry).Upper(), entry);
  std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  uint32_t minor = Le32(image_.BaseBlock() + base::kMinorVersion);
  uint16_t signature = minor < 3 ? cell::kIndexLeafSignature : minor < 5 ? cell::kFastLeafSignature : cell::kHashLeafSignature;
  uint32_t list = kNullOffset;
  if (named.size() <= kLeafEntries) {
    list = WriteLeaf(named, 0, named.size(), signature);
  } else {
    std::vector<uint32_t> leaves;
    for (size_t from = 0; from < named.size(); from += kIndexRootLeafEntries) {
      size_t count = std::min<size_t>(kIndexRootLeafEntries, named.size() - from);
      uint32_t leaf = WriteLeaf(named, from, count, signature);
      if (leaf == kNullOffset) return false;
      leaves.push_back(leaf);
    }
    if (leaves.size() > 0xFFFF) return false;
    list = AllocateCell(image_, frames_, list::kEntries + list::kShortEntry * static_cast<uint32_t>(leaves.size()));
    if (list == kNullOffset) return false;
    uint8_t* l = Cell(list);
    PutLe16(l + cell::kSignature, cell::kIndexRootSignature);
    PutLe16(l + list::kCount, static_cast<uint16_t>(leaves.size()));
    for (size_t i = 0; i < leaves.size(); ++i) PutLe32(l + list::kEntries + list::kShortEntry * i, leaves[i]);
    frames_.Reclassify(list);
  }
  if (list == kNullOffset) return false;
  uint8_t* k = Cell(key);
  PutLe32(k + key::kSubkeyList, list);
  PutLe32(k + key::kSubkeyCount, static_cast<uint32_t>(named.size()));
  written_.push_back(key);
  return true;
}

// "lost+found" under the root: the one there when it is a plain key the walk reached, or a new
// one with the root's security block, under the first name of that form that is free.
uint32_t Salvage::LostAndFound() {
  if (lostAndFound_ != kNullOffset) return lostAndFound_;
  const uint32_t root = image_.rootKeyOffset;
  std::vector<uint32_t> rootEntries = SubkeyEntries(image_, frames_, root);
  TakenNames taken;
  std::vector<uint16_t> wanted(kLostAndFound, kLostAndFound + std::strlen(kLostAndFound));
  for (uint16_t& c : wanted) c = UpperUnit(c);
  for (uint32_t child : rootEntries) {
    if (!SoundKey(child)) continue;
    std::vector<uint16_t> name = NameOf(child).Upper();
    bool plain = (Le16(Cell(child) + key::kFlags) & (key::kFlagLink | key::kFlagHiveEntry)) == 0 && Reached(child);
    if (name == wanted && plain) return lostAndFound_ = child;
    taken.Add(name);
  }
  uint32_t folder = NewKey(root, kLostAndFound, taken);
  if (folder == kNullOffset) return kNullOffset;
  rootEntries.push_back(folder);
  if (!WriteList(root, rootEntries)) return kNullOffset;
  return lostAndFound_ = folder;
}

uint32_t Salvage::NewKey(uint32_t parent, const char* text, TakenNames& names) {
  const uint32_t room = static_cast<uint32_t>(std::strlen(text)) + 12;  // "name (n)"
  uint32_t made = AllocateCell(image_, frames_, key::kName + room);
  if (made == kNullOffset) return kNullOffset;
  uint8_t* k = Cell(made);
  uint32_t security = Le32(Cell(parent) + key::kSecurity);
  WriteEmptyKey(k, key::kFlagCompressedName, parent, security);
  StoredName name = StoredName::OfKey(k, key::kName + room);
  name.Write(std::vector<uint16_t>(text, text + std::strlen(text)));
  if (!names.ClaimOrRename(name)) return kNullOffset;
  frames_.Reclassify(made);
  if (security != kNullOffset && frames_.OffsetCheck(security) == kOffsetValid && Length(security) >= security::kDescriptor &&
      Le16(Cell(security) + cell::kSignature) == cell::kSecuritySignature) {
    uint8_t* sk = Cell(security);
    PutLe32(sk + security::kReferences, Le32(sk + security::kReferences) + 1);
  }
  return made;
}

std::map<uint32_t, uint32_t> Salvage::OrphanTops() {
  frames_.ForEachCell([&](uint32_t offset, const CellEntry& entry) {
    uint8_t kind = entry.kind & kCellKindMask;
    if ((kind == kCellKey || kind == kCellRootKey) && (entry.kind & kCellReached) == 0) orphans_.push_back(offset);
  });
  orphans_.erase(std::remove_if(orphans_.begin(), orphans_.end(), [&](uint32_t o) { return !SoundKey(o); }), orphans_.end());
  std::map<uint32_t, uint32_t> tops;  // top -> keys hanging from it, in hive order
  if (orphans_.empty()) return tops;
  FindTops();
  for (uint32_t orphan : orphans_) ++tops[topOf_[orphan]];
  return tops;
}

// A top whose parent is an orphan that does not list it goes under that parent now, with it,
// when the parent's chain of such tops ends at a top placed otherwise, not back at itself: a
// tree whose lists a cut file lost comes back in one round, however deep.
std::unordered_map<uint32_t, bool> Salvage::HangingTops(const std::map<uint32_t, uint32_t>& tops) {
  std::unordered_map<uint32_t, bool> hangs;  // top -> goes under its parent; false while climbing
  for (const auto& [top, count] : tops) {
    std::vector<uint32_t> path;
    bool placed = true;
    for (uint32_t at = top; IsOrphan(Parent(at)) && Parent(at) != at; at = topOf_[Parent(at)]) {
      auto known = hangs.find(at);
      if (known != hangs.end()) {
        placed = known->second;
        break;
      }
      hangs[at] = false;
      path.push_back(at);
    }
    for (uint32_t at : path) hangs[at] = placed;
  }
  return hangs;
}

Salvage::Placement Salvage::PlaceTops(const std::map<uint32_t, uint32_t>& tops) {
  const std::unordered_set<uint32_t> repaired(walk_.ListsRepaired().begin(), walk_.ListsRepaired().end());
  const std::unordered_set<uint32_t> takenOut(walk_.TakenOut().begin(), walk_.TakenOut().end());
  std::unordered_map<uint32_t, uint32_t> takenOutOf;  // what a list lost -> the key whose list it was
  for (size_t i = 0; i < walk_.TakenOut().size(); ++i) takenOutOf.emplace(walk_.TakenOut()[i], walk_.TakenOutOf()[i]);
  Placement placement;
  std::map<uint32_t, std::vector<uint32_t>>& under = placement.under;
  std::unordered_map<uint32_t, TakenNames> standInNames;  // per key that gets stand-ins, its keys' names
  const std::unordered_map<uint32_t, bool> hangs = HangingTops(tops);
  for (const auto& [top, count] : tops) {
    uint32_t parent = Parent(top);
    auto hanging = hangs.find(top);
    if (hanging != hangs.end() && hanging->second) {
      under[parent].push_back(top);
      continue;
    }
    auto standIn = image_.standIns.find(parent);
    if (standIn != image_.standIns.end() && standIn->second != top &&
        (Reached(standIn->second) || under.count(standIn->second) != 0)) {  // reached, or made just now
      under[standIn->second].push_back(top);  // under the key that stands for its lost parent
      continue;
    }
    // A parent that is gone, taken out of a list the walk reached: a key stands for it there,
    // named after its offset, and its keys go under that one.
    auto holder = takenOutOf.find(parent);
    if (!SoundKey(parent) && holder != takenOutOf.end() && SoundKey(holder->second) && Reached(holder->second) &&
        holder->second != top && PlaceUnderNewStandIn(top, parent, holder->second, standInNames, placement)) {
      continue;
    }
    bool parentKey = parent != top && !IsOrphan(parent) && SoundKey(parent) && Reached(parent);
    if (!parentKey) {
      placement.lost.push_back(top);
    } else if (repaired.count(parent) != 0 || takenOut.count(top) != 0) {
      under[parent].push_back(top);
    }
  }
  return placement;
}

bool Salvage::PlaceUnderNewStandIn(uint32_t top, uint32_t parent, uint32_t holder,
                                   std::unordered_map<uint32_t, TakenNames>& standInNames, Placement& placement) {
  auto [names, first] = standInNames.try_emplace(holder);
  if (first) names->second = NamesAmong(SubkeyEntries(image_, frames_, holder), {});
  char text[9];
  std::snprintf(text, sizeof text, "%08X", parent);
  uint32_t made = NewKey(holder, text, names->second);
  if (made == kNullOffset) return false;
  image_.standIns[parent] = made;
  placement.under[holder].push_back(made);
  placement.under[made].push_back(top);
  EventRecord e{Event::KeyStandsForLost, made, parent, holder};
  log_.Happened(e);
  return true;
}

bool Salvage::Reconnect(const Placement& placement, std::map<uint32_t, uint32_t>& tops, std::vector<uint32_t>& chains) {
  bool salvaged = false;
  std::unordered_set<uint32_t> made;  // the keys that stand for lost ones
  for (const auto& [lostKey, standIn] : image_.standIns) made.insert(standIn);
  for (const auto& [parent, list] : placement.under) {
    std::unordered_set<uint32_t> moving(list.begin(), list.end());
    std::vector<uint32_t> entries = SubkeyEntries(image_, frames_, parent);
    TakenNames taken = NamesAmong(entries, moving);
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](uint32_t e) { return moving.count(e) != 0; }), entries.end());
    std::vector<uint32_t> named;
    for (uint32_t top : list) {
      if (taken.ClaimOrRename(NameOf(top))) named.push_back(top);
    }
    entries.insert(entries.end(), named.begin(), named.end());
    if (named.empty() || !WriteList(parent, entries)) continue;
    for (uint32_t top : named) {
      PutLe32(Cell(top) + key::kParent, parent);  // a key that stood for its parent is its parent now
      if (made.count(top) != 0) continue;  // said when it was made
      EventRecord e{Event::KeyReconnected, top, parent};
      e.count = tops[top];
      log_.Happened(e);
      chains.push_back(top);
    }
    salvaged = true;
  }
  return salvaged;
}

bool Salvage::MoveToLostAndFound(const std::vector<uint32_t>& lost, std::map<uint32_t, uint32_t>& tops,
                                 std::vector<uint32_t>& chains) {
  uint32_t folder = LostAndFound();
  if (folder == kNullOffset) return false;
  std::unordered_set<uint32_t> moving(lost.begin(), lost.end());
  std::vector<uint32_t> entries = SubkeyEntries(image_, frames_, folder);
  TakenNames taken = NamesAmong(entries, moving);
  std::vector<uint32_t> named;
  for (uint32_t top : lost) {
    if (top != folder && taken.ClaimOrRename(NameOf(top))) named.push_back(top);
  }
  entries.insert(entries.end(), named.begin(), named.end());
  // The parent fields change only once the list that holds the keys is written.
  if (named.empty() || !WriteList(folder, entries)) return false;
  for (uint32_t top : named) {
    PutLe32(Cell(top) + key::kParent, folder);
    EventRecord e{Event::KeyToLostAndFound, top};
    e.count = tops[top];
    log_.Happened(e);
    chains.push_back(top);
  }
  return true;
}

bool Salvage::Run(std::vector<uint32_t>& chains) {
  std::map<uint32_t, uint32_t> tops = OrphanTops();
  if (tops.empty()) return false;
  const Placement placement = PlaceTops(tops);
  bool salvaged = Reconnect(placement, tops, chains);
  if (!placement.lost.empty() && MoveToLostAndFound(placement.lost, tops, chains)) salvaged = true;
  return salvaged;
}

std::vector<uint32_t> Salvage::UnreachedValues() {
  std::vector<uint32_t> values;
  frames_.ForEachCell([&](uint32_t offset, const CellEntry& entry) {
    if ((entry.kind & kCellKindMask) != kCellValue || (entry.kind & kCellReached) != 0) return;
    const uint8_t* v = Cell(offset);
    const uint32_t length = Length(offset);
    if (static_cast<int32_t>(Le32(v)) < 0 && length >= value::kName && value::kName + uint32_t{Le16(v + value::kNameLength)} <= length) {
      values.push_back(offset);
    }
  });
  std::sort(values.begin(), values.end());
  return values;
}

// What the list's place still holds, whatever its cell became.
uint32_t Salvage::GiveFromWholeList(const HiveImage::ValuesTakenOut& lost, ValueHomes& homes) {
  uint32_t found = 0;
  const uint64_t end = image_.Size() - kBaseBlockSize;
  if (lost.at == kNullOffset || (lost.at & 7) != 0 || uint64_t{lost.at} + value::kListEntries >= end) return found;
  const uint32_t holds = static_cast<uint32_t>(std::min<uint64_t>(lost.count, (end - lost.at - value::kListEntries) / 4));
  for (uint32_t i = 0; i < holds; ++i) {
    const uint32_t value = Le32(Cell(lost.at) + value::kListEntries + 4 * i);
    if (homes.Unplaced(value)) {
      homes.Give(lost.key, value);
      ++found;
    }
  }
  return found;
}

uint32_t Salvage::NearestValue(uint32_t entry, const ValueHomes& homes) {
  // An entry zeroed or filled with 0xFF was not changed in one byte.
  const bool filled = entry == 0 || entry == kNullOffset;
  uint32_t near = homes.Unplaced(entry) ? entry : kNullOffset;
  for (uint32_t byte = 0; byte < 4 && near == kNullOffset && !filled; ++byte) {
    for (uint32_t b = 0; b < 256; ++b) {
      const uint32_t value = (entry & ~(0xFFu << (8 * byte))) | (b << (8 * byte));
      if (value == entry || !homes.Unplaced(value)) continue;
      near = near == kNullOffset ? value : kNullOffset - 1;  // two alike near: neither
    }
    if (near == kNullOffset - 1) break;
  }
  return near;
}

bool Salvage::RunValues() {
  ValueHomes homes;
  homes.values = UnreachedValues();
  if (homes.values.empty()) return false;
  // Each goes back to the key whose list lost it, where that can be known: the entries of a list
  // unhooked whole that still name it, or a dropped entry that names it or differs from it in one
  // byte (a byte changed in the list), when no other value is that near. Then, when only one key
  // still misses values, the rest go to it, as many as it misses.
  std::map<uint32_t, uint32_t> missing;
  for (const HiveImage::ValuesTakenOut& lost : image_.valuesTakenOut) {
    if (!SoundKey(lost.key) || !Reached(lost.key)) continue;
    uint32_t found = 0;
    if (lost.wholeList) {
      found = GiveFromWholeList(lost, homes);
    } else {
      const uint32_t near = NearestValue(lost.at, homes);
      if (near != kNullOffset && near != kNullOffset - 1) {
        homes.Give(lost.key, near);
        ++found;
      } else if (frames_.OffsetCheck(lost.at) == kOffsetValid && Reached(lost.at)) {
        continue;  // a value another list holds: nothing is missing
      }
    }
    if (lost.count > found) missing[lost.key] += lost.count - found;
  }
  std::vector<uint32_t> rest;
  for (uint32_t value : homes.values) {
    if (homes.placed.count(value) == 0) rest.push_back(value);
  }
  if (missing.size() == 1 && !rest.empty() && rest.size() <= missing.begin()->second) {
    for (uint32_t value : rest) homes.Give(missing.begin()->first, value);
    rest.clear();
  }
  return PutValuesBack(homes, rest);
}

bool Salvage::PutValuesBack(const ValueHomes& homes, const std::vector<uint32_t>& rest) {
  bool salvaged = false;
  for (const auto& [key, back] : homes.home) {
    if (!AddValues(key, back)) continue;
    EventRecord e{Event::ValuesBroughtBack, key};
    e.count = back.size();
    e.text = KeyPathOf(image_, frames_, key);
    log_.Happened(e);
    salvaged = true;
  }
  if (rest.empty()) return salvaged;
  const uint32_t folder = LostAndFound();
  if (folder == kNullOffset || !AddValues(folder, rest)) return salvaged;
  EventRecord e{Event::ValuesToLostAndFound};
  e.count = rest.size();
  log_.Happened(e);
  return true;
}

bool Salvage::AddValues(uint32_t key, const std::vector<uint32_t>& values) {
  // The values it holds already, then these.
  const uint32_t count = Le32(Cell(key) + key::kValueCount), old = Le32(Cell(key) + key::kValueList);
  std::vector<uint32_t> entries;
  if (count > 0 && frames_.OffsetCheck(old) == kOffsetValid && old != kNullOffset && value::kListEntries + 4ull * count <= Length(old)) {
    for (uint32_t i = 0; i < count; ++i) entries.push_back(Le32(Cell(old) + value::kListEntries + 4 * i));
  }
  entries.insert(entries.end(), values.begin(), values.end());
  if (entries.size() > 0x3FFFFFF) return false;
  const uint32_t list = AllocateCell(image_, frames_, value::kListEntries + 4 * static_cast<uint32_t>(entries.size()));
  if (list == kNullOffset) return false;
  for (size_t i = 0; i < entries.size(); ++i) PutLe32(Cell(list) + value::kListEntries + 4 * i, entries[i]);
  PutLe32(Cell(key) + key::kValueCount, static_cast<uint32_t>(entries.size()));
  PutLe32(Cell(key) + key::kValueList, list);
  valuesAdded_.push_back({key, static_cast<uint32_t>(entries.size() - values.size())});
  return true;
}

}  // namespace

bool SalvageValues(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log,
                   std::vector<ValuesAdded>& added, std::vector<uint32_t>& written) {
  Salvage salvage(image, frames, walk, log);
  const bool salvaged = salvage.RunValues();
  added = salvage.TakeValuesAdded();
  written = salvage.TakeWritten();
  return salvaged;
}

bool SalvageKeys(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log, std::vector<uint32_t>& chains,
                 std::vector<uint32_t>& written) {
  Salvage salvage(image, frames, walk, log);
  const bool salvaged = salvage.Run(chains);
  written = salvage.TakeWritten();
  return salvaged;
}

// Windows nests keys at most 512 deep: parents past that, or met again (parent fields that go
// round), lead to no root. Without the check a ring of two keys gave a path of 100,000 names, at
// every key the log names.
constexpr uint32_t kDeepestPath = 512;

std::string KeyPathOf(HiveImage& image, FrameTable& frames, uint32_t key) {
  std::vector<uint32_t> keys;  // from the key up; kNullOffset for a parent that is no key
  for (uint32_t steps = 0; key != image.rootKeyOffset; ++steps) {
    if (steps >= kDeepestPath || !frames.IsKeyAt(key) || std::find(keys.begin(), keys.end(), key) != keys.end()) {
      keys.push_back(kNullOffset);
      break;
    }
    keys.push_back(key);
    key = Le32(image.AtHiveOffset(key) + key::kParent);
  }
  if (keys.empty()) return "\\";
  std::string path;
  for (auto at = keys.rbegin(); at != keys.rend(); ++at) {
    path += '\\';
    if (*at == kNullOffset) {
      path += '?';
      continue;
    }
    uint8_t* cell = image.AtHiveOffset(*at);
    const StoredName name = StoredName::OfKey(cell, SizeFieldLength(Le32(cell)));
    const bool compressed = name.Compressed();
    name.ForEachUnit([&path, compressed](uint16_t c) { path += static_cast<char>(compressed ? c : DisplayChar(c)); });
  }
  return path;
}

std::vector<uint64_t> KeysBelow(HiveImage& image, FrameTable& frames, const std::vector<uint32_t>& tops) {
  std::vector<uint64_t> counts;
  counts.reserve(tops.size());
  std::vector<uint32_t> open;
  std::unordered_map<uint32_t, size_t> seen;  // key -> the last top it was counted for, plus one
  for (uint32_t top : tops) {
    // The lists as the walks left them: each names checked keys once, and no key is its own
    // ancestor; a key met twice all the same is counted once.
    uint64_t count = 0;
    open.assign(1, top);
    const size_t mark = counts.size() + 1;
    while (!open.empty()) {
      const uint32_t key = open.back();
      open.pop_back();
      if (!frames.IsKeyAt(key)) continue;
      size_t& last = seen[key];
      if (last == mark) continue;
      last = mark;
      ++count;
      for (uint32_t entry : SubkeyEntries(image, frames, key)) open.push_back(entry);
    }
    counts.push_back(count);
  }
  return counts;
}

}  // namespace tarvos::hive
