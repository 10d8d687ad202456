#include "hive/frames.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "hive/allocator.h"
#include "hive/cell_chains.h"
#include "hive/events.h"

namespace tarvos::hive {

namespace {

// Whether sound cell sizes lead from at exactly to end, with no sound frame header on a page
// between: a frame size that the cells bear out.
bool CellsFill(const uint8_t* buffer, uint32_t at, uint32_t end) {
  for (uint32_t page = (at & kPageMask) + kPageSize; page < end; page += kPageSize) {
    if (SoundFrameHeader(buffer, page)) return false;
  }
  while (at < end) {
    uint32_t length = SizeFieldLength(Le32(buffer + at));
    if (!SoundLength(length) || length > end - at) return false;
    at += length;
  }
  return at == end;
}

}  // namespace

bool SoundFrameHeader(const uint8_t* buffer, uint32_t fileOffset) {
  return Le32(buffer + fileOffset + frame::kSignature) == frame::kSignatureValue &&
         Le32(buffer + fileOffset + frame::kOwnOffset) == fileOffset - kBaseBlockSize;
}

void FrameTable::Release() {
  NewGeneration();
  pages_.Clear();
  cells_.Clear();
  halves_.Clear();
  pageCount_ = 0;
  totalAllocated_ = 0;
  takenFromTail_ = 0;
  spare_ = SpareCells{};
  displaced_.clear();
  displacedRead_ = false;
  soundFrom_ = soundAt_ = chainEnd_ = 0;
  chains_.clear();
  image_ = nullptr;
  faults_ = nullptr;
}

// The scan of the second half beside the pass: on a second core the frames there are checked
// beside the first half, reporting nothing, and taken over where the pass meets them (it always
// ends a frame where a sound frame header starts). Whatever way the pass ends, the scan ends
// with it.
struct FrameTable::TailScan {
  FrameTable table;
  std::atomic<bool> stop{false};
  uint32_t from = kNullOffset, start = kNullOffset, soundEnd = kNullOffset;
  std::thread thread;
  bool joined = false;
  // The frames the pass took from the scan.
  uint32_t takenStart = kNullOffset, takenEnd = kNullOffset;
  ~TailScan() {
    stop.store(true, std::memory_order_relaxed);
    Join();
  }
  void Join() {
    if (!thread.joinable()) return;
    thread.join();
  }
};

bool FrameTable::Build(HiveImage& image, FaultReporter& faults, FrameScan* scan) {
  Release();
  image_ = &image;
  faults_ = &faults;
  pageCount_ = image.Size() / kPageSize;
  const uint32_t adopted = scan != nullptr ? Adopt(*scan) : kBaseBlockSize;
  if (!SizeTables(pageCount_)) {
    faults.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  // Nothing taken from a scan as the hive was read: the second half is scanned beside the pass.
  TailScan tail;
  if (adopted == kBaseBlockSize) StartTailScan(tail);
  if (!PassFrames(adopted, tail)) return false;
  SumAllocated();
  // Referenced cells are marked in the cell table, beside the image: no size field is changed,
  // so there is nothing to put back in the image after the walk.

  if (!CheckRoot()) return false;
  faults.Services().log.Entry(LogMarker::Info, "Frame structure checked\r\n");
  return true;
}

void FrameTable::StartTailScan(TailScan& tail) {
  if (image_->Size() < splitFrom || std::thread::hardware_concurrency() < 2) return;
  tail.from = (image_->Size() / 2) & kPageMask;
  tail.table.image_ = image_;
  tail.table.pageCount_ = pageCount_;
  if (tail.from <= kBaseBlockSize || !tail.table.SizeTables(pageCount_)) {
    tail.from = kNullOffset;
    return;
  }
  try {
    tail.thread = std::thread([&tail] { tail.table.ScanTail(tail.from, tail.stop, tail.start, tail.soundEnd); });
  } catch (...) {  // no thread to be had: the pass does it all
    tail.from = kNullOffset;
  }
}

bool FrameTable::PassFrames(uint32_t adopted, TailScan& tail) {
  ProgressSink& progress = faults_->Services().progress;
  uint32_t frameOffset = kBaseBlockSize;
  uint32_t frameNumber = 1;
  uint32_t remaining = pageCount_;
  while (remaining > frameNumber) {
    uint32_t frameSize = 0;
    TakeTailAt(tail, frameOffset);
    if (frameOffset < adopted || (frameOffset >= tail.takenStart && frameOffset < tail.takenEnd)) {
      frameSize = pages_[frameOffset / kPageSize].frameSize;
    } else if (!PutBackAndCheckFrame(tail, frameOffset, frameSize)) {
      return false;
    }
    frameOffset += frameSize;
    remaining -= frameSize / kPageSize - 1;
    uint32_t permille = remaining > frameNumber ? PermilleOf(frameNumber + 1, remaining) : 1000;
    if (!progress.PollProgress(frameOffset)) return false;
    progress.SetGauge(permille);
    ++frameNumber;
  }
  return true;
}

// Past the middle the scan's frames are known; they are taken when the pass reaches the first of
// them exactly.
void FrameTable::TakeTailAt(TailScan& tail, uint32_t frameOffset) {
  if (frameOffset >= tail.from && !tail.joined) {
    tail.Join();
    tail.joined = true;
  }
  if (tail.joined && tail.takenStart == kNullOffset && frameOffset >= tail.start) {
    tail.takenStart = frameOffset;
    tail.takenEnd = AdoptTail(tail.table, tail.start, tail.soundEnd, frameOffset);
    takenFromTail_ = tail.takenEnd - tail.takenStart;
    tail.table.Release();
  }
}

bool FrameTable::PutBackAndCheckFrame(TailScan& tail, uint32_t frameOffset, uint32_t& frameSize) {
  uint32_t blocked = kNullOffset;
  if (!PutPageBack(frameOffset, tail.joined ? kNullOffset : tail.from, blocked)) return false;
  if (blocked != kNullOffset) {
    // A page of the second half goes back: the scan there is of no use.
    tail.stop.store(true, std::memory_order_relaxed);
    tail.Join();
    tail.joined = true;
    tail.takenStart = tail.takenEnd = 0;
    if (!PutPageBack(frameOffset, kNullOffset, blocked)) return false;
  }
  return CheckFrame(frameOffset, frameSize);
}

void FrameTable::SumAllocated() {
  totalAllocated_ = 0;
  for (uint32_t page = 1; page < pageCount_; ++page) {
    if (pages_[page].frameSize != FramePage::kContinuation && pages_[page].frameSize != 0) {
      totalAllocated_ += pages_[page].allocated - frame::kHeaderSize;
    }
  }
}

uint32_t FrameTable::NextSoundFrame(uint32_t frameOffset) {
  const uint32_t size = image_->Size() & kPageMask;
  if (frameOffset < soundFrom_ || frameOffset >= soundAt_) {
    soundFrom_ = frameOffset;
    soundAt_ = frameOffset + kPageSize;
    while (soundAt_ < size && !SoundFrameHeader(image_->Buffer(), soundAt_)) soundAt_ += kPageSize;
    if (soundAt_ > size) soundAt_ = size;
  }
  return soundAt_;
}

bool FrameTable::ChainsToEnd(uint32_t from, uint32_t before, uint32_t end) {
  const uint8_t* buffer = image_->Buffer();
  if (end != chainEnd_ || from < chainFrom_) {
    chainEnd_ = end;
    chainFrom_ = from;
    const uint32_t steps = (end - from) / cell::kAlignment;
    chains_.assign(steps + 1, false);
    chains_[steps] = true;
    for (uint32_t i = steps; i-- > 0;) {
      const uint32_t length = SizeFieldLength(Le32(buffer + from + i * cell::kAlignment));
      chains_[i] = SoundLength(length) && length <= end - from - i * cell::kAlignment && chains_[i + length / cell::kAlignment];
    }
  }
  for (uint32_t p = from; p < before && p < end; p += cell::kAlignment) {
    if (chains_[(p - chainFrom_) / cell::kAlignment]) return true;
  }
  return false;
}

bool FrameTable::PutPageBack(uint32_t frameOffset, uint32_t notFrom, uint32_t& blocked) {
  blocked = kNullOffset;
  uint8_t* buffer = image_->Buffer();
  const uint32_t size = image_->Size();
  if (SoundFrameHeader(buffer, frameOffset)) return true;
  // The page that belongs here: one further on whose header names this place. (A page here that
  // names another place is put back there when the pass reaches that place and finds it unsound.)
  if (!displacedRead_) {
    displacedRead_ = true;
    for (uint32_t page = frameOffset + kPageSize; page < size && page - frameOffset >= kPageSize; page += kPageSize) {
      const uint32_t named = Le32(buffer + page + frame::kOwnOffset) + kBaseBlockSize;
      if (Le32(buffer + page + frame::kSignature) == frame::kSignatureValue && named != page && named % kPageSize == 0) {
        displaced_.emplace(named, page);
      }
    }
  }
  auto naming = displaced_.find(frameOffset);
  if (naming == displaced_.end()) return true;
  const uint32_t partner = naming->second;
  const uint32_t named = Le32(buffer + partner + frame::kSize);
  if (partner <= frameOffset || partner > size - kPageSize || named == 0 || named % kPageSize != 0 ||
      named > size - frameOffset) {
    return true;
  }
  if (partner >= notFrom) {
    blocked = partner;
    return true;
  }
  auto swap = [buffer, frameOffset, partner] {
    std::swap_ranges(buffer + frameOffset, buffer + frameOffset + kPageSize, buffer + partner);
  };
  swap();
  const uint32_t frameSize = Le32(buffer + frameOffset + frame::kSize);
  const bool sound = SoundFrameHeader(buffer, frameOffset) && frameSize != 0 && frameSize % kPageSize == 0 &&
                     frameSize <= size - frameOffset &&
                     CellsFill(buffer, frameOffset + frame::kHeaderSize, frameOffset + frameSize);
  if (!sound) {
    swap();
    return true;
  }
  if (!ReportAndFix(kInvalidFrameOffset, frameOffset, FieldRef::None(), 0)) {
    swap();
    return false;
  }
  soundFrom_ = soundAt_ = chainEnd_ = 0;  // what was known of the pages ahead no longer holds
  // The page sent away may name a place of its own further on.
  displaced_.erase(frameOffset);
  const uint32_t sent = Le32(buffer + partner + frame::kOwnOffset) + kBaseBlockSize;
  if (Le32(buffer + partner + frame::kSignature) == frame::kSignatureValue && sent != partner && sent % kPageSize == 0) {
    displaced_[sent] = partner;
  }
  faults_->Services().log.Happened(EventRecord{Event::PagePutBack, frameOffset - kBaseBlockSize, partner - kBaseBlockSize});
  return true;
}

bool FrameTable::CheckFrame(uint32_t frameOffset, uint32_t& frameSize) {
  bool foreign = false;
  if (!CheckFrameHeader(frameOffset, frameSize, foreign)) return false;
  // The first-cell index of every 2 KB half of the frame.
  uint32_t halfCount = frameSize / frame::kHalfSize;
  if (!halves_.Resize(halfCount)) {
    ReportAndFix(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  for (uint32_t h = 0; h < halfCount; ++h) halves_[h] = FramePage::kNoCell;
  const uint32_t cellBase = static_cast<uint32_t>(cells_.Size());
  uint32_t allocated = frame::kHeaderSize;
  uint32_t cellCount = 0;
  if (!ReadFrameCells(frameOffset, frameSize, foreign, allocated, cellCount)) return false;
  FillFramePages(frameOffset, frameSize, allocated, cellBase, cellCount);
  return true;
}

bool FrameTable::CheckFrameHeader(uint32_t frameOffset, uint32_t& frameSize, bool& foreign) {
  uint8_t* buffer = image_->Buffer();
  uint8_t* header = buffer + frameOffset;
  auto field = [header](uint32_t at) { return FieldRef::Image32(header + at); };

  // A header that needed either repair is foreign data: its size field is no more to be trusted
  // than the rest, and the frame is one page.
  if (Le32(header + frame::kSignature) != frame::kSignatureValue) {
    if (!ReportAndFix(kInvalidFrameSignature, frameOffset, field(frame::kSignature), frame::kSignatureValue)) return false;
    foreign = true;
  }
  uint32_t ownOffset = frameOffset - kBaseBlockSize;
  if (Le32(header + frame::kOwnOffset) != ownOffset) {
    if (!ReportAndFix(kInvalidFrameOffset, frameOffset, field(frame::kOwnOffset), ownOffset)) return false;
    foreign = true;
  }
  frameSize = Le32(header + frame::kSize);
  const bool sane = frameSize != 0 && frameSize % kPageSize == 0 && frameSize <= image_->Size() - frameOffset;
  // Unless its cells prove it, a foreign header's size is as much junk as the rest of it.
  const bool proven = foreign && sane && CellsFill(buffer, frameOffset + frame::kHeaderSize, frameOffset + frameSize);
  // A sound header with a size that cannot be, or a foreign one (a header wiped) whose size its
  // cells do not bear out: the frame runs to the next sound frame (or the end) when its cells fill
  // that exactly, so that a frame of several pages keeps the cells that cross them; else it is
  // one page.
  uint32_t repairedSize = kPageSize;
  if (foreign ? !proven : !sane) {
    const uint32_t end = NextSoundFrame(frameOffset);
    // Its first page may have lost cells too (sectors of zeros): the cells from there on lead to
    // the end all the same.
    if (end > frameOffset + kPageSize && ChainsToEnd(frameOffset + frame::kHeaderSize, frameOffset + kPageSize, end)) {
      repairedSize = end - frameOffset;
    }
  }
  if ((foreign ? frameSize != repairedSize && !proven : !sane) &&
      !ReportAndFix(kInvalidFrameLength, frameOffset, field(frame::kSize), repairedSize)) {
    return false;
  }
  frameSize = Le32(header + frame::kSize);
  // No frame runs over a page where a sound frame starts: it ends there.
  for (uint32_t page = frameOffset + kPageSize; page - frameOffset < frameSize; page += kPageSize) {
    if (!SoundFrameHeader(buffer, page)) continue;
    if (!ReportAndFix(kInvalidFrameLength, frameOffset, field(frame::kSize), page - frameOffset)) return false;
    frameSize = page - frameOffset;
    break;
  }
  return true;
}

bool FrameTable::ReadFrameCells(uint32_t frameOffset, uint32_t frameSize, bool foreign, uint32_t& allocated,
                                uint32_t& index) {
  uint8_t* buffer = image_->Buffer();
  const uint32_t frameEnd = frameOffset + frameSize;
  const uint32_t imageSize = image_->Size();
  ResumePoints resume(buffer, frameOffset + frame::kHeaderSize, frameEnd);
  // The last few cells read since the last repair in this frame, newest last: any of them may
  // be the one whose size ran over the cells after it.
  struct Read {
    uint32_t at, length, index;
    bool free;
  };
  constexpr uint32_t kRecent = 4;
  Read recent[kRecent];  // cell k since the last repair at k % kRecent
  uint32_t recentCount = 0;
  for (uint32_t at = frameOffset + frame::kHeaderSize; at < frameEnd;) {
    // Each cell's start depends on the size before it. The processor fetches ahead within a page
    // on its own; the next page is asked for here, a page ahead of the cells being read.
    const uint32_t ahead = imageSize - at > kPageSize ? at + kPageSize : at;
    PrefetchRead(buffer + ahead);
    uint32_t sizeField = Le32(buffer + at);
    bool isAllocated = static_cast<int32_t>(sizeField) < 0;
    uint32_t length = SizeFieldLength(sizeField);
    if (length > frameEnd - at || !SoundLength(length)) {
      // A size before may be what went wrong: it ran over the cells after it, and this one lies
      // within them. Of the cells whose sizes did, the one after which the true cells pass the
      // most cells of a known kind (the nearest of those) is cut back to where they start.
      uint32_t from = 0, j = 0;
      for (uint32_t k = recentCount; k-- > 0 && recentCount - k <= kRecent;) {
        const Read& c = recent[k % kRecent];
        const uint32_t start = resume.OverranBy(c.at, c.free, at);
        if (start == 0 || start >= c.at + c.length) continue;
        if (from == 0 || resume.Known(start) > resume.Known(from)) from = start, j = k;
      }
      if (from != 0) {
        const Read& c = recent[j % kRecent];
        // The cells read after it are read again from where its true successors start.
        for (uint32_t k = j + 1; k < recentCount; ++k) {
          if (!recent[k % kRecent].free) allocated -= recent[k % kRecent].length;
        }
        cells_.Resize(cells_.Size() - (index - (c.index + 1)));
        index = c.index + 1;
        for (uint32_t h = 0; h < frameSize / frame::kHalfSize; ++h) {
          if (halves_[h] != FramePage::kNoCell && halves_[h] >= index) halves_[h] = FramePage::kNoCell;
        }
        const uint32_t cutTo = c.free ? from - c.at : 0u - (from - c.at);
        if (!ReportAndFix(kCellSizeTooLarge, c.at, FieldRef::Image32(buffer + c.at), cutTo)) return false;
        if (!c.free) allocated -= c.length - (from - c.at);
        recentCount = 0;
        at = from;
        continue;
      }
      recentCount = 0;
      if (!RepairCellSize(at, frameEnd, foreign, resume, length, isAllocated)) return false;
    }
    if (isAllocated) allocated += length;

    uint32_t within = at - frameOffset;
    uint8_t kind = Kind(buffer + at, length);
    if (within % cell::kAlignment != 0) kind |= kCellOffAlignment;
    if (!cells_.Push(CellEntry{static_cast<uint8_t>((within / cell::kAlignment) % 256), kind})) {
      ReportAndFix(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
      return false;
    }
    uint32_t half = within / frame::kHalfSize;
    if (halves_[half] == FramePage::kNoCell) halves_[half] = index;
    ++index;
    if (foreign) {
      recentCount = 0;
    } else {
      recent[recentCount++ % kRecent] = Read{at, length, index - 1, !isAllocated};
    }
    at += length;
  }
  return true;
}

// A bad size ends its cell where the cells after it resume. A cell that was in use (its size
// negative, and not a run of 0xFF) in a frame of its own stays in use up to there, so that what
// names it still finds it; any other becomes one free cell.
bool FrameTable::RepairCellSize(uint32_t at, uint32_t frameEnd, bool foreign, ResumePoints& resume, uint32_t& length,
                                bool& isAllocated) {
  uint8_t* buffer = image_->Buffer();
  const uint32_t left = frameEnd - at;
  const uint32_t sizeField = Le32(buffer + at);
  const bool inUse = isAllocated && sizeField != 0xFFFFFFFFu && !foreign;
  if (length > left) {
    uint32_t next = resume.After(at);
    length = next - at;
    if (!ReportAndFix(kCellSizeTooLarge, at, FieldRef::Image32(buffer + at), inUse ? 0u - length : length)) return false;
    isAllocated = inUse;
    if (!inUse) image_->NoteFreedByRepair(at - kBaseBlockSize, length);
    return true;
  }
  // A size a few bytes off whole steps keeps its cell when a cell plausibly follows the rounded
  // size.
  uint32_t rounded = length & ~(cell::kAlignment - 1);
  bool keep = rounded >= cell::kAlignment && (rounded == left || NextPlausibleCell(buffer, at + rounded, frameEnd) == at + rounded);
  length = keep ? rounded : resume.After(at) - at;
  isAllocated = keep ? isAllocated : inUse;
  if (!ReportAndFix(kInvalidCellSize, at, FieldRef::Image32(buffer + at), isAllocated ? 0u - length : length)) return false;
  if (!isAllocated) image_->NoteFreedByRepair(at - kBaseBlockSize, length);
  return true;
}

// Each page of the frame gets its two halves: first cell and count. Counts come from the next
// half that has cells, so the pages are filled from the last.
void FrameTable::FillFramePages(uint32_t frameOffset, uint32_t frameSize, uint32_t allocated, uint32_t cellBase,
                                uint32_t cellCount) {
  const uint32_t headPage = frameOffset / kPageSize;
  uint32_t nextFirst = cellCount;
  for (uint32_t page = frameSize / kPageSize; page-- > 0;) {
    FramePage& entry = pages_[headPage + page];
    entry.fileOffset = frameOffset + page * kPageSize;
    entry.frameSize = page == 0 ? frameSize : FramePage::kContinuation;
    entry.allocated = page == 0 ? allocated : headPage;
    entry.cellBase = cellBase;
    for (uint32_t h = 2; h-- > 0;) {
      uint32_t first = halves_[page * 2 + h];
      entry.firstCell[h] = first;
      // At most 512 cells (of 4 bytes) start in one half.
      entry.cellCount[h] = first == FramePage::kNoCell ? 0 : static_cast<uint16_t>(nextFirst - first);
      if (first != FramePage::kNoCell) nextFirst = first;
    }
  }
}

CellEntry* FrameTable::Lookup(uint32_t hiveOffset) {
  struct Last {
    const FrameTable* table;
    uint64_t generation;
    uint32_t offset;
    CellEntry* entry;
  };
  thread_local Last last{nullptr, 0, kNullOffset, nullptr};
  if (last.table == this && last.generation == generation_ && hiveOffset == last.offset && hiveOffset != kNullOffset) {
    return last.entry;
  }
  CellEntry* entry = Find(hiveOffset);
  last = Last{this, generation_, hiveOffset, entry};
  return entry;
}

bool FrameTable::SizeTables(uint32_t pages) { return pages_.Resize(size_t{pages} + 1); }

CellEntry* FrameTable::Find(uint32_t hiveOffset) {
  uint64_t file = uint64_t{hiveOffset} + kBaseBlockSize;
  if (file % cell::kAlignment != 0) return nullptr;
  uint64_t page = file / kPageSize;
  if (page == 0 || page >= pageCount_) return nullptr;
  // A page the pass took lies wholly within its frame; one it did not take has no frame size.
  const FramePage& entry = pages_[page];
  if (entry.frameSize == 0) return nullptr;
  uint32_t position = static_cast<uint32_t>(file - entry.fileOffset) / cell::kAlignment;
  uint32_t half = position / 256;
  if (entry.firstCell[half] == FramePage::kNoCell) return nullptr;
  // The half's cells stand in address order: a search without branches on the data, for the
  // outcome of each step is a coin toss to the processor.
  CellEntry* at = &cells_[size_t{entry.cellBase} + entry.firstCell[half]];
  const uint8_t wanted = static_cast<uint8_t>(position % 256);
  for (uint32_t count = entry.cellCount[half]; count > 1;) {
    uint32_t step = count / 2;
    at = at[step].position <= wanted ? at + step : at;
    count -= step;
  }
  return at->position == wanted && (at->Kind() & kCellOffAlignment) == 0 ? at : nullptr;
}

OffsetResult FrameTable::OffsetCheck(uint32_t hiveOffset) {
  if (hiveOffset == kNullOffset) return kOffsetValid;
  if (image_ == nullptr) return kOffsetBeyond;
  if (uint64_t{hiveOffset} + kBaseBlockSize > image_->Size()) return kOffsetBeyond;
  if (hiveOffset % cell::kAlignment != 0) return kOffsetUnaligned;
  if (Lookup(hiveOffset) == nullptr) return kOffsetNoCell;
  if (static_cast<int32_t>(Le32(image_->AtHiveOffset(hiveOffset))) >= 0) return kOffsetFreeCell;
  return kOffsetValid;
}

void FrameTable::Reclassify(uint32_t hiveOffset) {
  CellEntry* entry = Lookup(hiveOffset);
  if (entry == nullptr) return;
  const uint8_t* cell = image_->AtHiveOffset(hiveOffset);
  uint32_t length = SizeFieldLength(Le32(cell));
  entry->kind = static_cast<uint8_t>((entry->kind & ~kCellKindMask) | Kind(cell, length));
}

bool FrameTable::AppendFrame(uint32_t frameOffset, uint32_t frameSize) {
  if (frameOffset != pageCount_ * kPageSize) return false;
  uint32_t pages = pageCount_ + frameSize / kPageSize;
  if (!SizeTables(pages)) return false;
  pageCount_ = pages;
  uint32_t checkedSize = 0;
  bool checked = CheckFrame(frameOffset, checkedSize);
  NewGeneration();  // the cell array may have moved
  return checked;
}

bool FrameTable::RefreshLastFrame() {
  if (pageCount_ < 2) return false;
  uint32_t last = pageCount_ - 1;
  uint32_t head = pages_[last].frameSize == FramePage::kContinuation ? pages_[last].allocated : last;
  const uint32_t frameOffset = pages_[head].fileOffset;
  const size_t base = pages_[head].cellBase;
  // The flags of the cells as they stand, by their place in the frame.
  std::vector<std::pair<uint32_t, uint8_t>> flags;
  for (uint32_t page = head; page < pageCount_; ++page) {
    for (uint32_t half = 0; half < 2; ++half) {
      if (pages_[page].firstCell[half] == FramePage::kNoCell) continue;
      for (uint32_t i = 0; i < pages_[page].cellCount[half]; ++i) {
        const CellEntry& c = cells_[base + pages_[page].firstCell[half] + i];
        uint32_t within = (page - head) * kPageSize + half * frame::kHalfSize + c.position * cell::kAlignment;
        flags.emplace_back(within, static_cast<uint8_t>(c.kind & ~kCellKindMask & ~kCellOffAlignment));
      }
    }
  }
  cells_.Resize(base);
  uint32_t size = 0;
  bool checked = CheckFrame(frameOffset, size);
  NewGeneration();
  if (!checked) return false;
  for (const auto& [within, bits] : flags) {
    if (bits == 0) continue;
    CellEntry* entry = Lookup(frameOffset - kBaseBlockSize + within);
    if (entry != nullptr) entry->SetBits(bits);
  }
  return true;
}

void FrameTable::NewGeneration() {
  static std::atomic<uint64_t> generations{0};
  generation_ = generations.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace tarvos::hive
