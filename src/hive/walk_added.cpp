// The walk of the keys salvage adds to lists of keys the walk reached: only those keys, and what
// hangs from them, are walked.
#include <cstring>
#include <utility>

#include "hive/walk.h"

namespace tarvos::hive {

void KeyWalk::BeginAdded(std::unordered_set<uint32_t> walkedBefore) {
  walkedBefore_ = std::move(walkedBefore);
  listsRepaired_.clear();
  takenOut_.clear();
  takenOutOf_.clear();
}

WalkOutcome KeyWalk::RunAdded(uint32_t key, std::string_view path) {
  const uint32_t list = Le32(Cell(key) + key::kSubkeyList);
  if (list == kNullOffset || frames_.OffsetCheck(list) != kOffsetValid || !marks_.Marked(key)) {
    return WalkOutcome::Continue;
  }
  // What this walk learnt of lists before they were written anew is read again. (A map's clear
  // costs its buckets, however few entries it holds: one walked key after another, those add up.)
  if (!listed_.empty()) listed_.clear();
  if (!namesUnder_.empty()) namesUnder_.clear();
  // The key's record, for the keys walked from its list, with its path.
  WalkNode& node = added_.emplace_back();
  node.keyOffset = key;
  node.pathLength = static_cast<uint32_t>(path.size());
  if (!path_.Grow(path.size() + 1)) {
    faults_.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return WalkOutcome::Stop;
  }
  if (!path.empty()) std::memcpy(path_.Data(), path.data(), path.size());
  current_ = &node;
  resuming_ = true;
  uint32_t scratch = 0;
  const Step step = BeginKeyList(node, key, list);
  resuming_ = false;
  if (step == Step::Drop) {  // the list itself is dropped, as the walk of the whole tree drops it
    UnhookList(key);
    return WalkOutcome::Continue;
  }
  const WalkOutcome outcome = Drive(step, scratch);
  return outcome == WalkOutcome::Drop ? WalkOutcome::Continue : outcome;
}

}  // namespace tarvos::hive
