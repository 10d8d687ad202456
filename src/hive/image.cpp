#include "hive/image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"

namespace tarvos::hive {

bool HiveImage::Allocate(uint32_t size) {
  Release();
  lostAt_ = kNullOffset;
  buffer_ = static_cast<uint8_t*>(platform::AllocateLarge(size));
  if (buffer_ == nullptr) return false;
  allocated_ = size;
  size_ = size;
  return true;
}

void HiveImage::Adopt(std::unique_ptr<HiveView> view, uint32_t size) {
  Release();
  lostAt_ = kNullOffset;
  view_ = std::move(view);
  buffer_ = view_->Data();
  allocated_ = size;
  size_ = size;
}

bool HiveImage::Grow(uint32_t size) {
  if (size <= size_) return true;
  if (size > allocated_) {
    // Room for more than asked: frames added one after another (salvage writes many lists) do
    // not copy the whole image each time.
    uint64_t spare = std::max<uint64_t>(allocated_ / 8, 0x40000);
    uint64_t capacity = std::min<uint64_t>((uint64_t{size} + spare + kPageSize - 1) & ~uint64_t{kPageSize - 1}, 0xFFFFF000u);
    if (capacity < size) capacity = size;
    auto* grown = static_cast<uint8_t*>(platform::AllocateLarge(static_cast<size_t>(capacity)));
    if (grown == nullptr) grown = static_cast<uint8_t*>(platform::AllocateLarge(capacity = size));
    if (grown == nullptr) return false;
    std::memcpy(grown, buffer_, size_);
    if (view_ != nullptr) {
      lostAt_ = view_->LostAt();  // the copy holds the zeros of pages lost so far
      view_.reset();
    } else if (buffer_ != nullptr) {
      platform::FreeLarge(buffer_, allocated_);
    }
    buffer_ = grown;
    allocated_ = static_cast<size_t>(capacity);
  }
  std::memset(buffer_ + size_, 0, size - size_);
  size_ = size;
  return true;
}

void HiveImage::Release() {
  if (view_ != nullptr) {
    lostAt_ = view_->LostAt();  // still known once the view is gone: the run reports it after
    view_.reset();
  } else if (buffer_ != nullptr) {
    platform::FreeLarge(buffer_, allocated_);
  }
  buffer_ = nullptr;
  allocated_ = 0;
  size_ = 0;
  loaded_ = false;
  declaredDataSize = 0;
  rootKeyOffset = 0;
  freedByRepairs_.clear();
  standIns.clear();
  valuesTakenOut.clear();
}

void HiveImage::NoteFreedByRepair(uint32_t hiveOffset, uint32_t length) {
  if (length == 0) return;
  // Ranges that meet the new one are merged into it, so that they stay apart and in order.
  uint64_t start = hiveOffset, end = uint64_t{hiveOffset} + length;
  auto first = std::lower_bound(freedByRepairs_.begin(), freedByRepairs_.end(), start,
                                [](const std::pair<uint32_t, uint32_t>& r, uint64_t s) { return uint64_t{r.first} + r.second < s; });
  auto last = first;
  while (last != freedByRepairs_.end() && last->first <= end) {
    start = std::min<uint64_t>(start, last->first);
    end = std::max<uint64_t>(end, uint64_t{last->first} + last->second);
    ++last;
  }
  first = freedByRepairs_.erase(first, last);
  freedByRepairs_.insert(first, {static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
}

bool HiveImage::FreedByRepairs(uint32_t hiveOffset, uint32_t length) const {
  // The last range that starts before the end is the only one that can reach into the space.
  uint64_t end = uint64_t{hiveOffset} + length;
  auto after = std::lower_bound(freedByRepairs_.begin(), freedByRepairs_.end(), end,
                                [](const std::pair<uint32_t, uint32_t>& r, uint64_t e) { return r.first < e; });
  if (after == freedByRepairs_.begin()) return false;
  const auto& [at, size] = *(after - 1);
  return uint64_t{at} + size > hiveOffset;
}

namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }

}  // namespace

LoadStripes::LoadStripes(HiveSource& source, uint8_t* buffer, uint32_t size)
    : source_(source), buffer_(buffer), size_(size), stripes_(size / kStripeSize + (size % kStripeSize != 0)) {
  done_.assign(stripes_, false);
}

bool LoadStripes::Read(ProgressSink* progress, uint32_t firstStripe) {
  uint32_t stripe = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (givenUp_.load(std::memory_order_relaxed) || next_ == stripes_ || next_ < firstStripe) return false;
    stripe = next_++;
    ++reading_;
  }
  // In 64 bits: the last chunk of a file near 4 GiB must not wrap to its start.
  const uint64_t start = uint64_t{stripe} * kStripeSize;
  const uint64_t end = size_ - start > kStripeSize ? start + kStripeSize : size_;
  uint32_t failed = kNullOffset;
  uint32_t stopped = kNullOffset;
  uint64_t at = start;
  for (; at < end && !givenUp_.load(std::memory_order_relaxed); at += kLoadChunkSize) {
    uint32_t count = static_cast<uint32_t>(end - at > kLoadChunkSize ? kLoadChunkSize : end - at);
    size_t got = 0;
    // A read that fails or delivers less than asked gives up the file.
    if (!source_.ReadAt(at, buffer_ + at, count, got) || got != count) {
      failed = static_cast<uint32_t>(at);
      break;
    }
    if (progress != nullptr && count == kLoadChunkSize) {
      uint32_t permille = 1000 - PermilleOf(static_cast<uint32_t>(size_ - at - kLoadChunkSize), size_);
      if (!progress->PollProgress(static_cast<uint32_t>(at))) {
        stopped = static_cast<uint32_t>(at);
        break;
      }
      progress->SetGauge(permille);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --reading_;
    if (failed != kNullOffset || stopped != kNullOffset) {
      if (failed < failedAt_) failedAt_ = failed;
      if (stopped < stoppedAt_) stoppedAt_ = stopped;
      givenUp_.store(true, std::memory_order_relaxed);
    } else if (at >= end) {
      done_[stripe] = true;
      while (contiguous_ < stripes_ && done_[contiguous_]) ++contiguous_;
    }
  }
  changed_.notify_all();
  return failed == kNullOffset && stopped == kNullOffset;
}

bool LoadStripes::Has(uint32_t end) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Arrived(end);
}

bool LoadStripes::WaitFor(uint32_t end) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return Arrived(end) || (givenUp_.load(std::memory_order_relaxed) && reading_ == 0); });
  return Arrived(end);
}

void LoadStripes::WaitForIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return reading_ == 0; });
}

void LoadStripes::GiveUp() {
  givenUp_.store(true, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);  // a waiter either sees the flag or is woken
  }
  changed_.notify_all();
}

uint32_t LoadStripes::FailedAt() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failedAt_;
}

uint32_t LoadStripes::StoppedAt() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stoppedAt_;
}

namespace {

// Opens the file, saying why when it cannot be.
bool OpenHiveFile(FaultReporter& faults, HiveSource& source, const std::string& name) {
  EngineLog& log = faults.Services().log;
  if (!source.Open(name)) {
    faults.ReportFault(kInputFileOpenError, kNullOffset, FieldRef::None(), 0);
    log.Entry(LogMarker::Error, "Open file error: " + name + "\r\n");
    std::string reason = source.OpenFailure();
    if (!reason.empty()) log.Entry(LogMarker::Error, "Reason: " + reason + "\r\n");
    return false;
  }
  log.Entry(LogMarker::Info, "File opened: " + name + "\r\n");
  return true;
}

// The file's size, when it can be a hive's; false when it was not found or cannot be.
bool HiveFileSize(FaultReporter& faults, HiveSource& source, const std::string& name,
                  std::optional<uint64_t> knownSize, uint64_t& fileSize) {
  if (knownSize) {
    fileSize = *knownSize;
  } else if (!source.Size(fileSize)) {
    faults.ReportFault(kUnableToGetFileInfo, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  if (fileSize < kMinHiveFileSize) {
    faults.ReportFault(kHiveTooSmall, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  if (fileSize > kMaxHiveFileSize) {
    // Cells are addressed below 2 GiB: a larger file is no hive, and is not read at all.
    faults.Services().log.Entry(LogMarker::Error, "Hive file is too large: " + name + ", size: " + Decimal(fileSize) +
                                                      " (a hive holds at most " + Decimal(kMaxHiveFileSize) +
                                                      " bytes)\r\n");
    faults.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  return true;
}

// A file cut off a page boundary keeps its last part page: the cells there that are whole stay,
// and the rest of the page reads as zeros, which the frame pass mends like any other. The
// question comes once the file is read: a file that is no hive at all is asked nothing.
int GrowToWholePage(HiveImage& image, FaultReporter& faults, uint32_t size, uint32_t pageEnd) {
  if (!NotAHive(image).empty()) return kLoadDone;
  uint32_t asFound = size;
  if ((size & ~kPageMask) != 0 && !faults.ReportAndFix(kSizeNotAligned, kNullOffset, FieldRef::Variable(asFound), 0)) {
    return kLoadFailed;
  }
  if (image.Size() < pageEnd && !image.Grow(pageEnd)) {
    faults.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return kLoadFailed;
  }
  return kLoadDone;
}

// Reads the file into the image's buffer in stripes, the watcher working on what has arrived:
// kLoadDone, kLoadFailed or kLoadStopped.
int ReadIntoBuffer(HiveImage& image, FaultReporter& faults, HiveSource& source, uint32_t size, LoadWatcher* watcher) {
  ProgressSink& progress = faults.Services().progress;
  LoadStripes stripes(source, image.Buffer(), size);
  // The watcher's work ends with the read, whichever way the read ends.
  struct Watching {
    LoadWatcher* watcher;
    ~Watching() {
      if (watcher != nullptr) watcher->Finished();
    }
  } watching{watcher};
  if (watcher != nullptr) watcher->Started(image, stripes, source.ReadsAtOnce());
  while (stripes.ReadNext(&progress)) {
  }
  stripes.WaitForIdle();
  // What came first in the file counts, as if it had been read in one go.
  uint32_t failed = stripes.FailedAt();
  uint32_t stopped = stripes.StoppedAt();
  if (failed != kNullOffset && failed < stopped) {
    faults.ReportFault(kFileReadError, failed, FieldRef::None(), 0);
    return kLoadFailed;
  }
  if (stopped != kNullOffset) return kLoadStopped;
  if (!progress.PollProgress(size - size % kLoadChunkSize)) return kLoadStopped;
  progress.SetGauge(1000);
  if (watcher != nullptr) watcher->Finished();
  return kLoadDone;
}

}  // namespace

int LoadHive(HiveImage& image, FaultReporter& faults, HiveSource& source, const std::string& name,
             std::optional<uint64_t> knownSize, LoadWatcher* watcher) {
  EngineLog& log = faults.Services().log;
  ProgressSink& progress = faults.Services().progress;
  log.Break();
  log.Entry(LogMarker::Info, "Processing file: " + name + "...\r\n");
  if (!OpenHiveFile(faults, source, name)) return kLoadNotOpened;
  struct Closer {
    HiveSource& source;
    ~Closer() { source.Close(); }
  } closer{source};

  uint64_t fileSize = 0;
  if (!HiveFileSize(faults, source, name, knownSize, fileSize)) return kLoadFailed;
  uint32_t size = static_cast<uint32_t>(fileSize);
  const uint32_t pageEnd = static_cast<uint32_t>((uint64_t{size} + kPageSize - 1) & kPageMask);

  // A view of the file has nothing to read: its pages come in as the checks first touch them. A
  // view of a file cut off a page boundary takes the rest of its last page, as zeros, where the
  // system allows; else the view is copied into a buffer that holds that page whole.
  std::unique_ptr<HiveView> view = pageEnd != size ? source.MapPrivate(pageEnd) : nullptr;
  const uint32_t viewSize = view != nullptr ? pageEnd : size;
  if (view == nullptr) view = source.MapPrivate(size);
  if (view != nullptr) {
    log.Entry(LogMarker::Info, "Hive file loading...\r\n");
    image.Adopt(std::move(view), viewSize);
    if (!progress.PollProgress(0)) return kLoadStopped;
    progress.SetGauge(1000);
    image.MarkLoaded();
    log.Entry(LogMarker::Info, "Hive file loaded: " + name + ", size: " + Decimal(size) + "\r\n");
    return GrowToWholePage(image, faults, size, pageEnd);
  }
  if (!image.Allocate(size)) {
    faults.ReportFault(kMemoryAllocationError, kNullOffset, FieldRef::None(), 0);
    return kLoadFailed;
  }

  log.Entry(LogMarker::Info, "Hive file loading...\r\n");
  if (int read = ReadIntoBuffer(image, faults, source, size, watcher); read != kLoadDone) return read;
  image.MarkLoaded();
  log.Entry(LogMarker::Info, "Hive file loaded: " + name + ", size: " + Decimal(size) + "\r\n");
  return GrowToWholePage(image, faults, size, pageEnd);
}

uint32_t HeaderChecksum(const uint8_t* baseBlock) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < base::kChecksumWords; ++i) sum ^= Le32(baseBlock + i * 4);
  // Windows never stores 0 or -1: they become 1 and -2.
  if (sum == 0) return 1;
  if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
  return sum;
}

namespace {

// Where the frames end that follow one another soundly from the start of the data area: each
// says "hbin", names its own offset and has a size of whole pages within the file.
uint32_t EffectiveDataSize(const HiveImage& image) {
  const uint8_t* buffer = image.Buffer();
  uint32_t at = 0;
  while (uint64_t{kBaseBlockSize} + at + frame::kHeaderSize <= image.Size()) {
    const uint8_t* header = buffer + kBaseBlockSize + at;
    uint32_t size = Le32(header + frame::kSize);
    if (Le32(header + frame::kSignature) != frame::kSignatureValue || Le32(header + frame::kOwnOffset) != at ||
        size == 0 || size % kPageSize != 0 || size > image.Size() - kBaseBlockSize - at) {
      break;
    }
    at += size;
  }
  return at;
}

}  // namespace

bool CheckBaseBlock(HiveImage& image, FaultReporter& faults) {
  uint8_t* block = image.BaseBlock();
  if (block == nullptr) return false;
  auto field = [block](uint32_t at) { return FieldRef::Image32(block + at); };
  auto value = [block](uint32_t at) { return Le32(block + at); };
  if (value(base::kSignature) != base::kSignatureValue &&
      !faults.ReportAndFix(kInvalidSignature, kNullOffset, field(base::kSignature), base::kSignatureValue)) {
    return false;
  }
  image.rootKeyOffset = value(base::kRootKeyOffset);

  bool repaired = false;
  auto check = [&](bool bad, uint32_t code, uint32_t at, uint32_t repair) {
    if (!bad) return true;
    if (!faults.ReportAndFix(code, kNullOffset, field(at), repair)) return false;
    repaired = true;
    return true;
  };
  uint32_t minor = value(base::kMinorVersion);
  if (!check(minor < base::kMinorVersionMin || minor > base::kMinorVersionMax, kInvalidFileVersion,
             base::kMinorVersion, base::kMinorVersionRepair) ||
      !check(value(base::kMajorVersion) != base::kMajorVersionValue, kBrokenHeader, base::kMajorVersion,
             base::kMajorVersionValue) ||
      !check(value(base::kFileType) != base::kFileTypeValue, kBrokenHeader, base::kFileType, base::kFileTypeValue) ||
      !check(value(base::kFileFormat) != base::kFileFormatValue, kBrokenHeader, base::kFileFormat,
             base::kFileFormatValue) ||
      !check(value(base::kClusteringFactor) != base::kClusteringFactorValue, kBrokenHeader,
             base::kClusteringFactor, base::kClusteringFactorValue) ||
      !check(value(base::kSecondarySequence) != value(base::kPrimarySequence), kBrokenHeader,
             base::kSecondarySequence, value(base::kPrimarySequence))) {
    return false;
  }
  // Frames are whole pages: a data size that is not would cut the last one short, and everything
  // after it would be left out of the check and of the saved hive.
  uint32_t dataArea = image.Size() - kBaseBlockSize;
  uint32_t dataSize = value(base::kHiveDataSize);
  if (!check(dataSize == 0 || dataSize > dataArea || (dataSize & ~kPageMask) != 0, kInvalidSizeInfo,
             base::kHiveDataSize, dataArea & kPageMask)) {
    return false;
  }

  // Sound frames that go on past the declared data size are kept, whatever the base block says:
  // a base block written over by another hive's, or one of an older state of the file, declares
  // less than the frames hold. Windows never leaves a sound frame beyond its data size: the
  // frames are followed from the start only when a page past it begins one, or the checksum is
  // wrong.
  const uint8_t* buffer = image.Buffer();
  bool framePast = HeaderChecksum(block) != value(base::kChecksum);
  for (uint64_t page = uint64_t{kBaseBlockSize} + value(base::kHiveDataSize); !framePast && page + kPageSize <= image.Size();
       page += kPageSize) {
    framePast = Le32(buffer + page + frame::kSignature) == frame::kSignatureValue &&
                Le32(buffer + page + frame::kOwnOffset) == page - kBaseBlockSize;
  }
  uint32_t effective = framePast ? EffectiveDataSize(image) : 0;
  if (!check(effective > value(base::kHiveDataSize), kInvalidSizeInfo, base::kHiveDataSize, effective)) return false;

  image.declaredDataSize = value(base::kHiveDataSize);
  // Bytes beyond the declared data area are neither checked nor saved.
  image.LowerSize(image.declaredDataSize + kBaseBlockSize);

  uint32_t sum = HeaderChecksum(block);
  if (repaired) {
    PutLe32(block + base::kChecksum, sum);
  } else if (sum != value(base::kChecksum) &&
             !faults.ReportAndFix(kInvalidHeaderChecksum, kNullOffset, field(base::kChecksum), sum)) {
    return false;
  }
  faults.Services().log.Entry(LogMarker::Info, "Header checked\r\n");
  return true;
}

std::string NotAHive(const HiveImage& image) {
  if (!image.Loaded() || image.Size() < 4) return {};
  const uint8_t* bytes = image.Buffer();
  if (Le32(bytes) == base::kSignatureValue) return {};
  // A bin's header names its own place: "hbin" alone at a page is found in programs too.
  for (uint64_t page = kPageSize; page + frame::kOwnOffset + 4 <= image.Size(); page += kPageSize) {
    if (Le32(bytes + page) == frame::kSignatureValue && Le32(bytes + page + frame::kOwnOffset) == page - kBaseBlockSize) {
      return {};
    }
  }
  const uint32_t size = image.Size();
  if (std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; })) return "holds only zeros";
  // Its first bytes as text, where they are letters or digits (a file type's magic), else in hex.
  std::string text;
  for (uint32_t i = 0; i < size && i < 4 && std::isalnum(bytes[i]) != 0; ++i) text += static_cast<char>(bytes[i]);
  if (text.size() < 2) {
    text.clear();
    for (uint32_t i = 0; i < size && i < 4; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
      text += hex;
    }
  }
  return "starts with " + text;
}

}  // namespace tarvos::hive
