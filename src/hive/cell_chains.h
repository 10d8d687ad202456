// How the cells of a frame chain by their sizes: the kind a cell's signature gives, the least a
// cell of that kind holds, and where true cells resume after a bad size.
#pragma once

#include <cstdint>
#include <vector>

#include "hive/frames.h"
#include "hive/layout.h"

namespace tarvos::hive {

// The kind of the cell at p by its signature; its signature and flags are read only when its
// length holds them.
inline CellKind Kind(const uint8_t* p, uint32_t size) {
  if (size < 6) return kCellNone;
  switch (Le16(p + cell::kSignature)) {
    case cell::kKeySignature: {
      if (size < 8) return kCellKey;
      constexpr uint16_t kRoot = key::kFlagHiveEntry | key::kFlagNoDelete;
      return (Le16(p + key::kFlags) & kRoot) == kRoot ? kCellRootKey : kCellKey;
    }
    case cell::kIndexLeafSignature: return kCellIndexLeaf;
    case cell::kFastLeafSignature: return kCellFastLeaf;
    case cell::kIndexRootSignature: return kCellIndexRoot;
    case cell::kHashLeafSignature: return kCellHashLeaf;
    case cell::kSecuritySignature: return kCellSecurity;
    case cell::kValueSignature: return kCellValue;
    case cell::kBigDataSignature: return kCellBigData;
    default: return kCellNone;
  }
}

// Windows and every strict reader take cells of whole 8-byte steps only.
inline bool SoundLength(uint32_t length) { return length >= cell::kAlignment && length % cell::kAlignment == 0; }

// The next position, from at in 8-byte steps, where a cell plausibly starts: a sane size that
// fits the frame, and a known signature. frameEnd when there is none.
inline uint32_t NextPlausibleCell(const uint8_t* buffer, uint32_t at, uint32_t frameEnd) {
  for (uint32_t p = at; p + 8 <= frameEnd; p += cell::kAlignment) {
    uint32_t length = SizeFieldLength(Le32(buffer + p));
    if (SoundLength(length) && length <= frameEnd - p && Kind(buffer + p, 8) != kCellNone) return p;
  }
  return frameEnd;
}

// The least a cell of a known kind holds, from its own fields (its name, its entries); 8 when
// its kind tells nothing, or when room (up to the frame's end) does not reach the field that tells.
inline uint32_t LeastLength(const uint8_t* cell, uint32_t room) {
  uint32_t field = 0, fixed = 0, step = 1;  // the least is fixed + step * the 16-bit field
  switch (Kind(cell, room)) {
    case kCellKey:
    case kCellRootKey: field = key::kNameLength, fixed = key::kName; break;
    case kCellValue: field = value::kNameLength, fixed = value::kName; break;
    case kCellIndexLeaf:
    case kCellIndexRoot: field = list::kCount, fixed = list::kEntries, step = list::kShortEntry; break;
    case kCellFastLeaf:
    case kCellHashLeaf: field = list::kCount, fixed = list::kEntries, step = list::kLongEntry; break;
    default: break;
  }
  if (field == 0 || room < field + 2) return cell::kAlignment;
  uint64_t least = fixed + uint64_t{step} * Le16(cell + field);
  least = (least + cell::kAlignment - 1) & ~uint64_t{cell::kAlignment - 1};
  return least <= room ? static_cast<uint32_t>(least) : cell::kAlignment;
}

// Where the cells after a bad size resume: of the places past what the bad cell's own fields
// need, the one from which sound cell sizes pass the most cells of a known kind (up to the frame's
// end; at a second bad size they count on from where the cells resume after it), the first of
// those. Cells after the bad one thus keep their places
// whatever their kind, and a run of sizes read in the bad cell's own data, which meets the true
// cells only past some of them, loses to the cells it would pass over. Else the next cell of a
// known kind.
// Worked out from the frame's end backwards, only as far back as the first place asked about
// (the first bad size, or a cell just before it), and further back only when asked: any number
// of bad sizes in one frame costs at most one pass over it, and a bad size near its end little.
class ResumePoints {
 public:
  ResumePoints(const uint8_t* buffer, uint32_t start, uint32_t frameEnd)
      : buffer_(buffer), start_(start), end_(frameEnd), steps_((frameEnd - start) / cell::kAlignment) {}
  uint32_t After(uint32_t bad, bool free = false) {
    const uint32_t at = bad + (free ? cell::kAlignment : LeastLength(buffer_ + bad, end_ - bad));
    if (at >= end_) return end_;
    if ((at - start_) % cell::kAlignment != 0) return NextPlausibleCell(buffer_, at, end_);  // a cell off the steps
    BuildFrom(StepOf(at));
    return Entry(StepOf(at)).best;
  }
  // The cells of a known kind that sound sizes pass from at, a place OverranBy gave.
  uint32_t Known(uint32_t at) const { return Entry(StepOf(at)).known; }
  // Where the cells that a bad size at bad stands among end in the cell before it, prev: when
  // prev's own fields end short of bad (a free cell has none past its size) and the cells from
  // there on pass over bad (it lies within one of them) and go on soundly, prev's size ran over
  // the cells after it; the place they start. Else 0: bad is where the damage is.
  // A free cell holds nothing to keep: what it ran over may start after other bytes read as
  // cells (a torn write puts another page's cells there), so of the places whose cells pass over
  // bad, the one from which they pass the most cells of a known kind is taken, the first of those.
  uint32_t OverranBy(uint32_t prev, bool free, uint32_t bad) {
    if (prev == 0 || prev >= bad || (!free && LeastLength(buffer_ + prev, end_ - prev) <= cell::kAlignment)) return 0;
    const uint32_t from = After(prev, free);
    if (from <= prev || from >= bad || (from - start_) % cell::kAlignment != 0) return 0;
    if (!free) return PassesOver(from, bad) ? from : 0;
    uint32_t most = 0;
    for (uint32_t at = from; at < bad; at += cell::kAlignment) {
      if (PassesOver(at, bad) && (most == 0 || Known(at) > Known(most))) most = at;
    }
    return most;
  }

 private:
  // What is known from one 8-byte step on to the frame's end.
  struct Step {
    uint32_t best;       // where cells resume from there on
    uint32_t known;      // the cells of a known kind that sound sizes pass from there
    uint32_t reach;      // where those sizes end: a size that goes wrong, or the frame's end
    uint32_t score;      // those cells, with the cells passed again past sizes that go wrong
    uint32_t chain;      // the best chain start from there on
    uint32_t plausible;  // the next cell of a known kind from there on
  };
  // Per 8-byte step, kept from the frame's end backwards (the last step first), so that going
  // further back appends: how many cells of a known kind the sizes from there pass before they
  // end or go wrong, and with those the cells passed again where the cells resume after each
  // size that goes wrong (a second bad size in the frame does not end a true chain); the best
  // chain start from there on, and the next cell of a known kind.
  void BuildFrom(uint32_t first) {
    if (table_.empty()) table_.push_back({end_, 0, end_, 0, end_, end_});  // the frame's end
    table_.reserve(steps_ + 1 - first);
    for (uint32_t i = steps_ + 1 - static_cast<uint32_t>(table_.size()); i-- > first;) {
      const uint32_t p = start_ + i * cell::kAlignment;
      const uint32_t length = SizeFieldLength(Le32(buffer_ + p));
      const bool sound = SoundLength(length) && length <= end_ - p;
      const bool ofKind = sound && Kind(buffer_ + p, length) != kCellNone;
      Step at{0, 0, p, 0, 0, 0};
      if (sound) {
        const Step& next = Entry(i + length / cell::kAlignment);
        at.known = next.known + (ofKind ? 1 : 0);
        at.score = next.score + (ofKind ? 1 : 0);
        at.reach = next.reach;
      } else {
        const uint32_t past = i + LeastLength(buffer_ + p, end_ - p) / cell::kAlignment;
        const uint32_t resumed = past < steps_ && Entry(past).best < end_ ? StepOf(Entry(past).best) : steps_;
        at.score = Entry(resumed).score;
      }
      const Step& after = Entry(i + 1);
      const uint32_t later = after.chain < end_ ? StepOf(after.chain) : steps_;
      at.chain = at.known != 0 && at.score >= Entry(later).score ? p : after.chain;
      at.plausible = ofKind && p + 8 <= end_ ? p : after.plausible;
      at.best = at.chain < end_ ? at.chain : at.plausible;
      table_.push_back(at);
    }
  }
  const Step& Entry(uint32_t step) const { return table_[steps_ - step]; }

  // Whether sound sizes lead from at, through cells of a known kind, to a cell that bad lies within.
  bool PassesOver(uint32_t at, uint32_t bad) const { return Known(at) > 0 && Entry(StepOf(at)).reach > bad; }
  uint32_t StepOf(uint32_t at) const { return (at - start_) / cell::kAlignment; }

  const uint8_t* buffer_;
  uint32_t start_, end_, steps_;
  std::vector<Step> table_;  // per 8-byte step, the last step first
};

}  // namespace tarvos::hive
