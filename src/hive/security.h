// Security blocks: each key's block is checked the first time it is met and registered; keys left
// without one wait for the next block registered; the keys that use each block are counted. After
// the walk the ring that links every block is rebuilt, in the order the walk met them, when it is
// not one ring of exactly the registered blocks, and each block's reference count is set to the
// keys counted; each such repair is logged.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "hive/events.h"
#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/walk.h"

namespace tarvos::hive {

class SecurityRegistry {
 public:
  struct Entry {
    uint32_t offset;
    uint32_t tag = 0;  // where in the tree it was registered (KeyWalk's tag)
  };

  SecurityRegistry(HiveImage& image, FrameTable& frames, CellMarks& marks, FaultReporter& faults)
      : image_(image), frames_(frames), marks_(marks), faults_(faults) {}
  ~SecurityRegistry() { Release(); }
  SecurityRegistry(const SecurityRegistry&) = delete;
  SecurityRegistry& operator=(const SecurityRegistry&) = delete;

  // The first 256 entries; code 40 when they cannot be had.
  bool SetUp();
  void Release();

  // 1-based position of a registered block, or 0.
  uint32_t Lookup(uint32_t offset) const;
  // Whether a block is registered; kept in the cell table, so asked in constant time per key.
  bool IsRegistered(uint32_t offset) const;
  // The security of one key; ancestor is the nearest key record above it (none for the root),
  // root the walk's first record, where the search for waiting keys starts.
  WalkOutcome CheckKeySecurity(uint32_t key, const WalkNode* ancestor, WalkNode& root);
  // Once a key's security field is settled (its own block, its ancestor's, or none while it
  // waits), the block it names counts one more key; a key that waits counts when it is given one.
  void CountUser(uint32_t key);
  // After the walk: relinks every registered block into one ring when the links do not make one,
  // and sets each block's reference count to the keys that use it; when the hive has no block
  // left at all, makes one for the keys that wait. Each repair is logged, and is a change.
  void FinalRelink();
  // A key whose block was dropped and that got none from an ancestor waits for the next block;
  // for the root the search for waiting keys starts at it.
  void AddWaitingKey(WalkNode* root) {
    if (root != nullptr) {
      pendingStart_ = root;
      pending_ = 1;
    } else {
      ++pending_;
    }
  }

  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return static_cast<uint32_t>(entries_.Size()); }
  const Entry& At(uint32_t index) const { return entries_[index]; }
  uint32_t Pending() const { return pending_; }
  // The blocks a second walker registered that this walk did not: the two registries are merged
  // in the order of the tree, each block where it was met first; false when memory ran out.
  bool TakeOver(const SecurityRegistry& other);
  // Where in the tree the keys checked now are, for the order of a merge.
  void SetTag(uint32_t tag) { tag_ = tag; }

 private:
  // Checks one ring link of a block; false when a report was not fixed.
  bool CheckLink(uint32_t block, uint32_t field);
  // Whether the links make one ring of the registered blocks: every block's next and previous
  // are registered blocks, the next one's previous is the block itself, and the next links lead
  // through every block back to the first.
  bool RingSound() const;
  void Relink();
  void SetReferenceCounts();
  // Keys counted for a block.
  uint32_t Users(uint32_t block) const;
  // One line of the log, for a repair made after the walk.
  void Log(Event event, uint32_t block, uint64_t count, uint64_t was = 0);
  bool Register(uint32_t block);
  // How many waiting keys got the block.
  uint32_t GiveToWaitingKeys(uint32_t block);

  HiveImage& image_;
  FrameTable& frames_;
  CellMarks& marks_;
  FaultReporter& faults_;
  SoftArray<Entry> entries_;
  uint32_t count_ = 0;
  bool relink_ = false;
  uint32_t pending_ = 0;
  WalkNode* pendingStart_ = nullptr;
  uint32_t tag_ = 0;
  std::unordered_map<uint32_t, uint32_t> users_;  // block -> keys that use it
  uint32_t lastBlock_ = kNullOffset;  // the block CountUser counted last, and its count
  uint32_t* lastUsers_ = nullptr;
};

}  // namespace tarvos::hive
