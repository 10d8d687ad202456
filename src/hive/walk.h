// The key tree walk: from the root key, depth first and in list order, every key cell is checked
// and every subkey list followed. The walk keeps its own stack, so no chain of keys is
// too deep for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "hive/faults.h"
#include "hive/frames.h"
#include "hive/image.h"
#include "hive/marks.h"
#include "hive/names.h"

namespace tarvos::hive {

// One visited key, or one list met where a key was expected. The records stay until the hive's
// processing ends: later checks search them.
struct WalkNode {
  static constexpr uint8_t kKey = 1;
  static constexpr uint8_t kNestedList = 2;
  uint32_t keyOffset = kNullOffset;  // the key's cell; none for a nested list
  uint32_t pathLength = 0;           // characters of the key path up to and including this key
  WalkNode* parent = nullptr;
  WalkNode* children = nullptr;      // one per entry of this key's (or nested) list; owned
  uint32_t childCount = 0;
  uint8_t kind = kKey;
  // The walk checked this key whole (not a link key, its cell long enough for its fields): only
  // such keys may take a security block that waiting keys are given.
  bool checked = false;
};

// The text of the current key path ("\Software\Classes"), grown in 4096-byte steps.
class KeyPathBuffer {
 public:
  static constexpr size_t kStep = 4096;
  KeyPathBuffer() { Grow(kStep); }
  bool Grow(size_t bytes);  // false when it cannot hold that many
  char* Data() { return text_.Size() > 0 ? &text_[0] : nullptr; }
  size_t Capacity() const { return text_.Size(); }
  std::string_view Text(size_t length) const { return {length > 0 ? &text_[0] : "", length}; }

 private:
  SoftArray<char> text_;
};

// The character shown for one UTF-16 unit of a key name (code page 866 for Cyrillic, "?" for
// what it cannot show).
uint8_t DisplayChar(uint16_t unit);

class ValueCheck;
class SecurityRegistry;
class SecondWalker;

class KeyWalk {
 public:
  KeyWalk(HiveImage& image, FrameTable& frames, CellMarks& marks, FaultReporter& faults, KeyPathBuffer& path,
          ValueCheck& values, SecurityRegistry& security)
      : image_(image), frames_(frames), marks_(marks), faults_(faults), path_(path), values_(values),
        security_(security) {}
  ~KeyWalk() { Release(); }
  KeyWalk(const KeyWalk&) = delete;
  KeyWalk& operator=(const KeyWalk&) = delete;

  // Walks the whole tree from the root key.
  WalkOutcome Run();
  // After the tree was walked and keys were then added to the list of a key it reached (written
  // anew, as salvage writes it): that list is checked as any, and each key in it that the walk has
  // not reached is walked with everything below it, as the whole walk would; the keys it reached
  // are kept as they are. The rest of the tree is not walked again. path is the key's path (""
  // for the root). A key that the walk has not reached is left to the walk of the key above it.
  WalkOutcome RunAdded(uint32_t key, std::string_view path);
  // Before a round of RunAdded: what the repairs of the walk did to the tree is forgotten, for
  // what RunAdded's repairs do; the keys given are those the lists written anew held that the
  // walk checked before (and those only are kept as they are: a key a cell of another kind named
  // stays marked, unchecked).
  void BeginAdded(std::unordered_set<uint32_t> walkedBefore);
  // The records of the keys RunAdded took the lists of, each holding the records of the keys
  // walked from its list; valid until Release.
  const std::deque<WalkNode>& AddedRoots() const { return added_; }
  // A second walker's share of the root key's own list: the entries it claims, one at a time,
  // from the count both walkers take from. Continue when the share was walked whole.
  WalkOutcome RunShare(WalkNode& root, uint32_t list, uint32_t stride, uint32_t owner, std::atomic<uint32_t>& claims,
                       uint32_t count);
  // With a second walker, the entries of the root key's own list are claimed one at a time by
  // both walks, and the second walker's work is taken over when no entry is left.
  void SetSecondWalker(SecondWalker* second) { second_ = second; }
  // Keys found in the share's list, and the path of the last key checked.
  uint32_t ShareCounter() const { return shareCounter_; }
  std::string_view LastPath() const { return path_.Text(lastPath_); }
  uint32_t LastKey() const { return lastKey_; }
  // The record of the key the walk works on (its own cell, or a list it owns; its ancestors
  // through parent), null before the first; valid until the records are freed.
  const WalkNode* CurrentNode() const { return current_; }
  uint32_t LastKeyTag() const { return lastKeyTag_; }
  // Of the keys visited, those the second walker checked.
  uint64_t KeysTakenOver() const { return takenOver_; }
  // Frees every record below the root.
  void Release();
  // Whether the records of keys whose keys were all walked stay until Release, for what reads
  // the walked tree afterwards (the counts of a report, the keys under a salvaged chain). By
  // default only the records of the keys being walked are held, and those that a key waiting
  // for a security block may be among.
  bool keepRecords = false;

  const WalkNode& Root() const { return root_; }
  // Keys that were checked and stayed in the tree.
  uint64_t KeysVisited() const { return keys_; }
  // What the repairs of the walk did to the tree: keys whose own list lost entries or was dropped,
  // and the cells that were taken out of a list.
  const std::vector<uint32_t>& ListsRepaired() const { return listsRepaired_; }
  const std::vector<uint32_t>& TakenOut() const { return takenOut_; }
  // The key whose list each of those was taken out of, in the same order.
  const std::vector<uint32_t>& TakenOutOf() const { return takenOutOf_; }

 private:
  // A list whose entries are being entered: a key's own list, or a nested one.
  struct ListFrame {
    WalkNode* node;
    uint32_t list;
    uint32_t stride;
    uint32_t owner;    // the key that owns the entries
    uint32_t counter;  // keys found in a key's own list; a scratch count in a nested one
    bool nested;
    ListCompactor entries;  // its slot (plus base) is also the index of the entry's record in node's children
    uint32_t target;        // what the entry being entered refers to
    std::atomic<uint32_t>* claims = nullptr;  // the root's list shared by two walkers: the next entry
    uint32_t total = 0;                       // to claim, and how many there are
    bool share = false;  // the second walker's share: no count check at its end
    bool split = false;  // the first walker's share: the second's is taken over at its end
    bool resumed = false;  // a list written after the walk: the keys it reached already are kept as they are
    // The name of the last key checked from a key's own list (its first characters upper-cased),
    // and whether the names so far came in order and none alike: read while each key's cell is at
    // hand, so that a list found so needs no second reading of its keys' cells at its end.
    uint32_t lastKey = kNullOffset;
    uint16_t lastUnits = 0;
    uint16_t lastHead[16] = {};
    bool namesInOrder = true;
  };
  // Takes the name of a key just checked into the list frame it came from (its own list's frame,
  // for a leaf of an index root).
  void NoteName(size_t frameIndex, uint32_t key);
  // What entering a reference gave: an outcome, or a list frame pushed to be worked through.
  enum class Step { Continue, Drop, Stop, Pending, EmptyNested };

  Step Enter(WalkNode& node, uint32_t target, uint32_t owner, uint32_t position, uint32_t& counter);
  Step CheckKey(WalkNode& node, uint32_t owner, uint32_t& counter, uint32_t key);
  Step BeginKeyList(WalkNode& node, uint32_t key, uint32_t list);
  Step BeginNestedList(WalkNode& node, uint32_t owner, uint32_t list, uint8_t kind);
  // The entry count, the overlap and the records of a list, then its frame on the stack.
  Step OpenList(WalkNode& node, uint32_t list, uint8_t kind, uint32_t owner, bool nested);
  Step FinishFrame(ListFrame& frame, uint32_t& parentCounter);
  // The loop over the stack, from a first step.
  WalkOutcome Drive(Step step, uint32_t& scratch);
  // Takes the second walker's share over: false when it met a fault or a cell both walks marked.
  bool TakeOverShare(ListFrame& frame);
  bool HandleChild(ListFrame& frame, Step outcome);
  // A key's list that went: the key keeps no list and counts no keys.
  void UnhookList(uint32_t key);
  // The walk stops: every list being worked through is left whole, without the entries taken out.
  void CloseLists();
  WalkOutcome CountCheck(uint32_t key, uint32_t counter);
  // A key's list in the order Windows searches it (code 52, sorted), with no two names alike
  // (code 50, renamed apart); false when a report was not fixed.
  bool OrderCheck(uint32_t owner);
  // A name no reader takes is code 50, and the key gets one; false when the report was not fixed.
  bool CheckName(uint32_t key);
  // A name longer than its cell holds is code 42: the key keeps the name cut to its cell, apart
  // from its siblings' names; false when the report was not fixed.
  bool CutName(uint32_t owner, uint32_t key, uint32_t length);
  // A key whose list entry keeps a hint or hash that its name does not give had its name
  // changed since it was listed: when that made it a sibling's name, it is code 50 and the key
  // gets a name apart (and its entry the hint of it). False when the report was not fixed.
  bool CheckSiblingName(uint32_t owner, uint32_t key);
  // The names of the keys a key's list holds, read at the first key that asks.
  TakenNames& NamesUnder(uint32_t owner);
  // The class name: a cell of its own that holds it, or none.
  bool CheckClass(uint32_t key);
  // Builds the key's path in the path buffer: its parent's path, a backslash and its name.
  void BuildKeyPath(WalkNode& node, uint32_t key);
  bool AllocateChildren(WalkNode& node, uint32_t count);
  // Frees the records below a record, which keeps its own.
  void FreeRecordsBelow(WalkNode& top);
  // The walk waits on memory for each cell in turn (a key cell, its value list, the values, their
  // data), and the hive is far larger than the cache. Before the keys of a list are entered,
  // their cells are read a batch of keys at a time, a stage at a time, so that the waits of a
  // stage overlap. Nothing read here is trusted: it only decides what else is read.
  void ReadAhead(const uint8_t* entries, uint32_t count, uint32_t stride);
  bool Readable(uint32_t offset, uint32_t bytes) const {
    return uint64_t{offset} + kBaseBlockSize + bytes <= image_.Size();
  }

  uint8_t* Cell(uint32_t offset) { return image_.AtHiveOffset(offset); }
  static Step From(WalkOutcome outcome) {
    return outcome == WalkOutcome::Continue ? Step::Continue
                                            : outcome == WalkOutcome::Drop ? Step::Drop : Step::Stop;
  }

  HiveImage& image_;
  FrameTable& frames_;
  CellMarks& marks_;
  FaultReporter& faults_;
  KeyPathBuffer& path_;
  ValueCheck& values_;
  SecurityRegistry& security_;
  WalkNode root_;
  std::deque<WalkNode> added_;
  SoftArray<ListFrame> stack_;
  uint64_t keys_ = 0;
  SecondWalker* second_ = nullptr;
  uint32_t shareCounter_ = 0;
  uint32_t lastPath_ = 0;
  uint32_t lastKey_ = kNullOffset;
  const WalkNode* current_ = nullptr;
  uint32_t tag_ = 0;  // 0 before the root's list, else its entry + 1: where a record comes in the tree
  uint32_t lastKeyTag_ = 0;
  uint64_t takenOver_ = 0;
  uint32_t readAhead_ = 0;  // what ReadAhead read, kept so that the reads stay
  std::vector<uint32_t> listsRepaired_;
  std::vector<uint32_t> takenOut_;
  std::vector<uint32_t> takenOutOf_;
  // The keys another key's list names, and the names taken under a key whose keys' names were
  // cut: each read once, however many keys ask (a hostile list of many keys asks for each).
  bool Lists(uint32_t parent, uint32_t key);
  std::unordered_map<uint32_t, std::unordered_set<uint32_t>> listed_;
  std::unordered_map<uint32_t, TakenNames> namesUnder_;
  std::unordered_set<uint32_t> walkedBefore_;
  bool resuming_ = false;  // the list being opened was written after the walk reached its key
  uint32_t enteringList_ = kNullOffset;      // the list whose entry is being entered, and where
  uint32_t enteringPosition_ = kNullOffset;  // the entry stands
};

}  // namespace tarvos::hive
