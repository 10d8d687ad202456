#include "hive/salvage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "hive/allocator.h"

namespace tarvos::hive {

namespace {

uint16_t Upper(uint16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint16_t>(c - 0x20) : c; }

// The characters of a key's name, upper-cased: the order and the hashes of lists go by them.
std::vector<uint16_t> UpperName(const uint8_t* k) {
  uint16_t length = Le16(k + key::kNameLength);
  bool compressed = (Le16(k + key::kFlags) & key::kFlagCompressedName) != 0;
  std::vector<uint16_t> name;
  const uint8_t* text = k + key::kName;
  for (uint32_t i = 0; compressed ? i < length : i + 1 < length; i += compressed ? 1 : 2) {
    name.push_back(Upper(compressed ? text[i] : Le16(text + i)));
  }
  return name;
}

uint32_t HashOf(const std::vector<uint16_t>& upperName) {
  uint32_t hash = 0;
  for (uint16_t c : upperName) hash = hash * 37 + c;
  return hash;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

class Salvage {
 public:
  Salvage(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log)
      : image_(image), frames_(frames), walk_(walk), log_(log) {}
  bool Run();

 private:
  uint8_t* Cell(uint32_t offset) { return image_.AtHiveOffset(offset); }
  uint32_t Length(uint32_t offset) { return SizeFieldLength(Le32(Cell(offset))); }
  bool Reached(uint32_t offset) {
    CellEntry* entry = frames_.Lookup(offset);
    return entry != nullptr && (entry->kind & kCellSideMark) != 0;
  }
  // An allocated key cell that holds its fields and a name a reader takes.
  bool SoundKey(uint32_t offset) {
    CellEntry* entry = frames_.OffsetCheck(offset) == kOffsetValid ? frames_.Lookup(offset) : nullptr;
    if (entry == nullptr) return false;
    uint8_t kind = entry->kind & kCellKindMask;
    if (kind != kCellKey && kind != kCellRootKey) return false;
    const uint8_t* k = Cell(offset);
    uint32_t length = Length(offset);
    uint16_t name = Le16(k + key::kNameLength);
    bool compressed = (Le16(k + key::kFlags) & key::kFlagCompressedName) != 0;
    return length >= key::kName + uint32_t{name} && name > 0 && (compressed || name % 2 == 0);
  }
  bool IsOrphan(uint32_t offset) { return std::binary_search(orphans_.begin(), orphans_.end(), offset); }
  std::vector<uint32_t> ListEntries(uint32_t key);
  bool WriteList(uint32_t key, std::vector<uint32_t> entries);
  uint32_t LostAndFound();
  void NameApart(uint32_t key, std::set<std::vector<uint16_t>>& taken);

  HiveImage& image_;
  FrameTable& frames_;
  const KeyWalk& walk_;
  EngineLog& log_;
  std::vector<uint32_t> orphans_;
  uint32_t lostAndFound_ = kNullOffset;
};

std::vector<uint32_t> Salvage::ListEntries(uint32_t key) {
  std::vector<uint32_t> entries;
  uint32_t list = Le32(Cell(key) + key::kSubkeyList);
  if (list == kNullOffset || frames_.OffsetCheck(list) != kOffsetValid) return entries;
  auto read = [&](uint32_t cell, auto& self, int depth) -> void {
    CellEntry* entry = frames_.Lookup(cell);
    if (entry == nullptr || depth > 1) return;
    uint8_t kind = entry->kind & kCellKindMask;
    uint32_t stride = (kind == kCellFastLeaf || kind == kCellHashLeaf) ? list::kLongEntry : list::kShortEntry;
    uint32_t count = Le16(Cell(cell) + list::kCount);
    if (list::kEntries + uint64_t{stride} * count > Length(cell)) return;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t target = Le32(Cell(cell) + list::kEntries + stride * i);
      if (kind == kCellIndexRoot) {
        if (frames_.OffsetCheck(target) == kOffsetValid) self(target, self, depth + 1);
      } else {
        entries.push_back(target);
      }
    }
  };
  read(list, read, 0);
  return entries;
}

// A key's list written anew, as Windows writes it for the hive's version: "li" before 1.3, "lf"
// with name hints for 1.3 and 1.4, "lh" with name hashes from 1.5; in the order of the names.
bool Salvage::WriteList(uint32_t key, std::vector<uint32_t> entries) {
  // Only sound key cells are listed (their names are read for the order and the hashes).
  entries.erase(std::remove_if(entries.begin(), entries.end(), [&](uint32_t e) { return !SoundKey(e); }), entries.end());
  if (entries.size() > 0xFFFF) return false;
  std::vector<std::pair<std::vector<uint16_t>, uint32_t>> named;
  for (uint32_t entry : entries) named.emplace_back(UpperName(Cell(entry)), entry);
  std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  uint32_t minor = Le32(image_.BaseBlock() + base::kMinorVersion);
  uint16_t signature = minor < 3 ? cell::kIndexLeafSignature : minor < 5 ? cell::kFastLeafSignature : cell::kHashLeafSignature;
  uint32_t stride = signature == cell::kIndexLeafSignature ? list::kShortEntry : list::kLongEntry;
  uint32_t list = AllocateCell(image_, frames_, list::kEntries + stride * static_cast<uint32_t>(named.size()));
  if (list == kNullOffset) return false;
  uint8_t* l = Cell(list);
  PutLe16(l + cell::kSignature, signature);
  PutLe16(l + list::kCount, static_cast<uint16_t>(named.size()));
  for (size_t i = 0; i < named.size(); ++i) {
    uint8_t* entry = l + list::kEntries + stride * i;
    PutLe32(entry, named[i].second);
    if (signature == cell::kHashLeafSignature) PutLe32(entry + 4, HashOf(named[i].first));
    if (signature == cell::kFastLeafSignature) {
      // The hint: the first four characters of the name, as stored.
      const uint8_t* k = Cell(named[i].second);
      bool compressed = (Le16(k + key::kFlags) & key::kFlagCompressedName) != 0;
      uint16_t length = Le16(k + key::kNameLength);
      for (uint32_t c = 0; c < 4; ++c) {
        uint32_t at = compressed ? c : 2 * c;
        entry[4 + c] = at + (compressed ? 0 : 1) < length ? k[key::kName + at] : 0;
      }
    }
  }
  frames_.Reclassify(list);
  uint8_t* k = Cell(key);
  PutLe32(k + key::kSubkeyList, list);
  PutLe32(k + key::kSubkeyCount, static_cast<uint32_t>(named.size()));
  return true;
}

// "lost+found" under the root: the one there, or a new one with the root's security block.
uint32_t Salvage::LostAndFound() {
  if (lostAndFound_ != kNullOffset) return lostAndFound_;
  const uint32_t root = image_.rootKeyOffset;
  const size_t nameLength = std::strlen(kLostAndFound);
  std::vector<uint16_t> wanted;
  for (size_t i = 0; i < nameLength; ++i) wanted.push_back(Upper(static_cast<uint8_t>(kLostAndFound[i])));
  for (uint32_t child : ListEntries(root)) {
    if (SoundKey(child) && UpperName(Cell(child)) == wanted) return lostAndFound_ = child;
  }
  uint32_t folder = AllocateCell(image_, frames_, key::kName + static_cast<uint32_t>(nameLength));
  if (folder == kNullOffset) return kNullOffset;
  uint8_t* k = Cell(folder);
  uint32_t security = Le32(Cell(root) + key::kSecurity);
  PutLe16(k + cell::kSignature, cell::kKeySignature);
  PutLe16(k + key::kFlags, key::kFlagCompressedName);
  PutLe32(k + key::kParent, root);
  PutLe32(k + key::kSubkeyList, kNullOffset);
  PutLe32(k + key::kSubkeyList + 4, kNullOffset);
  PutLe32(k + key::kValueList, kNullOffset);
  PutLe32(k + key::kSecurity, security);
  PutLe32(k + key::kClass, kNullOffset);
  PutLe16(k + key::kNameLength, static_cast<uint16_t>(nameLength));
  std::memcpy(k + key::kName, kLostAndFound, nameLength);
  frames_.Reclassify(folder);
  if (security != kNullOffset && frames_.OffsetCheck(security) == kOffsetValid && Length(security) >= security::kDescriptor &&
      Le16(Cell(security) + cell::kSignature) == cell::kSecuritySignature) {
    uint8_t* sk = Cell(security);
    PutLe32(sk + security::kReferences, Le32(sk + security::kReferences) + 1);
  }
  std::vector<uint32_t> rootEntries = ListEntries(root);
  rootEntries.push_back(folder);
  if (!WriteList(root, rootEntries)) return kNullOffset;
  return lostAndFound_ = folder;
}

// Two keys of one name in lost+found: the later one is called "name (2)", "name (3)", ... where
// its cell has room for that. others: the keys already there.
// A key given a name none of the taken ones has (" (2)", " (3)", ... added where its cell has
// room); its name, as it ends, is then taken.
void Salvage::NameApart(uint32_t key, std::set<std::vector<uint16_t>>& taken) {
  uint8_t* k = Cell(key);
  std::vector<uint16_t> name = UpperName(k);
  if (taken.insert(name).second) return;
  bool compressed = (Le16(k + key::kFlags) & key::kFlagCompressedName) != 0;
  uint16_t length = Le16(k + key::kNameLength);
  for (int n = 2; n < 1000; ++n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    std::vector<uint16_t> candidate = name;
    for (char c : suffix) candidate.push_back(static_cast<uint8_t>(c));
    if (taken.count(candidate) != 0) continue;
    uint32_t added = static_cast<uint32_t>(suffix.size()) * (compressed ? 1 : 2);
    if (key::kName + uint32_t{length} + added > Length(key)) return;  // no room: the name stays
    taken.insert(candidate);
    for (size_t i = 0; i < suffix.size(); ++i) {
      if (compressed) {
        k[key::kName + length + i] = static_cast<uint8_t>(suffix[i]);
      } else {
        PutLe16(k + key::kName + length + 2 * i, static_cast<uint8_t>(suffix[i]));
      }
    }
    PutLe16(k + key::kNameLength, static_cast<uint16_t>(length + added));
    return;
  }
}

bool Salvage::Run() {
  frames_.ForEachCell([&](uint32_t offset, const CellEntry& entry) {
    uint8_t kind = entry.kind & kCellKindMask;
    if ((kind == kCellKey || kind == kCellRootKey) && (entry.kind & kCellSideMark) == 0) orphans_.push_back(offset);
  });
  orphans_.erase(std::remove_if(orphans_.begin(), orphans_.end(), [&](uint32_t o) { return !SoundKey(o); }), orphans_.end());
  if (orphans_.empty()) return false;
  // Each orphan's topmost orphan above it, and how many keys hang from each top. Each orphan's
  // top is found once (a chain is climbed only up to an orphan whose top is known); in a loop of
  // orphans the key met again on the climb is the loop's top.
  std::map<uint32_t, uint32_t> tops;
  std::unordered_map<uint32_t, uint32_t> topOf;
  std::unordered_set<uint32_t> climbed;
  std::vector<uint32_t> path;
  for (uint32_t orphan : orphans_) {
    path.clear();
    climbed.clear();
    uint32_t at = orphan, top = kNullOffset;
    while (true) {
      auto known = topOf.find(at);
      if (known != topOf.end()) {
        top = known->second;
        break;
      }
      path.push_back(at);
      climbed.insert(at);
      uint32_t parent = Le32(Cell(at) + key::kParent);
      if (parent == at || !IsOrphan(parent) || climbed.count(parent) != 0) {
        top = at;
        break;
      }
      at = parent;
    }
    for (uint32_t climbedKey : path) topOf[climbedKey] = top;
    ++tops[top];
  }
  const std::vector<uint32_t>& repaired = walk_.ListsRepaired();
  const std::vector<uint32_t>& takenOut = walk_.TakenOut();
  auto has = [](const std::vector<uint32_t>& list, uint32_t value) { return std::find(list.begin(), list.end(), value) != list.end(); };
  std::map<uint32_t, std::vector<uint32_t>> under;  // new parent -> tops
  std::vector<std::pair<uint32_t, uint32_t>> lost;  // tops with their key counts
  for (const auto& [top, count] : tops) {
    uint32_t parent = Le32(Cell(top) + key::kParent);
    bool parentKey = parent != top && !IsOrphan(parent) && SoundKey(parent) && Reached(parent);
    if (parentKey) {
      if (has(repaired, parent) || has(takenOut, top)) under[parent].push_back(top);
    } else {
      lost.emplace_back(top, count);
    }
  }
  bool salvaged = false;
  for (auto& [parent, list] : under) {
    std::vector<uint32_t> entries = ListEntries(parent);
    for (uint32_t top : list) entries.push_back(top);
    if (!WriteList(parent, entries)) continue;
    for (uint32_t top : list) {
      log_.Entry(LogMarker::Info, "Key reconnected: " + Hex(top) + " (" + std::to_string(tops[top]) + " keys) under " +
                                      Hex(parent) + "\r\n");
    }
    salvaged = true;
  }
  if (!lost.empty()) {
    uint32_t folder = LostAndFound();
    if (folder == kNullOffset) return salvaged;
    std::vector<uint32_t> entries = ListEntries(folder);
    std::set<std::vector<uint16_t>> taken;
    for (uint32_t entry : entries) {
      if (SoundKey(entry) && tops.count(entry) == 0) taken.insert(UpperName(Cell(entry)));
    }
    for (const auto& [top, count] : lost) {
      PutLe32(Cell(top) + key::kParent, folder);
      NameApart(top, taken);
      entries.push_back(top);
    }
    if (WriteList(folder, entries)) {
      for (const auto& [top, count] : lost) {
        log_.Entry(LogMarker::Info, "Key moved to lost+found: " + Hex(top) + " (" + std::to_string(count) + " keys)\r\n");
      }
      salvaged = true;
    }
  }
  return salvaged;
}

}  // namespace

uint32_t NameHash(const uint8_t* keyCell) { return HashOf(UpperName(keyCell)); }

bool SalvageKeys(HiveImage& image, FrameTable& frames, const KeyWalk& walk, EngineLog& log) {
  return Salvage(image, frames, walk, log).Run();
}

}  // namespace tarvos::hive
