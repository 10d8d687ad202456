// What both fuzz targets do with one input once it is cut into a hive and its logs: the check with
// every fault fixed, on one thread, and the invariants of its result, each an abort when broken.
// Also the structure-aware half of their mutator: one field of one cell changed at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hive/bytes.h"
#include "hive/image.h"
#include "hive/layout.h"
#include "support/hive_judge.h"
#include "support/walked_hive.h"

namespace tarvos::fuzz {

using namespace tarvos::hive;

// Bytes the fuzzer owns, read in place: LoadHive copies them once into the image.
class SpanSource final : public HiveSource {
 public:
  SpanSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Open(const std::string&) override { return true; }
  bool Size(uint64_t& size) override {
    size = size_;
    return true;
  }
  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) override {
    got = offset >= size_ ? 0 : std::min<size_t>(count, size_ - offset);
    if (got > 0) std::memcpy(buffer, data_ + offset, got);
    return true;
  }
  void Close() override {}
  bool ReadsAtOnce() const override { return false; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Repairs add cells only to hold what the input already holds (lost+found and its lists, lists of
// keys and values brought back, a root): each a fixed small cell or a list of at most 8 bytes per
// key or value cell found, every cell taking 8 bytes or more, and each new frame rounded up to a
// page. So the new cells take no more room than the hive the check starts from (the file after
// the logs' replay), plus a few pages for the fixed cells and frame rounding.
constexpr size_t kGrowthSlack = 64 * 1024;
inline size_t ResultBound(size_t startSize) { return 2 * startSize + kGrowthSlack; }

inline void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// The check of a hive with Fix All at every prompt; when it ends with no fault left, the result
// is checked again (it must ask nothing), must stay within ResultBound, and must hold every
// subkey list in name order.
inline void CheckAndJudge(const uint8_t* hive, size_t hiveLength, const std::vector<TransactionLog>& logs) {
  SpanSource source(hive, hiveLength);
  testing::WalkedHive first(testing::WalkedHive::Lean{}, source, testing::FixAllAnswers(), logs);
  if (!first.passed || first.outcome == WalkOutcome::Stop || first.rig.faults.IsErrorLeft()) return;
  const HiveImage& image = first.image;
  if (image.Size() > ResultBound(first.startSize)) Broken("the result grew past twice the hive checked");
  SpanSource again(image.Buffer(), image.Size());
  testing::WalkedHive second(testing::WalkedHive::Lean{}, again, testing::FixAllAnswers(), logs);
  if (!second.passed || !second.rig.decider.asked.empty()) Broken("the result of Fix All does not check clean");
  if (!testing::ReadTree(first.Bytes()).unordered.empty()) Broken("a subkey list of the result is out of order");
}

// ---- The mutator: one field of one cell of the hive part of an input.

// Seeded anew at every mutation: a generator whose state is one word, not 624 to fill each time.
using FieldRng = std::minstd_rand;

// A cell found by walking the frames of a hive image from the first page after the base block.
struct FoundCell {
  size_t at;       // offset in the image of the size field
  uint32_t space;  // bytes of the cell, its size field included
};

inline std::vector<FoundCell> CellsOf(const uint8_t* hive, size_t length) {
  std::vector<FoundCell> cells;
  for (size_t frameAt = kBaseBlockSize; length >= frame::kHeaderSize && frameAt <= length - frame::kHeaderSize;) {
    uint32_t frameSize = Le32(hive + frameAt + frame::kSize);
    if (Le32(hive + frameAt) != frame::kSignatureValue || frameSize < kPageSize || frameSize % kPageSize != 0) {
      frameAt += kPageSize;  // a page that starts no frame: look for the next one
      continue;
    }
    size_t end = std::min<size_t>(length, frameAt + frameSize);
    for (size_t at = frameAt + frame::kHeaderSize; end >= 8 && at <= end - 8;) {
      int32_t size = static_cast<int32_t>(Le32(hive + at));
      uint32_t space = size < 0 ? 0u - static_cast<uint32_t>(size) : static_cast<uint32_t>(size);
      if (space < 8 || space % 8 != 0 || space > end - at) break;
      if (size < 0) cells.push_back({at, space});
      at += space;
    }
    frameAt += frameSize;
  }
  return cells;
}

// A new value for a field: near the old one, one of the edges, or (for offsets) another cell's.
inline uint32_t NewValue(uint32_t old, FieldRng& rng, const std::vector<FoundCell>& cells, bool offset) {
  switch (rng() % 8) {
    case 0: return old + 1;
    case 1: return old - 1;
    case 2: return old + 8 * (1 + rng() % 4);
    case 3: return old ^ (1u << (rng() % 32));
    case 4: return rng() % 2 ? 0 : 0xFFFFFFFFu;
    case 5: return old * 2 + 1;
    default:
      if (offset || rng() % 2) return static_cast<uint32_t>(cells[rng() % cells.size()].at - kBaseBlockSize);
      return rng() % 64;
  }
}

inline void Put(uint8_t* p, uint32_t width, uint32_t value) {
  if (width == 2) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
  } else {
    PutLe32(p, value);
  }
}

// Changes one field of one cell in use (or of the base block) of the hive in place: a cell size,
// an offset, a count, a name length, a signature or a list entry. False when no cell was found.
inline bool MutateOneField(uint8_t* hive, size_t length, FieldRng& rng) {
  std::vector<FoundCell> cells = CellsOf(hive, length);
  if (cells.empty()) return false;
  struct Field {
    uint32_t at, width;
    bool offset;
  };
  if (rng() % 16 == 0) {  // the base block: the root's offset or the declared data size
    static const Field kBase[] = {{base::kRootKeyOffset, 4, true}, {base::kHiveDataSize, 4, false}};
    const Field& f = kBase[rng() % 2];
    PutLe32(hive + f.at, NewValue(Le32(hive + f.at), rng, cells, f.offset));
    PutLe32(hive + base::kChecksum, HeaderChecksum(hive));
    return true;
  }
  const FoundCell& c = cells[rng() % cells.size()];
  uint8_t* p = hive + c.at;
  std::vector<Field> fields = {{cell::kSize, 4, false}};
  const uint16_t signature = c.space >= 8 ? Le16(p + cell::kSignature) : 0;
  auto add = [&](uint32_t at, uint32_t width, bool offset) {
    if (at + width <= c.space) fields.push_back({at, width, offset});
  };
  switch (signature) {
    case cell::kKeySignature:
      for (uint32_t at : {key::kParent, key::kSubkeyList, key::kValueList, key::kSecurity, key::kClass}) add(at, 4, true);
      for (uint32_t at : {key::kSubkeyCount, key::kValueCount}) add(at, 4, false);
      add(key::kFlags, 2, false);
      add(key::kNameLength, 2, false);
      add(key::kClassLength, 2, false);
      break;
    case cell::kValueSignature:
      add(value::kNameLength, 2, false);
      add(value::kDataLength, 4, false);
      add(value::kData, 4, true);
      add(value::kType, 4, false);
      add(value::kFlags, 2, false);
      break;
    case cell::kIndexLeafSignature:
    case cell::kFastLeafSignature:
    case cell::kHashLeafSignature:
    case cell::kIndexRootSignature: {
      add(list::kCount, 2, false);
      const uint32_t stride =
          signature == cell::kIndexLeafSignature || signature == cell::kIndexRootSignature ? 4 : 8;
      uint32_t count = Le16(p + list::kCount);
      if (count > 0) {
        uint32_t entry = list::kEntries + stride * (rng() % count);
        add(entry, 4, true);
        if (stride == 8) add(entry + 4, 4, false);  // the hint or hash
      }
      break;
    }
    case cell::kSecuritySignature:
      add(security::kLinkA, 4, true);
      add(security::kLinkB, 4, true);
      add(security::kReferences, 4, false);
      add(security::kDescriptorLength, 4, false);
      break;
    case cell::kBigDataSignature:
      add(bigdata::kSegmentCount, 2, false);
      add(bigdata::kSegmentList, 4, true);
      break;
    default:  // a value list or data: one of its words, as an offset
      if (c.space >= 8) add(value::kListEntries + 4 * (rng() % ((c.space - 4) / 4)), 4, true);
      break;
  }
  if (signature != 0 && rng() % 12 == 0) {  // another cell's signature
    static const uint16_t kSignatures[] = {cell::kKeySignature,      cell::kValueSignature,    cell::kIndexLeafSignature,
                                           cell::kFastLeafSignature, cell::kHashLeafSignature, cell::kIndexRootSignature,
                                           cell::kSecuritySignature, cell::kBigDataSignature};
    Put(p + cell::kSignature, 2, kSignatures[rng() % 8]);
    return true;
  }
  const Field& f = fields[rng() % fields.size()];
  uint32_t old = f.width == 2 ? Le16(p + f.at) : Le32(p + f.at);
  uint32_t value = NewValue(old, rng, cells, f.offset);
  if (f.at == cell::kSize && rng() % 2) value = 0u - (c.space + 8 * (rng() % 2 ? 1 : -1));  // a neighbour's bytes
  Put(p + f.at, f.width, value);
  return true;
}

}  // namespace tarvos::fuzz

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace tarvos::fuzz {

// Half the time libFuzzer's own mutations, else one field of one cell of the hive, which starts
// after `prefix` bytes and is as long as the first length field gives (as the targets read it).
inline size_t MutateInput(uint8_t* data, size_t size, size_t maxSize, unsigned seed, size_t prefix) {
  FieldRng rng(seed);
  if (size > prefix && rng() % 2 == 0) {
    size_t hiveLength = Le32(data) % (size - prefix + 1);
    if (MutateOneField(data + prefix, hiveLength, rng)) return size;
  }
  return LLVMFuzzerMutate(data, size, maxSize);
}

}  // namespace tarvos::fuzz
