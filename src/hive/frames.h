// The frame pass: every frame header and cell size of the data area is checked and repaired, and
// the FrameTable is built, which tells for any hive offset whether a cell starts there and what
// kind it is. The pass also chooses the bits that mark referenced cells and checks the root key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "hive/faults.h"
#include "hive/image.h"
#include "hive/layout.h"
#include "hive/portable.h"

namespace tarvos::hive {

// A growable array of plain records whose allocation failure is an answer, not an exception.
template <typename T>
class SoftArray {
 public:
  SoftArray() = default;
  ~SoftArray() { std::free(data_); }
  SoftArray(const SoftArray&) = delete;
  SoftArray& operator=(const SoftArray&) = delete;

  bool Resize(size_t count) {  // new elements are zero
    if (count > capacity_ && !Grow(count)) return false;
    if (count > size_) std::fill(data_ + size_, data_ + count, T{});  // one memset for bytes
    size_ = count;
    return true;
  }
  bool Push(const T& value) {
    if (size_ == capacity_ && !Grow(capacity_ < 1024 ? 1024 : capacity_ * 2)) return false;
    data_[size_++] = value;
    return true;
  }
  void Clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }
  size_t Size() const { return size_; }
  void Swap(SoftArray& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  bool Grow(size_t capacity) {
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// One cell of the table: where it starts within its 2 KB half (in 8-byte steps) and its kind.
// While two walkers go through the tree, one of them sets its marks in the kind byte and the other
// reads kinds: the byte is read and written as a relaxed atomic there (plain moves on x86).
struct CellEntry {
  uint8_t position;
  uint8_t kind;  // CellKind, plus the flag bits below

  uint8_t Kind() const { return LoadRelaxed(kind); }
  void SetBits(uint8_t bits) { StoreRelaxed(kind, static_cast<uint8_t>(Kind() | bits)); }
  void ClearBits(uint8_t bits) { StoreRelaxed(kind, static_cast<uint8_t>(Kind() & ~bits)); }
};
inline constexpr uint8_t kCellKindMask = 0x1F;
inline constexpr uint8_t kCellRegistered = 0x20;    // a security block the walk registered
inline constexpr uint8_t kCellOffAlignment = 0x40;  // starts 4 bytes past an 8-byte step: never a target
inline constexpr uint8_t kCellReached = 0x80;       // reached by the key tree walk (its reference mark)

// One 4 KB page of the data area.
struct FramePage {
  static constexpr uint32_t kContinuation = 0xFFFFFFFF;
  static constexpr uint32_t kNoCell = 0xFFFFFFFF;
  uint32_t fileOffset = 0;   // head: the frame's file offset; continuation: the page's own
  uint32_t frameSize = 0;    // head: the frame's size; continuation: kContinuation
  uint32_t allocated = 0;    // head: allocated bytes of the frame plus 32; continuation: head page index
  uint32_t cellBase = 0;     // index of the frame's first cell in the table's cell array
  uint32_t firstCell[2] = {kNoCell, kNoCell};  // per 2 KB half, index within the frame
  uint16_t cellCount[2] = {0, 0};
};

// Results of OffsetCheck, tested in this order.
enum OffsetResult : uint32_t {
  kOffsetValid = 0,      // also the null offset, which callers test on their own
  kOffsetNoCell = 1,
  kOffsetBeyond = 2,
  kOffsetUnaligned = 3,
  kOffsetFreeCell = 4,
};

class FrameScan;
class ResumePoints;  // where the cells of a frame resume after a bad size (cell_chains.h)

// Whether a frame header that nothing needs to mend (its signature and its own offset) starts at a
// page's file offset: such a page begins a frame whatever the frame before it claims.
bool SoundFrameHeader(const uint8_t* buffer, uint32_t fileOffset);

// A key cell's fields set for a key with no subkeys, values or class (its name is the caller's).
void WriteEmptyKey(uint8_t* k, uint16_t flags, uint32_t parent, uint32_t security);

class FrameTable {
 public:
  // Checks and repairs every frame and cell, builds the table, chooses the marks and checks the
  // root key. False when a fault was left unfixed, memory ran out or the user stopped the run.
  // The frames a scan found sound as the hive was read are taken from it as they stand.
  bool Build(HiveImage& image, FaultReporter& faults, FrameScan* scan = nullptr);
  void Release();

  // The table entry of the cell that starts exactly at a hive offset, or nullptr.
  CellEntry* Lookup(uint32_t hiveOffset);
  OffsetResult OffsetCheck(uint32_t hiveOffset);

  uint64_t TotalAllocated() const { return totalAllocated_; }
  uint32_t PageCount() const { return pageCount_; }
  const FramePage& Page(uint32_t index) const { return pages_[index]; }
  size_t CellCount() const { return cells_.Size(); }
  CellEntry& Cell(size_t index) { return cells_[index]; }
  size_t IndexOf(const CellEntry* entry) const { return static_cast<size_t>(entry - &cells_[0]); }
  // Hive offset of the first root key cell of the table that can serve as the root, or kNullOffset.
  uint32_t FirstRootKey() const;
  // Whether the cell at a hive offset is an allocated key cell that holds a key's fixed fields.
  bool IsUsableKey(uint32_t hiveOffset) const;
  // Whether an offset read from the hive names a usable key: within a cell in use, and not
  // kNullOffset (which OffsetCheck passes, as a field that may be null).
  bool IsKeyAt(uint32_t hiveOffset) {
    return hiveOffset != kNullOffset && OffsetCheck(hiveOffset) == kOffsetValid && IsUsableKey(hiveOffset);
  }
  // Calls visit(hive offset, entry) for every cell of the table, in hive order.
  template <typename Visit>
  void ForEachCell(Visit visit) const;

  // For new cells: a frame written at the end of the image joins the table; false when memory
  // ran out.
  bool AppendFrame(uint32_t frameOffset, uint32_t frameSize);
  // The table takes the kind of a cell again, from its signature (a new cell, once written).
  void Reclassify(uint32_t hiveOffset);
  // The last frame's cells are read again (one of its free cells was split), keeping the flags of
  // the cells that stay where they were; false when memory ran out.
  bool RefreshLastFrame();
  // Free cells that new cells may take, by length (hive offsets): gathered by the allocator at
  // its first call after the table was built.
  struct SpareCells {
    bool gathered = false;
    std::multimap<uint32_t, uint32_t> byLength;
  };
  SpareCells& Spare() { return spare_; }

  // An image of at least this many bytes, whose frames no scan took while it was read (a mapped
  // hive), has the frames of its second half checked on a second core while the pass checks the
  // first; the pass takes them over where it meets them. Tests lower it.
  uint32_t splitFrom = 0x400000;
  // The bytes of frames the last pass took from that scan.
  uint32_t TakenFromSecondHalf() const { return takenFromTail_; }

 private:
  friend class FrameScan;
  struct TailScan;
  void StartTailScan(TailScan& tail);
  // The pass over every frame from the first, taking what a scan checked already; false when it
  // was stopped or a fault was left.
  bool PassFrames(uint32_t adopted, TailScan& tail);
  void TakeTailAt(TailScan& tail, uint32_t frameOffset);
  // A frame of the pass that no scan took: its pages put back, then checked.
  bool PutBackAndCheckFrame(TailScan& tail, uint32_t frameOffset, uint32_t& frameSize);
  // The allocated bytes of every frame, less their headers.
  void SumAllocated();
  // Without a fault reporter (a scan) any fault ends the frame's check with false.
  bool CheckFrame(uint32_t frameOffset, uint32_t& frameSize);
  // The frame header's signature, offset and size, repaired; foreign: the header was not the
  // frame's own.
  bool CheckFrameHeader(uint32_t frameOffset, uint32_t& frameSize, bool& foreign);
  // Every cell of the frame into the cell table, its size repaired where it is bad; allocated
  // and index grow with the cells.
  bool ReadFrameCells(uint32_t frameOffset, uint32_t frameSize, bool foreign, uint32_t& allocated, uint32_t& index);
  bool RepairCellSize(uint32_t at, uint32_t frameEnd, bool foreign, ResumePoints& resume, uint32_t& length,
                      bool& isAllocated);
  void FillFramePages(uint32_t frameOffset, uint32_t frameSize, uint32_t allocated, uint32_t cellBase,
                      uint32_t cellCount);
  // A page whose frame header names another place, or the place another page's header names,
  // is swapped with that page when the frame then found at frameOffset is sound (its cells fill
  // it): two pages written to each other's places go back. Only pages from frameOffset on, and
  // below notFrom (where the scan of the second half reads), are moved; a page at or past it is
  // named in blocked instead. False when the user refused it.
  bool PutPageBack(uint32_t frameOffset, uint32_t notFrom, uint32_t& blocked);
  // Reports, asks and fixes through the fault reporter: whether the fault was fixed.
  bool ReportAndFix(uint32_t code, uint32_t offset, FieldRef field, uint32_t repair) {
    return faults_ != nullptr && faults_->ReportAndFix(code, offset, field, repair);
  }
  // Takes the frames a scan found sound, up to the image's size; where they end.
  uint32_t Adopt(FrameScan& scan);
  // Checks, reporting nothing, the frames from the first sound frame header at or after from up
  // to the first with a fault, while stop stays false; start is where they begin and soundEnd
  // where they end (kNullOffset when none was found). For the pass over the second half.
  void ScanTail(uint32_t from, const std::atomic<bool>& stop, uint32_t& start, uint32_t& soundEnd);
  // Takes the frames of such a scan when they begin at at, up to the image's size; where they
  // end (at when none was taken).
  uint32_t AdoptTail(FrameTable& tail, uint32_t start, uint32_t soundEnd, uint32_t at);
  // Where the frames that table from checked run on from at, up to soundEnd, within this image;
  // cells: how many of its cells they hold.
  uint32_t TakenEnd(const FrameTable& from, uint32_t at, uint32_t soundEnd, size_t& cells) const;
  // Checks sound frames one after another from at, while ready(end) says the bytes up to end may
  // be read; soundEnd follows each frame checked whole. False when something ended it.
  bool CheckFramesFrom(uint32_t at, const std::function<bool(uint32_t)>& ready, uint32_t& soundEnd);
  CellEntry* Find(uint32_t hiveOffset);
  bool CheckRoot();
  uint32_t LargestOrphanTree() const;
  // Whether a usable key cell names the offset as its parent.
  bool NamedAsParent(uint32_t offset) const;
  // An empty root key in a new cell; kNullOffset when none can be had.
  uint32_t NewRootKey();
  // A root key whose cell does not hold a name moves to a new cell, named "ROOT"; its new offset,
  // or kNullOffset when no cell can be had.
  uint32_t MoveRootKey(uint32_t root);
  // Whether a key cell holds its fixed fields and a name of at least one character.
  bool HoldsItsName(uint32_t key) const;

  // Room for the pages (and the sentinel past them); false when memory ran out.
  bool SizeTables(uint32_t pages);

  HiveImage* image_ = nullptr;
  FaultReporter* faults_ = nullptr;
  SoftArray<FramePage> pages_;
  SoftArray<CellEntry> cells_;
  SoftArray<uint32_t> halves_;  // first-cell index per half of the frame being walked
  // Every reference is looked up by its offset check and again for its kind: each thread keeps
  // its last answer, valid while the table's generation stays (a new table, a new frame).
  void NewGeneration();
  uint64_t generation_ = 0;
  uint32_t pageCount_ = 0;
  uint64_t totalAllocated_ = 0;
  uint32_t takenFromTail_ = 0;
  SpareCells spare_;
  // Pages ahead whose frame header names another place: that place -> where the page is. Read
  // once, at the first page of the pass with an unsound header.
  std::map<uint32_t, uint32_t> displaced_;
  bool displacedRead_ = false;
  // The first sound frame header after a frame (the image's end when none), and whether sizes
  // lead from a place to it exactly: each worked out once for a run of frames that ask, so that
  // a long run of damaged pages costs one pass.
  uint32_t NextSoundFrame(uint32_t frameOffset);
  bool ChainsToEnd(uint32_t from, uint32_t before, uint32_t end);
  uint32_t soundFrom_ = 0, soundAt_ = 0;
  uint32_t chainFrom_ = 0, chainEnd_ = 0;
  std::vector<bool> chains_;  // per 8-byte step from chainFrom_: sizes from there lead to chainEnd_
};

// The frame pass over a hive as it is read: a second thread takes each frame once its bytes have
// arrived (reading stripes of the file itself while it has nothing to take) and builds the table
// for it, reporting nothing; it stops at the first frame with a fault. Build takes those frames
// over when nothing changed the image after the read.
class FrameScan final : public LoadWatcher {
 public:
  ~FrameScan() override { Finished(); }
  void Started(const HiveImage& image, LoadStripes& stripes, bool readsToo) override;
  void Finished() override;
  // The image was changed after the read (transaction logs): the scan is of no use. Called once
  // the read is over.
  void Discard() {
    table_.Release();
    soundEnd_ = kBaseBlockSize;
  }

 private:
  friend class FrameTable;
  void Scan();
  // Until the bytes before end have arrived, reads stripes or waits; false when they never will.
  bool Await(uint32_t end);

  FrameTable table_;  // reads the image being loaded, never writes it
  const uint8_t* buffer_ = nullptr;
  uint32_t soundEnd_ = kBaseBlockSize;  // file offset where the sound frames found end
  LoadStripes* stripes_ = nullptr;
  bool readsToo_ = false;
  std::thread thread_;
};

template <typename Visit>
void FrameTable::ForEachCell(Visit visit) const {
  for (uint32_t page = 1; page < pageCount_; ++page) {
    const FramePage& entry = pages_[page];
    if (entry.frameSize == 0) continue;
    for (uint32_t half = 0; half < 2; ++half) {
      if (entry.firstCell[half] == FramePage::kNoCell) continue;
      for (uint32_t i = 0; i < entry.cellCount[half]; ++i) {
        const CellEntry& c = cells_[size_t{entry.cellBase} + entry.firstCell[half] + i];
        if ((c.kind & kCellOffAlignment) != 0) continue;
        visit(entry.fileOffset - kBaseBlockSize + half * frame::kHalfSize + c.position * cell::kAlignment, c);
      }
    }
  }
}

}  // namespace tarvos::hive
