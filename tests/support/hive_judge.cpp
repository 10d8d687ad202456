#include "support/hive_judge.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <unordered_map>

#include "hive/layout.h"
#include "support/temp_dir.h"

namespace tarvos::testing {
namespace {

using namespace hive;

// Little-endian reads by file offset that give 0 outside the image.
struct View {
  const std::vector<uint8_t>& bytes;
  bool Has(uint64_t at, uint64_t n) const { return at <= bytes.size() && n <= bytes.size() - at; }
  uint32_t U8(uint64_t at) const { return Has(at, 1) ? bytes[at] : 0; }
  uint32_t U16(uint64_t at) const { return U8(at) | U8(at + 1) << 8; }
  uint32_t U32(uint64_t at) const { return U16(at) | U16(at + 2) << 16; }
  // A field of the cell at a hive offset.
  uint32_t Field16(uint32_t cell, uint32_t field) const { return U16(uint64_t{cell} + kBaseBlockSize + field); }
  uint32_t Field32(uint32_t cell, uint32_t field) const { return U32(uint64_t{cell} + kBaseBlockSize + field); }
};

bool SoundFrameHeader(const View& v, uint64_t page) {
  return v.Has(page, frame::kHeaderSize) && v.U32(page + frame::kSignature) == frame::kSignatureValue &&
         v.U32(page + frame::kOwnOffset) == page - kBaseBlockSize;
}

// The allocated cells found page by page up to end (a file offset): a page that starts with a
// sound frame header starts a frame, which runs for its size field when that is sane and fits, or
// else to the end, but never past the next sound frame header. Its cells are walked while their
// sizes are sane; the rest of a frame after an insane size is lost.
struct CellScan {
  std::vector<uint32_t> allocated;  // hive offsets, in order
  uint64_t brokenAt = 0;            // file offset of the first irregular page, frame or cell (0: none)
};

CellScan ScanCells(const View& v, uint64_t end) {
  CellScan scan;
  auto broken = [&scan](uint64_t at) { scan.brokenAt = scan.brokenAt != 0 ? scan.brokenAt : at; };
  for (uint64_t page = kBaseBlockSize; page < end;) {
    if (!SoundFrameHeader(v, page)) {
      broken(page);
      page += kPageSize;
      continue;
    }
    uint64_t size = v.U32(page + frame::kSize);
    bool sane = size > 0 && size % kPageSize == 0 && size <= end - page;
    if (!sane) broken(page);
    uint64_t frameEnd = sane ? page + size : end;
    for (uint64_t next = page + kPageSize; next < frameEnd; next += kPageSize) {
      if (SoundFrameHeader(v, next)) {
        if (sane) broken(next);
        frameEnd = next;
      }
    }
    for (uint64_t at = page + frame::kHeaderSize; at < frameEnd;) {
      uint32_t field = v.U32(at);
      uint32_t length = static_cast<int32_t>(field) < 0 ? 0u - field : field;
      if (length < cell::kAlignment || length % cell::kAlignment != 0 || length > frameEnd - at) {
        broken(at);
        break;
      }
      if (static_cast<int32_t>(field) < 0) scan.allocated.push_back(static_cast<uint32_t>(at - kBaseBlockSize));
      at += length;
    }
    page = frameEnd;
  }
  return scan;
}

// Whether an allocated cell of the given length is a key cell holding its fixed fields and its name.
bool WholeKeyCell(const View& v, uint32_t cell, uint32_t length) {
  uint32_t nameLength = v.Field16(cell, key::kNameLength);
  return v.Field16(cell, cell::kSignature) == cell::kKeySignature && nameLength > 0 &&
         length >= key::kName + nameLength;
}

uint32_t AllocatedLength(const View& v, uint32_t cell) { return 0u - v.Field32(cell, cell::kSize); }

// A key's name, or a value's, as 16-bit units (an 8-bit name gives one unit a byte).
std::u16string NameUnits(const View& v, uint32_t cell, bool ofValue = false) {
  const uint32_t text = ofValue ? value::kName : key::kName;
  uint32_t length = v.Field16(cell, ofValue ? value::kNameLength : key::kNameLength);
  bool narrow = (v.Field16(cell, ofValue ? value::kFlags : key::kFlags) &
                 (ofValue ? value::kFlagCompressedName : key::kFlagCompressedName)) != 0;
  std::u16string units;
  for (uint32_t i = 0; narrow ? i < length : i + 1 < length; i += narrow ? 1 : 2) {
    units.push_back(static_cast<char16_t>(narrow ? v.U8(uint64_t{cell} + kBaseBlockSize + text + i) : v.Field16(cell, text + i)));
  }
  return units;
}

std::u16string Folded(std::u16string units) {
  for (char16_t& unit : units) {
    // The letters Windows upper-cases in ASCII, Latin-1, Latin Extended-A (pairs, the capital first
    // but for two runs where it comes second), basic Greek and Cyrillic.
    const char16_t u = unit;
    if ((u >= u'a' && u <= u'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) {
      unit = static_cast<char16_t>(u - 0x20);
    } else if (u == 0xFF) {
      unit = 0x178;
    } else if (u >= 0x100 && u <= 0x17F && u != 0x131 && u != 0x138 && u != 0x149 && u != 0x17F) {
      const bool capitalOdd = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
      if ((u % 2 == 1) != capitalOdd) unit = static_cast<char16_t>(u - 1);
    } else if ((u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) || (u >= 0x430 && u <= 0x44F)) {
      unit = static_cast<char16_t>(u - 0x20);
    } else if (u >= 0x450 && u <= 0x45F) {
      unit = static_cast<char16_t>(u - 0x50);
    }
  }
  return units;
}

std::string Printable(const std::u16string& units) {
  std::string text;
  char escaped[8];
  for (char16_t unit : units) {
    if (unit >= 0x20 && unit < 0x7F) {
      text += static_cast<char>(unit);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
      text += escaped;
    }
  }
  return text;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::set<uint32_t> IntactKeys(const std::vector<uint8_t>& image) {
  View v{image};
  std::unordered_map<uint32_t, uint32_t> parents;  // key cell -> its parent field
  uint32_t root = kNullOffset, firstHiveEntry = kNullOffset;
  for (uint32_t cell : ScanCells(v, image.size()).allocated) {
    if (!WholeKeyCell(v, cell, AllocatedLength(v, cell))) continue;
    parents[cell] = v.Field32(cell, key::kParent);
    if (cell == v.U32(base::kRootKeyOffset)) root = cell;
    uint32_t flags = v.Field16(cell, key::kFlags);
    if (firstHiveEntry == kNullOffset && (flags & (key::kFlagHiveEntry | key::kFlagNoDelete)) ==
                                             (key::kFlagHiveEntry | key::kFlagNoDelete)) {
      firstHiveEntry = cell;
    }
  }
  if (root == kNullOffset) root = firstHiveEntry;
  std::set<uint32_t> intact;
  if (root == kNullOffset) return intact;
  enum : uint8_t { kOut, kIn, kOnChain };
  std::unordered_map<uint32_t, uint8_t> state{{root, kIn}};
  std::vector<uint32_t> chain;
  for (const auto& [start, parent] : parents) {
    chain.clear();
    uint8_t result = kOut;
    for (uint32_t at = start;;) {
      auto known = state.find(at);
      if (known != state.end()) {
        result = known->second == kIn ? kIn : kOut;  // met on this chain again: a loop
        break;
      }
      auto found = parents.find(at);
      if (found == parents.end()) break;
      state[at] = kOnChain;
      chain.push_back(at);
      at = found->second;
    }
    for (uint32_t at : chain) state[at] = result;
  }
  for (const auto& [at, known] : state) {
    if (known == kIn) intact.insert(at);
  }
  return intact;
}

TreeReport ReadTree(const std::vector<uint8_t>& image) {
  View v{image};
  TreeReport report;
  auto fault = [&report](const std::string& what, uint64_t at) {
    if (report.sound) report.firstFault = what + " " + Hex(at);
    report.sound = false;
  };
  // Frames and cells tile the data area the base block declares, all of it within the file.
  uint64_t dataEnd = uint64_t{kBaseBlockSize} + v.U32(base::kHiveDataSize);
  if (dataEnd % kPageSize != 0 || dataEnd > image.size()) fault("a data size that does not fit the file:", dataEnd);
  CellScan scan = ScanCells(v, std::min<uint64_t>(dataEnd, image.size()));
  if (scan.brokenAt != 0) fault("a frame or cell goes wrong at file offset", scan.brokenAt);
  // The length of the allocated cell at a hive offset; 0 when no such cell starts there.
  auto length = [&](uint32_t cell) {
    return std::binary_search(scan.allocated.begin(), scan.allocated.end(), cell) ? AllocatedLength(v, cell) : 0u;
  };
  uint32_t root = v.U32(base::kRootKeyOffset);
  if (!WholeKeyCell(v, root, length(root))) {
    fault("no key cell at the root offset", root);
    return report;
  }
  report.reachable.insert(root);
  std::set<uint32_t> lists;
  std::vector<uint32_t> stack{root};
  while (!stack.empty()) {
    uint32_t parent = stack.back();
    stack.pop_back();
    uint32_t valueCount = v.Field32(parent, key::kValueCount), valueList = v.Field32(parent, key::kValueList);
    if (valueCount != 0 && uint64_t{valueCount} * 4 + 4 <= length(valueList)) {
      std::vector<std::u16string> valueNames;  // folded; Windows finds the first value of a name
      for (uint32_t i = 0; i < valueCount; ++i) {
        uint32_t value = v.Field32(valueList, value::kListEntries + 4 * i);
        report.values.emplace(value, parent);
        std::u16string name = NameUnits(v, value, true);
        if (!name.empty()) valueNames.push_back(Folded(name));
      }
      std::sort(valueNames.begin(), valueNames.end());
      for (size_t i = 1; i < valueNames.size(); ++i) {
        if (valueNames[i] == valueNames[i - 1]) report.duplicates.push_back(Hex(parent) + ": value " + Printable(valueNames[i]));
      }
    }
    uint32_t count = v.Field32(parent, key::kSubkeyCount), list = v.Field32(parent, key::kSubkeyList);
    if (count == 0) continue;
    // The leaves: the list itself, or those an index root holds.
    std::vector<uint32_t> leaves{list};
    if (length(list) != 0 && v.Field16(list, cell::kSignature) == cell::kIndexRootSignature) {
      leaves.clear();
      uint32_t entries = v.Field16(list, list::kCount);
      if (!lists.insert(list).second || list::kEntries + entries * list::kShortEntry > length(list)) {
        fault("an index root met twice or too short at", list);
        continue;
      }
      for (uint32_t i = 0; i < entries; ++i) leaves.push_back(v.Field32(list, list::kEntries + i * list::kShortEntry));
    }
    std::vector<uint32_t> children;
    for (uint32_t leaf : leaves) {
      uint32_t signature = length(leaf) != 0 ? v.Field16(leaf, cell::kSignature) : 0;
      bool longEntries = signature == cell::kFastLeafSignature || signature == cell::kHashLeafSignature;
      uint32_t step = signature == cell::kIndexLeafSignature ? list::kShortEntry : longEntries ? list::kLongEntry : 0;
      uint32_t entries = v.Field16(leaf, list::kCount);
      if (step == 0 || !lists.insert(leaf).second || list::kEntries + entries * step > length(leaf)) {
        fault("no subkey list, or one met twice or too short, at", leaf);
        continue;
      }
      for (uint32_t i = 0; i < entries; ++i) {
        uint32_t child = v.Field32(leaf, list::kEntries + i * step);
        children.push_back(child);
        if (!longEntries || !WholeKeyCell(v, child, length(child))) continue;
        // Windows compares an entry's hash ("lh") or first four characters ("lf") before its name.
        uint32_t hint = 0;
        std::u16string name = NameUnits(v, child);
        if (signature == cell::kHashLeafSignature) {
          for (char16_t unit : Folded(name)) hint = hint * 37 + unit;
        } else {
          for (size_t c = 0; c < 4 && c < name.size(); ++c) hint |= (name[c] & 0xFFu) << (8 * c);
        }
        if (v.Field32(leaf, list::kEntries + i * step + 4) != hint) report.mishashed.push_back(Hex(leaf) + ": " + Printable(name));
      }
    }
    if (children.size() != count) fault("a subkey count differs from its lists at key", parent);
    std::vector<std::pair<std::u16string, std::u16string>> names;  // folded, as stored
    for (uint32_t child : children) {
      if (!WholeKeyCell(v, child, length(child))) {
        fault("no key cell at", child);
      } else if (!report.reachable.insert(child).second) {
        fault("a key listed twice (or a loop) at", child);
      } else {
        if (v.Field32(child, key::kParent) != parent) fault("a wrong parent field at key", child);
        std::u16string name = NameUnits(v, child);
        names.emplace_back(Folded(name), name);
        stack.push_back(child);
      }
    }
    // Windows finds a subkey by a binary search of its parent's lists: they hold the names in order.
    if (!std::is_sorted(names.begin(), names.end(), [](const auto& a, const auto& b) { return a.first < b.first; })) {
      std::string order;
      for (const auto& name : names) order += " " + Printable(name.second);
      report.unordered.push_back(Hex(parent) + ":" + order);
    }
    std::sort(names.begin(), names.end());
    for (size_t i = 1; i < names.size(); ++i) {
      if (names[i].first == names[i - 1].first) {
        report.duplicates.push_back(Hex(parent) + ": " + Printable(names[i].second));
      }
    }
  }
  return report;
}

KeptKeys Kept(const std::set<uint32_t>& intact, const std::vector<uint8_t>& damaged, const TreeReport& repairedTree,
              const std::vector<uint8_t>& repaired) {
  View before{damaged}, after{repaired};
  uint32_t root = after.U32(base::kRootKeyOffset);
  KeptKeys counts;
  for (uint32_t key : intact) {
    if (repairedTree.reachable.count(key) == 0) continue;
    ++counts.kept;
    if (key != root && before.Field32(key, key::kParent) != after.Field32(key, key::kParent)) ++counts.moved;
  }
  return counts;
}

Spared SparedItems(const std::vector<uint8_t>& sound, const std::vector<uint8_t>& damaged, const TreeReport& repairedTree) {
  View before{sound}, after{damaged};
  // Whether a cell of the sound image has the same bytes at the same place in the damaged one.
  auto same = [&](uint32_t cell) {
    uint64_t at = uint64_t{cell} + kBaseBlockSize, n = AllocatedLength(before, cell);
    return n >= 4 && before.Has(at, n) && after.Has(at, n) &&
           std::equal(sound.begin() + static_cast<std::ptrdiff_t>(at), sound.begin() + static_cast<std::ptrdiff_t>(at + n),
                      damaged.begin() + static_cast<std::ptrdiff_t>(at));
  };
  TreeReport tree = ReadTree(sound);
  std::unordered_map<uint32_t, bool> spared;  // key -> its cell and those of every key above it kept
  uint32_t root = before.U32(base::kRootKeyOffset);
  std::function<bool(uint32_t)> keySpared = [&](uint32_t key) {
    auto known = spared.find(key);
    if (known != spared.end()) return known->second;
    spared[key] = false;  // a loop in a sound tree is none, but never recurse for ever
    uint32_t parent = before.Field32(key, key::kParent);
    bool kept = same(key) && (key == root || (tree.reachable.count(parent) != 0 && keySpared(parent)));
    return spared[key] = kept;
  };
  Spared counts;
  for (uint32_t key : tree.reachable) {
    if (!keySpared(key)) continue;
    ++counts.keys;
    if (repairedTree.reachable.count(key) == 0) ++counts.droppedKeys;
    // Its values whose cells and list are as they were.
    uint32_t valueCount = before.Field32(key, key::kValueCount), valueList = before.Field32(key, key::kValueList);
    if (valueCount == 0) continue;
    const bool listSpared = same(valueList);
    for (uint32_t i = 0; i < valueCount; ++i) {
      uint32_t value = before.Field32(valueList, value::kListEntries + 4 * i);
      if (!same(value)) continue;
      auto found = repairedTree.values.find(value);
      if (listSpared) {
        ++counts.values;
        if (found == repairedTree.values.end()) ++counts.droppedValues;
      } else {
        ++counts.listLost;
        if (found != repairedTree.values.end() && found->second == key) ++counts.home;
      }
    }
  }
  return counts;
}

bool OthersOpen(const std::string& path, std::string& refusedBy, const std::string& skip) {
  static const std::vector<std::string> installed = [] {
    std::vector<std::string> found;
    for (const char* reader : {"hivexml", "regfexport"}) {
      if (!CommandOutput(std::string("command -v ") + reader).empty()) found.push_back(reader);
    }
    return found;
  }();
  // The readers run side by side; each that fails (or takes over a minute) names itself.
  std::string command;
  for (const std::string& reader : installed) {
    if (reader == skip) continue;
    command += "{ timeout 60 " + reader + " '" + path + "' >/dev/null 2>&1 </dev/null || echo " + reader + "; } & ";
  }
  refusedBy.clear();
  if (command.empty()) return true;
  std::istringstream said(CommandOutput(command + "wait"));
  std::vector<std::string> refused;
  for (std::string word; said >> word;) refused.push_back(word);
  std::sort(refused.begin(), refused.end());
  for (const std::string& reader : refused) refusedBy += (refusedBy.empty() ? "" : " ") + reader;
  return refused.empty();
}

}  // namespace tarvos::testing
