// The scans that check frames beside other work, reporting nothing: the scan of the frames as
// the file is read (FrameScan), the scan of the second half beside the frame pass, and the
// taking over of what either found.
#include <atomic>
#include <thread>

#include "hive/frames.h"

namespace tarvos::hive {

uint32_t FrameTable::TakenEnd(const FrameTable& from, uint32_t at, uint32_t soundEnd, size_t& cells) const {
  // A frame that ends past the image (cut to its declared data size) is checked again, and so
  // is everything after it.
  uint32_t end = at;
  while (end < soundEnd) {
    uint32_t size = from.pages_[end / kPageSize].frameSize;
    if (size == 0 || uint64_t{end} + size > image_->Size()) break;
    end += size;
  }
  cells = end < soundEnd ? from.pages_[end / kPageSize].cellBase : from.cells_.Size();
  return end;
}

bool FrameTable::CheckFramesFrom(uint32_t at, const std::function<bool(uint32_t)>& ready, uint32_t& soundEnd) {
  const uint8_t* buffer = image_->Buffer();
  const uint32_t size = image_->Size();
  while (uint64_t{at} + frame::kHeaderSize <= size) {
    if (!ready(at + frame::kHeaderSize)) return false;
    uint32_t frameSize = Le32(buffer + at + frame::kSize);
    if (frameSize == 0 || frameSize % kPageSize != 0 || frameSize > size - at || !ready(at + frameSize)) return false;
    size_t cells = cells_.Size();
    uint32_t checked = 0;
    if (!CheckFrame(at, checked)) {
      cells_.Resize(cells);
      return false;
    }
    at += frameSize;
    soundEnd = at;
  }
  return true;
}

uint32_t FrameTable::Adopt(FrameScan& scan) {
  FrameTable& from = scan.table_;
  if (from.image_ != image_ || scan.buffer_ != image_->Buffer() || from.pageCount_ < pageCount_) return kBaseBlockSize;
  size_t cells = 0;
  uint32_t end = TakenEnd(from, kBaseBlockSize, scan.soundEnd_, cells);
  if (end == kBaseBlockSize) return end;
  pages_.Swap(from.pages_);
  cells_.Swap(from.cells_);
  NewGeneration();
  scan.Discard();
  cells_.Resize(cells);
  // The pages past the frames taken are the frame pass's to fill.
  for (uint32_t page = end / kPageSize; page <= pageCount_; ++page) pages_[page] = FramePage{};
  return end;
}

void FrameTable::ScanTail(uint32_t from, const std::atomic<bool>& stop, uint32_t& start, uint32_t& soundEnd) {
  const uint8_t* buffer = image_->Buffer();
  const uint32_t size = image_->Size();
  // The first sound frame header within a few pages of the middle; none, and there is nothing
  // to take.
  uint32_t at = from;
  const uint32_t last = size - from > 0x100000 ? from + 0x100000 : size;
  while (uint64_t{at} + frame::kHeaderSize <= last && !SoundFrameHeader(buffer, at)) at += kPageSize;
  if (uint64_t{at} + frame::kHeaderSize > last) return;
  start = at;
  soundEnd = at;
  CheckFramesFrom(at, [&stop](uint32_t) { return !stop.load(std::memory_order_relaxed); }, soundEnd);
}

uint32_t FrameTable::AdoptTail(FrameTable& tail, uint32_t start, uint32_t soundEnd, uint32_t at) {
  if (start != at || soundEnd == kNullOffset || tail.pageCount_ < pageCount_) return at;
  size_t taken = 0;
  uint32_t end = TakenEnd(tail, at, soundEnd, taken);
  if (end == at) return at;
  const size_t base = cells_.Size();
  if (taken > 0xFFFFFFFFu - base || !cells_.Resize(base + taken)) return at;
  for (size_t i = 0; i < taken; ++i) cells_[base + i] = tail.cells_[i];
  for (uint32_t page = at / kPageSize; page < end / kPageSize; ++page) {
    pages_[page] = tail.pages_[page];
    pages_[page].cellBase += static_cast<uint32_t>(base);
  }
  NewGeneration();
  return end;
}

void FrameScan::Started(const HiveImage& image, LoadStripes& stripes, bool readsToo) {
  Finished();
  Discard();
  // One core gives nothing to run beside the read.
  if (std::thread::hardware_concurrency() < 2) return;
  // The scan reads the image only; the const is given back for the frame pass's own use.
  table_.image_ = const_cast<HiveImage*>(&image);
  buffer_ = image.Buffer();
  table_.pageCount_ = image.Size() / kPageSize;
  if (!table_.SizeTables(table_.pageCount_)) {
    Discard();
    return;
  }
  stripes_ = &stripes;
  readsToo_ = readsToo;
  try {
    thread_ = std::thread([this] { Scan(); });
  } catch (...) {  // no thread to be had: the frame pass does it all
    Discard();
    stripes_ = nullptr;
  }
}

void FrameScan::Finished() {
  if (!thread_.joinable()) return;
  stripes_->GiveUp();  // what has not arrived by now never will
  thread_.join();
  stripes_ = nullptr;
}

bool FrameScan::Await(uint32_t end) {
  while (!stripes_->Has(end)) {
    if (!readsToo_ || !stripes_->HelpRead()) return stripes_->WaitFor(end);
  }
  return true;
}

void FrameScan::Scan() {
  table_.CheckFramesFrom(kBaseBlockSize, [this](uint32_t end) { return Await(end); }, soundEnd_);
}

}  // namespace tarvos::hive
