#include "hive/names.h"

#include <string>

#include "hive/bytes.h"
#include "hive/layout.h"

namespace tarvos::hive {

uint16_t UpperUnitBeyondAscii(uint16_t c) {
  if (c == 0xFF) return 0x178;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<uint16_t>(c - 0x20);
  if (c >= 0x100 && c <= 0x17F) {  // Latin Extended-A: pairs, the capital first
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return (c % 2 == (oddCapitals ? 0u : 1u)) ? static_cast<uint16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<uint16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<uint16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<uint16_t>(c - 0x50);
  return c;
}

StoredName StoredName::OfKey(uint8_t* cell, uint32_t cellLength) {
  return StoredName{cell, cellLength, key::kNameLength, key::kName, key::kFlags, key::kFlagCompressedName};
}

StoredName StoredName::OfValue(uint8_t* cell, uint32_t cellLength) {
  return StoredName{cell, cellLength, value::kNameLength, value::kName, value::kFlags, value::kFlagCompressedName};
}

bool StoredName::Compressed() const { return (Le16(cell + flagsField) & compressedFlag) != 0; }

uint32_t StoredName::Length() const {
  uint32_t length = Le16(cell + lengthField);
  uint32_t room = cellLength > textAt ? cellLength - textAt : 0;
  return length < room ? length : room;
}

uint32_t StoredName::Room() const {
  uint32_t bytes = cellLength > textAt ? cellLength - textAt : 0;
  if (bytes > 0xFFFF) bytes = 0xFFFF;
  return Compressed() ? bytes : bytes / 2;
}

std::vector<uint16_t> StoredName::Units() const {
  std::vector<uint16_t> units;
  units.reserve(Length());
  ForEachUnit([&units](uint16_t c) { units.push_back(c); });
  return units;
}

std::vector<uint16_t> StoredName::Upper() const {
  std::vector<uint16_t> units = Units();
  for (uint16_t& c : units) c = UpperUnit(c);
  return units;
}

void StoredName::Write(const std::vector<uint16_t>& units) {
  bool narrow = true;
  for (uint16_t c : units) narrow = narrow && c <= 0xFF;
  uint16_t flags = Le16(cell + flagsField);
  PutLe16(cell + flagsField, static_cast<uint16_t>(narrow ? flags | compressedFlag : flags & ~compressedFlag));
  uint32_t room = Room();
  uint32_t count = units.size() < room ? static_cast<uint32_t>(units.size()) : room;
  for (uint32_t i = 0; i < count; ++i) {
    if (narrow) {
      cell[textAt + i] = static_cast<uint8_t>(units[i]);
    } else {
      PutLe16(cell + textAt + 2 * i, units[i]);
    }
  }
  PutLe16(cell + lengthField, static_cast<uint16_t>(narrow ? count : 2 * count));
}

bool PrintableLatin1(const uint8_t* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] < 0x20 || (text[i] >= 0x7F && text[i] < 0xA0)) return false;
  }
  return true;
}

int CompareNames(const StoredName& a, const StoredName& b) {
  const uint32_t na = a.Units16(), nb = b.Units16();
  for (uint32_t i = 0; i < na && i < nb; ++i) {
    const uint16_t ua = UpperUnit(a.UnitAt(i)), ub = UpperUnit(b.UnitAt(i));
    if (ua != ub) return ua < ub ? -1 : 1;
  }
  return na == nb ? 0 : na < nb ? -1 : 1;
}

uint32_t HashOfName(const std::vector<uint16_t>& upperName) {
  uint32_t hash = 0;
  for (uint16_t c : upperName) hash = hash * 37 + c;
  return hash;
}

void TakenNames::Remove(const std::vector<uint16_t>& upper) {
  auto held = taken_.find(upper);
  if (held != taken_.end() && --held->second == 0) taken_.erase(held);
}

uint32_t ListHint(uint16_t listSignature, const uint8_t* keyCell, uint32_t keyCellLength) {
  const StoredName name = StoredName::OfKey(const_cast<uint8_t*>(keyCell), keyCellLength);
  if (listSignature == cell::kHashLeafSignature) {  // read in place: every key of such a list asks
    uint32_t hash = 0;
    name.ForEachUnit([&hash](uint16_t c) { hash = hash * 37 + UpperUnit(c); });
    return hash;
  }
  if (listSignature != cell::kFastLeafSignature) return 0;
  // The first four characters, each as its low byte.
  uint8_t hint[4] = {0, 0, 0, 0};
  uint32_t count = 0;
  name.ForEachUnit([&hint, &count](uint16_t c) {
    if (count < 4) hint[count++] = static_cast<uint8_t>(c);
  });
  return Le32(hint);
}

bool TakenNames::ClaimOrRename(StoredName name) {
  std::vector<uint16_t> upper = name.Upper();
  if (taken_.emplace(upper, 1).second) return true;
  std::vector<uint16_t> units = name.Units();
  uint32_t room = name.Room();
  int& n = next_[upper];
  if (n < 2) n = 2;
  for (int tries = 0; tries < 100000; ++tries, ++n) {
    std::string suffix = " (" + std::to_string(n) + ")";
    std::vector<uint16_t> candidate = units;
    if (units.size() + suffix.size() > room) {  // no room to add: the end gives way
      suffix = std::to_string(n);
      suffix.insert(suffix.begin(), '~');
      if (suffix.size() > room) return false;
      candidate.resize(room - suffix.size() < units.size() ? room - suffix.size() : units.size());
    }
    candidate.insert(candidate.end(), suffix.begin(), suffix.end());
    std::vector<uint16_t> candidateUpper = candidate;
    for (uint16_t& c : candidateUpper) c = UpperUnit(c);
    if (!taken_.emplace(candidateUpper, 1).second) continue;
    name.Write(candidate);
    ++n;
    return true;
  }
  return false;
}

}  // namespace tarvos::hive
