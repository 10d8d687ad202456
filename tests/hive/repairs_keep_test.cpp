// Repairs that keep what is there: built hives with one kind of damage each, repaired with Fix
// All, must keep the keys a careful reader still finds, check clean a second time, hold no two
// subkeys of one name, and open in the other readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>

#include "support/hive_builder.h"
#include "support/hive_judge.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::CellField;
using testing::Get32;
using testing::HiveBuilder;
using testing::Put16;
using testing::Put32;
using testing::WalkedHive;

std::string KeyName(WalkedHive& h, uint32_t key) {
  const uint8_t* k = h.image.AtHiveOffset(key);
  return std::string(reinterpret_cast<const char*>(k + key::kName), Le16(k + key::kNameLength));
}

std::string ValueName(WalkedHive& h, uint32_t value) {
  const uint8_t* v = h.image.AtHiveOffset(value);
  return std::string(reinterpret_cast<const char*>(v + value::kName), Le16(v + value::kNameLength));
}

std::set<uint32_t> ValuesOf(WalkedHive& h, uint32_t key) {
  std::set<uint32_t> values;
  for (uint32_t i = 0; i < h.Field(key, key::kValueCount); ++i) values.insert(h.Field(h.Field(key, key::kValueList), value::kListEntries + 4 * i));
  return values;
}

struct Case {
  const char* what;
  // Builds the hive into the builder and returns the keys that must be reachable afterwards.
  std::function<std::vector<uint32_t>(HiveBuilder&, std::vector<uint32_t>& keys)> build;
  std::function<void(HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes)> damage;
  uint32_t code;  // a fault the repair must report
  std::function<void(WalkedHive&, HiveBuilder&, const std::vector<uint32_t>& keys)> expect = nullptr;
};

// A page of foreign bytes whose size field reads several pages.
void Junk(std::vector<uint8_t>& bytes, uint32_t fileOffset, uint32_t sizeField) {
  for (uint32_t i = 0; i < kPageSize; ++i) bytes[fileOffset + i] = static_cast<uint8_t>(i * 7 + 3);
  Put32(bytes, fileOffset + frame::kSize, sizeField);
}

TEST(RepairsKeep, BuiltDamageKeepsWhatIsThere) {
  std::vector<Case> cases = {
      {"a page of junk at a frame boundary, its size field 16 pages, sound frames after it",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys.push_back(b.AddKey(b.Root(), "Before"));
         b.NewFrame(kPageSize);  // becomes the junk
         for (int i = 0; i < 20; ++i) {
           b.NewFrame(kPageSize);
           keys.push_back(b.AddKey(b.Root(), "After" + std::to_string(i)));
           b.AddValue(keys.back(), "v", 1, std::vector<uint8_t>(64, 'x'));
         }
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>&, std::vector<uint8_t>& bytes) { Junk(bytes, 0x2000, 0x10000); },
       kInvalidFrameLength},
      {"a healthy frame whose size field reads 64 KB over fifteen frames with values",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         for (int i = 0; i < 18; ++i) {
           b.NewFrame(kPageSize);
           keys.push_back(b.AddKey(b.Root(), "K" + std::to_string(i)));
           b.AddValue(keys.back(), "value", 3, std::vector<uint8_t>(200, static_cast<uint8_t>(i)));
         }
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>&, std::vector<uint8_t>& bytes) {
         Put32(bytes, 0x2000 + frame::kSize, 0x10000);
       },
       kInvalidFrameLength,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>&) {
         EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidFrameLength}) << "nothing else is lost";
       }},
      {"a three-page frame whose signature is damaged: its cells bear its size out, and its big value stays",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Big")};
         keys.push_back(b.AddValue(keys[0], "data", 3, std::vector<uint8_t>(9000, 'b')));
         keys.push_back(b.AddKey(b.Root(), "Next"));
         return std::vector<uint32_t>{keys[0], keys[2]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         uint32_t data = Get32(bytes, CellField(keys[1], value::kData));
         Put32(bytes, kBaseBlockSize + (data & kPageMask) + frame::kSignature, 0x6E696278);
       },
       kInvalidFrameSignature,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidFrameSignature});
         EXPECT_EQ(h.Field(keys[1], value::kDataLength), 9000u);
       }},
      {"a sector of zeros over a three-page frame's header and first cell: the cells after lead to the next frame",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Big")};
         b.NewFrame(3 * kPageSize);
         b.AddValue(keys[0], "small", 3, std::vector<uint8_t>(600, 's'));  // its data cell crosses the sector
         keys.push_back(b.AddValue(keys[0], "data", 3, std::vector<uint8_t>(9000, 'b')));
         b.NewFrame(kPageSize);
         keys.push_back(b.AddKey(b.Root(), "Next"));
         return std::vector<uint32_t>{keys[0], keys[2]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         std::fill_n(bytes.begin() + kBaseBlockSize + (Get32(bytes, CellField(keys[1], value::kData)) & kPageMask), 0x200, 0);
       },
       kInvalidFrameSignature,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) { EXPECT_EQ(h.Field(keys[1], value::kDataLength), 9000u); }},
      {"a class name of an odd length, which no reader takes: the key keeps no class",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Classy"), b.AddCell({'S', 0, 'h', 0, 'e', 0})};
         return std::vector<uint32_t>{keys[0]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(keys[0], key::kClass), keys[1]);
         Put16(bytes, CellField(keys[0], key::kClassLength), 5);
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.Field(keys[0], key::kClass), kNullOffset);
       }},
      {"a two-page frame whose size field reads 0: its cells bear its size out, and both pages stay",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Big")};
         keys.push_back(b.AddValue(keys[0], "data", 3, std::vector<uint8_t>(6000, 'b')));
         keys.push_back(b.AddKey(b.Root(), "Next"));
         return std::vector<uint32_t>{keys[0], keys[2]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         uint32_t data = Get32(bytes, CellField(keys[1], value::kData));
         Put32(bytes, kBaseBlockSize + (data & kPageMask) + frame::kSize, 0);
       },
       kInvalidFrameLength,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidFrameLength});
         EXPECT_EQ(h.Field(keys[1], value::kDataLength), 6000u);
       }},
      {"value names of an odd UTF-16 length: Latin-1 text marked compressed, anything else renamed apart",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys.push_back(b.AddKey(b.Root(), "Values"));
         keys.push_back(b.AddValue(keys[0], "Abc", 4, {1, 2, 3, 4}));
         keys.push_back(b.AddValue(keys[0], std::string("\x01\x02\x03", 3), 4, {1, 2, 3, 4}));
         keys.push_back(b.AddValue(keys[0], std::string("\0zz", 3), 4, {1, 2, 3, 4}));  // starts with a NUL
         return std::vector<uint32_t>{keys[0]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(keys[1], value::kFlags), 0);
         Put16(bytes, CellField(keys[2], value::kFlags), 0);
       },
       kInvalidValueName,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(ValueName(h, keys[1]), "Abc");
         std::string made = ValueName(h, keys[2]), other = ValueName(h, keys[3]);
         EXPECT_FALSE(made.empty());
         EXPECT_NE(made, other);
         EXPECT_NE(other[0], '\0');
       }},
      {"a key two lists name, the first of them the wrong one: it stays with the key its parent field names",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         uint32_t wrong = b.AddKey(b.Root(), "A"), right = b.AddKey(b.Root(), "B");
         uint32_t own = b.AddKey(wrong, "Own"), twice = b.AddKey(right, "Twice");
         keys = {wrong, right, own, twice};
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), keys[3]);  // A's list names B's key
       },
       kParentOffsetMismatch,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.Field(keys[3], key::kParent), keys[1]);
         EXPECT_EQ(h.Subkeys(keys[0]), 1u) << "A has its own key back";
         EXPECT_EQ(h.Subkeys(keys[1]), 1u);
       }},
      {"a name longer than its cell: cut to the cell, apart from a sibling of the name it then has",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Parent")};
         keys.push_back(b.AddKey(keys[0], "Runxxxxx"));
         keys.push_back(b.AddKey(keys[0], "Run"));
         keys.push_back(b.AddKey(b.AddKey(b.Root(), "Other"), "Solo"));  // its slack zeros, no sibling of its name
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         for (uint32_t i = 3; i < 8; ++i) bytes[CellField(keys[2], key::kName + i)] = 'x';  // slack that reads on
         for (uint32_t key : {keys[2], keys[3]}) Put16(bytes, CellField(key, key::kNameLength), 0x400);
       },
       kDataOverlapped,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(KeyName(h, keys[2]).substr(0, 4), "Runx");
         EXPECT_NE(KeyName(h, keys[2]), "Runxxxxx");
         EXPECT_EQ(KeyName(h, keys[3]), "Solo") << "no NUL kept, no rename";
       }},
      {"a name byte changed to give a sibling's name, in an lh list whose hash tells: renamed apart",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "P")};
         keys.push_back(b.AddKey(keys[0], "Run"));
         keys.push_back(b.AddKey(keys[0], "Ruo"));
         b.SetListKind(keys[0], testing::ListKind::HashLeaf);
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         bytes[CellField(keys[2], key::kName + 2)] = 'N';
       },
       kInvalidKeyName,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(KeyName(h, keys[1]), "Run") << "the key whose hash tells nothing changed keeps its name";
       }},
      {"a data cell freed by a repair, named by a value of a key salvage brings back, walked before lost+found",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         b.AddFreeCell(32);  // room for a short list, not for a key
         keys = {b.AddKey(b.Root(), "A")};
         keys.push_back(b.AddKey(keys[0], "Cut"));
         keys.push_back(b.AddKey(keys[0], "Kept"));
         keys.push_back(b.AddValue(keys[1], "data", 3, std::vector<uint8_t>(300, 'd')));
         keys.push_back(b.AddKey(b.Root(), "Gone"));
         keys.push_back(b.AddKey(keys[4], "Lost"));
         return std::vector<uint32_t>{keys[0], keys[1], keys[2], keys[5]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), 0x7FFFFFF8);  // "Cut" is cut off
         uint32_t data = Get32(bytes, CellField(keys[3], value::kData));
         Put32(bytes, CellField(data, 0), 0u - 0x2C3);  // its data cell's size no longer whole
         Put32(bytes, CellField(keys[4], 0), 0u - Get32(bytes, CellField(keys[4], 0)));  // "Gone" freed
       },
       kInvalidCellSize},
      {"a data cell whose size lost its sign and runs past its frame, named by a value of a key salvage brings back: no "
       "key made for a lost one goes there",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A")};
         keys.push_back(b.AddKey(keys[0], "Cut"));
         keys.push_back(b.AddKey(keys[0], "Kept"));
         keys.push_back(b.AddValue(keys[1], "data", 3, std::vector<uint8_t>(300, 'd')));  // room for a key
         keys.push_back(b.AddKey(b.Root(), "Gone"));
         keys.push_back(b.AddKey(keys[4], "Lost"));
         return std::vector<uint32_t>{keys[0], keys[1], keys[2], keys[5]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), 0x7FFFFFF8);  // "Cut" is cut off
         Put32(bytes, CellField(Get32(bytes, CellField(keys[3], value::kData)), 0), 0x10000);
         Put32(bytes, CellField(keys[4], 0), 0u - Get32(bytes, CellField(keys[4], 0)));  // "Gone" freed
       },
       kCellSizeTooLarge,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>&) {
         std::vector<std::string> found;
         for (const std::string& line : h.rig.log.lines) {
           if (line.rfind("! Error found: <", 0) == 0) found.push_back(line.substr(16, line.find('>') - 16));
         }
         EXPECT_EQ(found, (std::vector<std::string>{"Cell size is too large", "Invalid offset", "Invalid offset", "Invalid offset"}))
             << "the data offset finds the cell free, never a key made there";
       }},
      {"keys cut off whose compressed flag was lost (a name of odd length in UTF-16): brought back, Latin-1 named as it was",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A")};
         keys.push_back(b.AddKey(keys[0], "\xEBigen"));
         keys.push_back(b.AddKey(keys[0], std::string("\x01\x02\x03", 3)));
         keys.push_back(b.AddKey(keys[1], "Below"));
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), 0x7FFFFFF8);
         for (uint32_t cut : {keys[1], keys[2]}) Put16(bytes, CellField(cut, key::kFlags), 0);
       },
       kInvalidKeyName,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(KeyName(h, keys[1]), "\xEBigen");
         EXPECT_EQ(h.Field(keys[1], key::kParent), keys[0]);
         char own[9];
         std::snprintf(own, sizeof own, "%08X", keys[2]);
         EXPECT_EQ(KeyName(h, keys[2]), own) << "a name of its own, made of its offset";
       }},
      {"a key cell's size grown over the key cell after it: cut back, and the key after it kept",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A"), b.AddKey(b.Root(), "B"), b.AddKey(b.Root(), "C")};
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(keys[1], 0), Get32(bytes, CellField(keys[1], 0)) - 0x10);  // over C's first 16 bytes
       },
       kCellSizeTooLarge},
      {"a free cell's size grown over the key after it, with a stale size in its bytes over that key: cut back to the key",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddFreeCell(64), b.AddKey(b.Root(), "Mid"), b.AddKey(b.Root(), "Next")};
         return std::vector<uint32_t>{keys[1], keys[2]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(keys[0], 0), 64 + 0x10);  // over the key's first 16 bytes
         Put32(bytes, CellField(keys[0], 8), keys[2] - (keys[0] + 8));  // a stale free cell's size, up to "Next"
       },
       kCellSizeTooLarge},
      {"a key cell's size grown over the keys after it, to a stale size in a free cell: the bad size two cells on",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A"), b.AddKey(b.Root(), "B"), b.AddFreeCell(64), b.AddKey(b.Root(), "C")};
         return std::vector<uint32_t>{keys[1], keys[3]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(keys[0], 0), 0u - (keys[2] + 16 - keys[0]));  // "A" up into the free cell
         Put32(bytes, CellField(keys[2], 16), 24);  // a stale size there, which leads to its zeros
       },
       kCellSizeTooLarge},
      {"two bad sizes in one frame, and a word of the first bad cell that reads as a size over both: the key between kept",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddCell(std::vector<uint8_t>(16, 0)), b.AddKey(b.Root(), "Mid"), b.AddKey(b.Root(), "C")};
         keys.push_back(b.AddValue(keys[2], "w", 4, {1, 2, 3, 4}));
         keys.push_back(b.AddKey(b.Root(), "D"));
         return std::vector<uint32_t>{keys[1], keys[2], keys[4]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(keys[0], 0), 0xFFFFFFFF);
         Put32(bytes, CellField(keys[0], 8), keys[4] - (keys[0] + 8));  // from its second step to "D"
         Put32(bytes, CellField(keys[3], 0), 0x80000008);  // the value's size
       },
       kInvalidCellSize},
      {"a subtree brought back with a broken list of its own: a second round brings its keys back",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "P")};
         keys.push_back(b.AddKey(keys[0], "K"));
         keys.push_back(b.AddKey(keys[1], "L"));
         keys.push_back(b.AddKey(keys[2], "M"));
         keys.push_back(b.AddKey(keys[0], "Sibling"));
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), 0x7FFFFFF8);
         Put32(bytes, CellField(b.ListOf(keys[1]), list::kEntries), 0x7FFFFFF8);
       },
       kInvalidOffset},
      {"orphans named \"Run\" and \"RUN\" going into lost+found, beside a key named \"lost+found\" that is a link",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         uint32_t link = b.AddKey(b.Root(), "lost+found");
         uint32_t one = b.AddKey(b.Root(), "One"), two = b.AddKey(b.Root(), "Two");
         keys = {link, b.AddKey(one, "Run"), b.AddKey(two, "RUN"), one, two};
         return std::vector<uint32_t>{keys[0], keys[1], keys[2]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put16(bytes, CellField(keys[0], key::kFlags), key::kFlagLink | key::kFlagCompressedName);
         // Their parents freed, and out of the root's list, whose count still holds them.
         for (uint32_t gone : {keys[3], keys[4]}) Put32(bytes, CellField(gone, 0), 0u - Get32(bytes, CellField(gone, 0)));
         Put16(bytes, CellField(b.ListOf(b.Root()), list::kCount), 1);
       },
       kSubkeyCountMismatch,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         uint32_t folder = h.Field(keys[1], key::kParent);
         EXPECT_EQ(KeyName(h, folder), "lost+found (2)");
         EXPECT_EQ(h.Field(keys[2], key::kParent), folder);
       }},
      {"a loop of parent fields: X lists Y while X's field names Y; X heads the chain",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A")};
         keys.push_back(b.AddKey(keys[0], "X"));
         keys.push_back(b.AddKey(keys[1], "Y"));
         keys.push_back(b.AddKey(keys[1], "Z"));
         return std::vector<uint32_t>{keys[0], keys[1], keys[2], keys[3]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), 0x7FFFFFF8);
         Put32(bytes, CellField(keys[1], key::kParent), keys[2]);
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(KeyName(h, h.Field(keys[1], key::kParent)), "lost+found");
         EXPECT_EQ(h.Subkeys(keys[1]), 2u) << "Y and Z stay under X";
       }},
      {"a loop that no list decides: both of its keys come back",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A"), b.AddKey(b.Root(), "B")};
         keys.push_back(b.AddKey(keys[0], "X"));
         keys.push_back(b.AddKey(keys[1], "Y"));
         return std::vector<uint32_t>{keys[2], keys[3]};
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         for (uint32_t gone : {keys[0], keys[1]}) Put32(bytes, CellField(gone, 0), 0u - Get32(bytes, CellField(gone, 0)));
         Put32(bytes, CellField(keys[2], key::kParent), keys[3]);
         Put32(bytes, CellField(keys[3], key::kParent), keys[2]);
       },
       kInvalidOffset},
      {"lists out of name order, one an index root over hash leaves: sorted, each entry with its hash, \"z\" as \"Z\" before \"_\"",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "P"), b.AddKey(b.Root(), "Q")};
         for (const char* name : {"A", "b", "C", "z", "_"}) keys.push_back(b.AddKey(keys[0], name));
         for (const char* name : {"D", "e", "F", "g"}) keys.push_back(b.AddKey(keys[1], name));
         b.SetListKind(keys[1], testing::ListKind::IndexRoot, 2, testing::ListKind::HashLeaf);
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {  // entries 0 and 2, leaves 0 and 1
         auto at = [&](uint32_t key, uint32_t entry) { return bytes.begin() + CellField(b.ListOf(key), list::kEntries + entry); };
         std::swap_ranges(at(keys[0], 0), at(keys[0], 8), at(keys[0], 16));
         std::swap_ranges(at(keys[1], 0), at(keys[1], 4), at(keys[1], 4));
       },
       kSubkeyListOutOfOrder,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>&) { EXPECT_EQ(h.rig.log.Starting({"! Error found"}).size(), 2u); }},
      {"a key renamed to its offset, whose old name stood last: its list sorted after the rename",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "P")};
         for (const char* name : {"Abc", "Mid", "~\x01\x02"}) keys.push_back(b.AddKey(keys[0], name));
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) { Put16(bytes, CellField(keys[3], key::kFlags), 0); },
       kSubkeyListOutOfOrder,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.AskedCodes(), (std::vector<uint32_t>{kInvalidKeyName, kSubkeyListOutOfOrder}));
         EXPECT_EQ(h.Field(h.ListOf(keys[0]), list::kEntries), keys[3]) << "its digits come first";
       }},
      {"two frames written to each other's places: put back where their headers say",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         for (int i = 0; i < 4; ++i) {
           b.NewFrame(kPageSize);
           keys.push_back(b.AddKey(b.Root(), "K" + std::to_string(i)));
           b.AddValue(keys.back(), "v", 3, std::vector<uint8_t>(100, static_cast<uint8_t>(i)));
         }
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         auto page = [&](uint32_t key) { return bytes.begin() + kBaseBlockSize + (key & kPageMask); };
         std::swap_ranges(page(keys[0]), page(keys[0]) + kPageSize, page(keys[2]));
       },
       kInvalidFrameOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>&) { EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kInvalidFrameOffset}); }},
      {"sound frames past a shorter data size in a base block whose checksum holds: kept",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         for (int i = 0; i < 3; ++i, b.NewFrame(kPageSize)) keys.push_back(b.AddKey(b.Root(), "K" + std::to_string(i)));
         return keys;
       },
       [](HiveBuilder&, const std::vector<uint32_t>&, std::vector<uint8_t>& bytes) {
         Put32(bytes, base::kHiveDataSize, kPageSize);
         testing::StoreChecksum(bytes);
       },
       kInvalidSizeInfo},
      {"a key cell copied over another in a list of no hints, and a value's name over another's, among 3 and 40",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "P")};
         for (const char* name : {"Alpha", "Beta", "Gamma"}) keys.push_back(b.AddKey(keys[0], name));
         b.SetListKind(keys[0], testing::ListKind::IndexLeaf);
         for (int count : {3, 40}) {  // compared in place, and by their hashes once sorted
           const uint32_t key = b.AddKey(b.Root(), "V" + std::to_string(count));
           keys.push_back(key);
           for (int i = 0; i < count; ++i) keys.push_back(b.AddValue(key, i == 0 ? "Path" : i == 1 ? "Port" : "N" + std::to_string(i), 4, {}));
         }
         return std::vector<uint32_t>(keys.begin(), keys.begin() + 4);
       },
       [](HiveBuilder&, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         std::copy_n(bytes.begin() + CellField(keys[3], key::kName), 5, bytes.begin() + CellField(keys[1], key::kName));
         for (size_t port : {6u, 10u}) std::copy_n("PATH", 4, bytes.begin() + CellField(keys[port], value::kName));
       },
       kInvalidKeyName,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(KeyName(h, keys[1]) == "Gamma" ? KeyName(h, keys[3]) : KeyName(h, keys[1]), "Gamma~2") << "no room for \" (2)\"";
         for (size_t port : {6u, 10u}) EXPECT_EQ(ValueName(h, keys[port]), "PATH (2)");
         EXPECT_EQ(h.rig.log.Starting({"! Error found: <Invalid value name>"}).size(), 2u);
       }},
      {"a leaf entry naming another key's list, walked first: not a key, and the list stays its own key's",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "A"), b.AddKey(b.Root(), "B")};
         for (const char* name : {"A1", "A2", "B1", "B2"}) keys.push_back(b.AddKey(keys[name[0] - 'A'], name));
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ListOf(keys[0]), list::kEntries), b.ListOf(keys[1]));
       },
       kNotAKeyCell,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>&) { EXPECT_EQ(h.AskedCodes(), std::vector<uint32_t>{kNotAKeyCell}) << "no cross link"; }},
      {"the root key destroyed: a root made anew, and the keys that named it as their parent back under it",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "Small"), b.AddKey(b.Root(), "Large")};
         for (int i = 0; i < 3; ++i) keys.push_back(b.AddKey(keys[1], "L" + std::to_string(i)));
         return keys;
       },
       [](HiveBuilder& b, const std::vector<uint32_t>&, std::vector<uint8_t>& bytes) { std::fill_n(bytes.begin() + CellField(b.Root(), 4), 0x40, 0); },
       kInvalidStartOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.Field(keys[0], key::kParent), h.image.rootKeyOffset) << "not promoted, not in lost+found";
         EXPECT_EQ(h.Subkeys(h.image.rootKeyOffset), 2u);
       }},
      // Values whose list entries were changed: each goes back to its key where that can be known
      // (an entry one byte off its value, or the one key left missing values), else to lost+found.
      {"two value list entries changed, one in one byte: both values go back to their keys, with their data",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "K"), b.AddKey(b.Root(), "L")};
         for (uint32_t key : {keys[0], keys[1]}) {
           for (const char* name : {"a", "b", "c"}) keys.push_back(b.AddValue(key, name, 3, std::vector<uint8_t>(40, 'v')));
         }
         return std::vector<uint32_t>{keys[0], keys[1]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ValueListOf(keys[0]), value::kListEntries + 4), keys[3] | 0x7F0000);
         Put32(bytes, CellField(b.ValueListOf(keys[1]), value::kListEntries + 8), 0x7FFFFFF8);
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(h.Subkeys(h.image.rootKeyOffset), 2u) << "no lost+found";
         EXPECT_EQ(ValuesOf(h, keys[0]), (std::set<uint32_t>{keys[2], keys[3], keys[4]}));
         EXPECT_EQ(ValuesOf(h, keys[1]), (std::set<uint32_t>{keys[5], keys[6], keys[7]}));
         EXPECT_EQ(h.Field(keys[3], value::kDataLength), 40u);
       }},
      {"one value list entry changed, and a value no list named before: neither is known to be the key's",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "K"), b.AddKey(b.Root(), "L")};
         for (const char* name : {"a", "b"}) keys.push_back(b.AddValue(keys[0], name, 3, std::vector<uint8_t>(40, 'v')));
         keys.push_back(b.AddValue(keys[1], "z", 3, std::vector<uint8_t>(40, 'v')));
         return std::vector<uint32_t>{keys[0], keys[1]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ValueListOf(keys[0]), value::kListEntries), 0x7FFFFFF8);
         Put32(bytes, CellField(keys[1], key::kValueCount), 0);  // L's value left behind, as Windows may
         Put32(bytes, CellField(keys[1], key::kValueList), kNullOffset);
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         ASSERT_EQ(h.Subkeys(h.image.rootKeyOffset), 3u) << "K, L and lost+found";
         const uint32_t folder = h.Field(h.ListOf(h.image.rootKeyOffset), list::kEntries + 16);
         EXPECT_EQ(ValuesOf(h, folder), (std::set<uint32_t>{keys[2], keys[4]}));
         EXPECT_EQ(ValuesOf(h, keys[0]), std::set<uint32_t>{keys[3]});
       }},
      {"two value list entries changed, neither value known by its entry: both go to lost+found",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "K"), b.AddKey(b.Root(), "L")};
         for (uint32_t key : {keys[0], keys[1]}) {
           for (const char* name : {"a", "b"}) keys.push_back(b.AddValue(key, name, 3, std::vector<uint8_t>(40, 'v')));
         }
         return std::vector<uint32_t>{keys[0], keys[1]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ValueListOf(keys[0]), value::kListEntries), 0x7FFFFFF8);
         Put32(bytes, CellField(b.ValueListOf(keys[1]), value::kListEntries), 0x7FFFFFF8);
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         ASSERT_EQ(h.Subkeys(h.image.rootKeyOffset), 3u) << "K, L and lost+found";
         const uint32_t folder = h.Field(h.ListOf(h.image.rootKeyOffset), list::kEntries + 16);  // after "K", "L"
         EXPECT_EQ(KeyName(h, folder), "lost+found");
         EXPECT_EQ(ValuesOf(h, folder), (std::set<uint32_t>{keys[2], keys[4]}));
         EXPECT_EQ(ValuesOf(h, keys[0]), std::set<uint32_t>{keys[3]});
       }},
      {"a value brought back naming the data of a value of the tree: the tree's value keeps its data",
       [](HiveBuilder& b, std::vector<uint32_t>& keys) {
         keys = {b.AddKey(b.Root(), "K"), b.AddKey(b.Root(), "Z")};  // Z walked after K
         for (const char* name : {"a", "b"}) keys.push_back(b.AddValue(keys[0], name, 3, std::vector<uint8_t>(40, 'v')));
         keys.push_back(b.AddValue(keys[1], "y", 3, std::vector<uint8_t>(40, 'y')));
         return std::vector<uint32_t>{keys[0], keys[1]};
       },
       [](HiveBuilder& b, const std::vector<uint32_t>& keys, std::vector<uint8_t>& bytes) {
         Put32(bytes, CellField(b.ValueListOf(keys[0]), value::kListEntries), 0x7FFFFFF8);
         Put32(bytes, CellField(keys[2], value::kData), Get32(bytes, CellField(keys[4], value::kData)));
       },
       kInvalidOffset,
       [](WalkedHive& h, HiveBuilder&, const std::vector<uint32_t>& keys) {
         EXPECT_EQ(ValuesOf(h, keys[0]), (std::set<uint32_t>{keys[2], keys[3]})) << "the one key missing a value";
         const uint32_t data = h.Field(keys[4], value::kData);
         ASSERT_EQ(h.Field(keys[4], value::kDataLength), 40u);
         EXPECT_EQ(h.image.AtHiveOffset(data)[4], 'y');
         EXPECT_NE(h.Field(keys[2], value::kData), data) << "a, brought back, has it no more";
       }},
  };
  testing::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HiveBuilder builder;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> kept = c.build(builder, keys);
    std::vector<uint8_t> bytes = builder.Build();
    c.damage(builder, keys, bytes);
    WalkedHive h(bytes, testing::FixAllAnswers());
    ASSERT_TRUE(h.passed);
    EXPECT_FALSE(h.rig.faults.IsErrorLeft());
    std::vector<uint32_t> asked = h.AskedCodes();
    EXPECT_NE(std::find(asked.begin(), asked.end(), c.code), asked.end()) << "code " << c.code;
    std::vector<uint8_t> repaired = h.Bytes();
    testing::TreeReport tree = testing::ReadTree(repaired);
    EXPECT_TRUE(tree.sound) << tree.firstFault;
    EXPECT_EQ(tree.duplicates, std::vector<std::string>{});
    EXPECT_EQ(tree.unordered, std::vector<std::string>{}) << "every list in the order Windows searches";
    EXPECT_EQ(tree.mishashed, std::vector<std::string>{});
    for (uint32_t key : kept) EXPECT_EQ(tree.reachable.count(key), 1u) << std::hex << "key 0x" << key;
    EXPECT_EQ(WalkedHive(repaired).AskedCodes(), std::vector<uint32_t>{}) << "a second check finds nothing";
    ASSERT_TRUE(testing::WriteFileBytes(dir.Path("repaired"), repaired));
    std::string refusedBy;
    EXPECT_TRUE(testing::OthersOpen(dir.Path("repaired"), refusedBy)) << refusedBy;
    if (c.expect) c.expect(h, builder, keys);
  }
}

}  // namespace
}  // namespace tarvos::hive
