// Names of keys and values as Windows compares them: characters upper-cased, so that "Run" and
// "RUN" are one name; the hash an "lh" list keeps of a key's name; and names made apart from
// names already taken among siblings.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace tarvos::hive {

// One UTF-16 unit upper-cased as Windows does for the letters of Latin-1, Latin Extended-A,
// Greek and Cyrillic.
uint16_t UpperUnitBeyondAscii(uint16_t c);
inline uint16_t UpperUnit(uint16_t c) {
  if (c < 0x61) return c;
  if (c <= 0x7A) return static_cast<uint16_t>(c - 0x20);
  return c < 0x80 ? c : UpperUnitBeyondAscii(c);
}

// The name stored in a key or value cell: where its length, text and flags are, and how long the
// cell is (so that a name is never written past it).
struct StoredName {
  uint8_t* cell = nullptr;
  uint32_t cellLength = 0;
  uint32_t lengthField = 0;
  uint32_t textAt = 0;
  uint32_t flagsField = 0;
  uint16_t compressedFlag = 0;

  static StoredName OfKey(uint8_t* cell, uint32_t cellLength);
  static StoredName OfValue(uint8_t* cell, uint32_t cellLength);
  bool Compressed() const;
  // Bytes of text, never more than the cell holds.
  uint32_t Length() const;
  // Characters that fit the cell.
  uint32_t Room() const;
  // Its characters as stored: compressed names are Latin-1, the others UTF-16LE (an odd last byte is
  // left out).
  std::vector<uint16_t> Units() const;
  // The same characters handed one at a time to each(unit), with nothing allocated: the one
  // place a stored name is decoded.
  template <typename Each>
  void ForEachUnit(Each each) const {
    const uint8_t* text = cell + textAt;
    const uint32_t length = Length();
    if (Compressed()) {
      for (uint32_t i = 0; i < length; ++i) each(static_cast<uint16_t>(text[i]));
    } else {
      for (uint32_t i = 0; i + 1 < length; i += 2) each(static_cast<uint16_t>(text[i] | text[i + 1] << 8));
    }
  }
  // The unit at a place below Length() / 2 (UTF-16) or Length() (compressed).
  uint16_t UnitAt(uint32_t i) const {
    const uint8_t* text = cell + textAt;
    return Compressed() ? text[i] : static_cast<uint16_t>(text[2 * i] | text[2 * i + 1] << 8);
  }
  uint32_t Units16() const { return Compressed() ? Length() : Length() / 2; }
  std::vector<uint16_t> Upper() const;
  // Writes the characters (within Room), compressed (a byte each) when every one fits a byte.
  void Write(const std::vector<uint16_t>& units);
};

// The order of two names as Windows sorts a key's list: upper-cased, UTF-16 units compared as
// numbers, a name before the longer names it begins. Negative, 0 or positive; nothing allocated.
int CompareNames(const StoredName& a, const StoredName& b);

uint32_t HashOfName(const std::vector<uint16_t>& upperName);

// Whether bytes read as Latin-1 are printable text throughout: a name of such bytes whose
// compressed flag was lost is taken as compressed again.
bool PrintableLatin1(const uint8_t* text, uint32_t length);

// Names taken among the siblings of one key, compared as Windows compares them; a name may be
// held by more than one key (as written).
class TakenNames {
 public:
  void Add(const std::vector<uint16_t>& upper) { ++taken_[upper]; }
  // One key that held the name holds it no more.
  void Remove(const std::vector<uint16_t>& upper);
  bool Has(const std::vector<uint16_t>& upper) const { return taken_.count(upper) != 0; }
  // Takes the name as it stands when it is free; otherwise gives it the first free form of
  // name + " (n)" that fits its cell, or the name cut to end in "~n". False when no form fits
  // (the name stays as it was, untaken).
  bool ClaimOrRename(StoredName name);

 private:
  std::map<std::vector<uint16_t>, uint32_t> taken_;  // name -> keys that hold it
  std::map<std::vector<uint16_t>, int> next_;        // per name, the first n not yet tried
};

// The hint an "lf" list keeps beside a key (the first four bytes of its name as stored), or the
// hash an "lh" list keeps; any other list keeps none (0).
uint32_t ListHint(uint16_t listSignature, const uint8_t* keyCell, uint32_t keyCellLength);

}  // namespace tarvos::hive
