#include "hive/recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "hive/bytes.h"
#include "hive/events.h"
#include "hive/frames.h"
#include "hive/layout.h"
#include "platform/file.h"

namespace tarvos::hive {

namespace {

using namespace txlog;

uint64_t Le64(const uint8_t* p) { return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

// As Windows checks it: the stored sum is the one it would store (never 0 or -1).
bool ChecksumValid(const uint8_t* block) { return Le32(block + base::kChecksum) == HeaderChecksum(block); }

bool BaseBlockValid(const uint8_t* block) { return Le32(block + base::kSignature) == base::kSignatureValue && ChecksumValid(block); }

bool IsLogType(uint32_t type) { return type == kFileTypeOld || type == kFileTypeOlder || type == kFileTypeEntries; }

// What recovery reads of one log: from memory, or from its file a piece at a time.
class LogReader {
 public:
  explicit LogReader(const TransactionLog& log) : log_(&log) {}
  uint64_t Size() const { return log_->Size(); }
  // count bytes at an offset, valid until the next read; nullptr when they cannot be had (past
  // the end, a failed read, no memory), with the reason in failure.
  const uint8_t* Read(uint64_t at, size_t count) {
    if (at > Size() || count > Size() - at) {
      failure = "the log is shorter than it says";
      return nullptr;
    }
    if (log_->path.empty()) return log_->bytes.data() + at;
    if (!opened_ && !(opened_ = file_->OpenRead(log_->path))) {
      failure = "cannot be read: " + file_->Failure();
      return nullptr;
    }
    try {
      buffer_.resize(count);
    } catch (const std::bad_alloc&) {
      failure = "not enough memory to read it";
      return nullptr;
    }
    size_t got = 0;
    if (count > 0 && (!file_->ReadAt(at, buffer_.data(), count, got) || got != count)) {
      failure = "cannot be read: the read failed";
      return nullptr;
    }
    return buffer_.data();
  }
  std::string failure;

 private:
  const TransactionLog* log_;
  std::shared_ptr<platform::File> file_ = std::make_shared<platform::File>();
  bool opened_ = false;
  std::vector<uint8_t> buffer_;
};

// A log whose base block passed its checks.
struct ValidLog {
  const TransactionLog* file;
  uint32_t sequence;
  uint64_t writeTime;
  std::shared_ptr<LogReader> reader;
  const uint8_t* Read(uint64_t at, size_t count) const { return reader->Read(at, count); }
  uint64_t Size() const { return reader->Size(); }
};

// Whether the bytes at p, to be written at a hive offset, begin a sound frame: its signature, its
// own offset, and a size of whole pages within the hive's data size.
bool SoundDirtyFrame(const uint8_t* p, uint32_t offset, uint32_t dataSize) {
  uint32_t size = Le32(p + frame::kSize);
  return Le32(p) == frame::kSignatureValue && Le32(p + frame::kOwnOffset) == offset && size >= kPageSize &&
         size % kPageSize == 0 && size <= dataSize - offset;
}

// A log entry that passed its checks: its bytes (valid until the log is read again), and the
// fields the apply step takes.
struct VerifiedEntry {
  const uint8_t* bytes = nullptr;
  uint32_t size = 0;
  uint32_t sequence = 0;
  uint32_t dataSize = 0;
  uint64_t pages = 0;
  // The i-th page reference; at pages, the page data that follows them.
  const uint8_t* Reference(uint64_t i) const { return bytes + kEntryHeaderSize + i * kPageReferenceSize; }
};

// An older log's dirty vector: the hive size it gives, a bit a page, where its pages start.
struct DirtyVector {
  uint32_t dataSize = 0;
  std::vector<uint8_t> bitmap;
  uint64_t pagesStart = 0;
  bool Dirty(uint32_t i) const { return ((bitmap[i / 8] >> (i % 8)) & 1) != 0; }
};

class Recovery {
 public:
  Recovery(HiveImage& image, EngineLog& log) : image_(image), log_(log) {}

  bool Run(const std::vector<TransactionLog>& logs);

 private:
  uint8_t* Primary() { return image_.BaseBlock(); }
  void Refused(const TransactionLog& file, const std::string& reason) {
    EventRecord e{Event::LogRefused};
    e.text = file.name;
    e.reason = reason;
    log_.Happened(e);
  }
  void Applied(const TransactionLog& file, uint32_t count, const char* what) {
    EventRecord e{Event::LogApplied};
    e.text = file.name;
    e.count = count;
    e.reason = what;
    log_.Happened(e);
  }
  // The base block of a log in the place of the primary's invalid one (its first sector).
  bool TakeBaseBlock(const ValidLog& log) {
    const uint8_t* block = log.Read(0, kSector);
    if (block == nullptr) return false;
    std::memcpy(Primary(), block, kSector);
    PutLe32(Primary() + base::kFileType, base::kFileTypeValue);
    return true;
  }
  bool GrowTo(uint32_t dataSize) {
    return image_.Size() - kBaseBlockSize >= dataSize || image_.Grow(kBaseBlockSize + dataSize);
  }
  bool ApplyEntryLogs(std::vector<ValidLog> logs, bool primaryValid);
  // The entries of one log from the one with sequence number expected on; how many were applied.
  // Each is verified whole before any byte of it is applied.
  uint32_t ApplyEntries(const ValidLog& log, uint32_t expected, std::string& stopped);
  // The entry at a log offset, checked: out.bytes set when it may be applied; otherwise why
  // recovery stops there (nothing when the entries simply end).
  std::string VerifyEntry(const ValidLog& log, uint64_t at, uint32_t expected, bool first, VerifiedEntry& out);
  // Its page references within the entry and the hive, its frames sound, a growth whole.
  std::string CheckEntryPages(const VerifiedEntry& entry);
  void ApplyEntry(const VerifiedEntry& entry);
  // Older logs: the one written for this state of the hive, its dirty vector checked whole,
  // then its pages applied in order.
  bool ApplyDirtyPages(const std::vector<ValidLog>& logs, bool primaryValid);
  const ValidLog* ChooseDirtyLog(const std::vector<ValidLog>& logs, bool primaryValid);
  std::string VerifyDirtyVector(const ValidLog& log, bool primaryValid, DirtyVector& out);
  // Before the first page: the hive grown to the log's size, and an invalid base block replaced.
  std::string PrepareForDirtyPages(const ValidLog& log, bool primaryValid, uint32_t dataSize);
  // Whether logged bytes written at a page-aligned hive offset must begin a sound frame there: a
  // frame of the hive starts there, or they read as one.
  bool FrameStart(const uint8_t* p, uint32_t offset) {
    return Le32(p) == frame::kSignatureValue ||
           (uint64_t{offset} + kBaseBlockSize + frame::kHeaderSize <= image_.Size() &&
            SoundFrameHeader(image_.Buffer(), offset + kBaseBlockSize));
  }
  uint32_t DataSize() { return Le32(Primary() + base::kHiveDataSize); }

  HiveImage& image_;
  EngineLog& log_;
  uint32_t last_ = 0;  // sequence number of the last entry applied
};

// The log's base block (its first sector) is read and checked before anything else of it.
std::string CheckLogBase(const TransactionLog& file, LogReader& reader) {
  if (!file.unreadable.empty()) return file.unreadable;
  if (reader.Size() < kSector) return "shorter than its base block";
  const uint8_t* b = reader.Read(0, kSector);
  if (b == nullptr) return reader.failure;
  if (Le32(b + base::kSignature) != base::kSignatureValue) return "no base block";
  uint32_t type = Le32(b + base::kFileType);
  if (!IsLogType(type)) return "not a transaction log";
  if (!ChecksumValid(b)) return "base block checksum wrong";
  if (Le32(b + base::kPrimarySequence) != Le32(b + base::kSecondarySequence)) return "sequence numbers differ";
  if (type != kFileTypeEntries) {
    const uint8_t* dirt = reader.Size() >= kSector + 4 ? reader.Read(kSector, 4) : nullptr;
    if (dirt == nullptr || Le32(dirt) != kDirtSignature) return "no dirty vector";
  }
  return {};
}

bool Recovery::Run(const std::vector<TransactionLog>& logs) {
  std::vector<ValidLog> entryLogs, dirtLogs;
  for (const TransactionLog& file : logs) {
    if (file.unreadable.empty() && file.Size() == 0) continue;  // an empty log holds nothing
    auto reader = std::make_shared<LogReader>(file);
    std::string why = CheckLogBase(file, *reader);
    const uint8_t* b = why.empty() ? reader->Read(0, kSector) : nullptr;
    if (b == nullptr) {
      Refused(file, why.empty() ? reader->failure : why);
      continue;
    }
    ValidLog valid{&file, Le32(b + base::kPrimarySequence), Le64(b + base::kLastWriteTime), reader};
    (Le32(b + base::kFileType) == kFileTypeEntries ? entryLogs : dirtLogs).push_back(valid);
  }
  bool primaryValid = BaseBlockValid(Primary());
  bool recovered = false;
  if (!entryLogs.empty()) {
    for (const ValidLog& older : dirtLogs) Refused(*older.file, "older format than the other logs");
    recovered = ApplyEntryLogs(entryLogs, primaryValid);
  } else if (!dirtLogs.empty()) {
    recovered = ApplyDirtyPages(dirtLogs, primaryValid);
  }
  if (!recovered) return false;
  // A recovered hive is whole: equal sequence numbers, its own file type, a sound checksum.
  uint8_t* primary = Primary();
  uint32_t sequence = Le32(primary + base::kPrimarySequence);
  PutLe32(primary + base::kSecondarySequence, sequence);
  PutLe32(primary + base::kFileType, base::kFileTypeValue);
  PutLe32(primary + base::kChecksum, HeaderChecksum(primary));
  log_.Happened(EventRecord{Event::Recovered});
  return true;
}

bool Recovery::ApplyEntryLogs(std::vector<ValidLog> logs, bool primaryValid) {
  // The log with the earlier entries goes first; with an invalid base block only the latest counts.
  std::stable_sort(logs.begin(), logs.end(), [](const ValidLog& a, const ValidLog& b) { return a.sequence < b.sequence; });
  bool baseTaken = false;
  if (!primaryValid) {
    for (size_t i = 0; i + 1 < logs.size(); ++i) Refused(*logs[i].file, "not the latest log, and the hive's base block is invalid");
    logs.erase(logs.begin(), logs.end() - 1);
    if (!TakeBaseBlock(logs.front())) {
      Refused(*logs.front().file, logs.front().reader->failure);
      return false;
    }
    baseTaken = true;
  }
  uint32_t hiveSecondary = Le32(Primary() + base::kSecondarySequence);
  bool any = false;
  for (const ValidLog& log : logs) {
    if (!any && primaryValid && log.sequence < hiveSecondary) {
      Refused(*log.file, "older than the hive");
      continue;
    }
    if (any && log.sequence != last_ + 1) {
      Refused(*log.file, "does not follow the log before it");
      continue;
    }
    std::string stopped;
    uint32_t applied = ApplyEntries(log, any ? last_ + 1 : log.sequence, stopped);
    if (applied > 0) Applied(*log.file, applied, "entries");
    if (!stopped.empty()) Refused(*log.file, stopped);
    any = any || applied > 0;
  }
  if (any) {
    PutLe32(Primary() + base::kPrimarySequence, last_ + 1);
    PutLe32(Primary() + base::kSecondarySequence, last_ + 1);
  }
  return any || baseTaken;
}

uint32_t Recovery::ApplyEntries(const ValidLog& log, uint32_t expected, std::string& stopped) {
  uint32_t applied = 0;
  for (uint64_t at = kSector; log.Size() - at >= kEntryHeaderSize;) {
    VerifiedEntry entry;
    stopped = VerifyEntry(log, at, expected, applied == 0, entry);
    if (entry.bytes == nullptr) break;
    if (!GrowTo(entry.dataSize)) {
      stopped = "entry " + std::to_string(expected) + ": not enough memory to grow the hive";
      break;
    }
    ApplyEntry(entry);
    ++applied;
    ++expected;
    at += entry.size;
  }
  if (applied == 0 && stopped.empty()) stopped = "no entries";
  return applied;
}

std::string Recovery::VerifyEntry(const ValidLog& log, uint64_t at, uint32_t expected, bool first, VerifiedEntry& out) {
  const uint64_t total = log.Size();
  const uint8_t* entry = log.Read(at, kEntryHeaderSize);
  if (entry == nullptr) return log.reader->failure;
  if (Le32(entry) != kEntrySignature) return {};  // the entries end; what follows is padding or remnants
  uint32_t size = Le32(entry + kEntrySize);
  uint32_t sequence = Le32(entry + kEntrySequence);
  std::string name = "entry " + std::to_string(sequence) + ": ";
  // Entries older than the hive, or a gap: recovery stops before them, as Windows does.
  if (sequence != expected) return first ? "no entry follows the hive's sequence numbers" : "";
  if (size < kEntryHeaderSize || size % kSector != 0) return name + "size wrong";
  if (size > total - at) return name + "the log is shorter than its entries";
  if (Marvin32(entry, kEntryHash2Length, kMarvinSeed) != Le64(entry + kEntryHash2)) return name + "hash wrong";  // before its body is read
  entry = log.Read(at, size);  // the whole entry, and no more of the log
  if (entry == nullptr) return name + log.reader->failure;
  uint32_t dataSize = Le32(entry + kEntryDataSize);
  if (dataSize == 0 || dataSize % kPageSize != 0) return name + "hive data size wrong";
  if (dataSize > kMaxDataSize) return name + "it grows the hive past 2 GiB";
  if (Marvin32(entry + kEntryHeaderSize, size - kEntryHeaderSize, kMarvinSeed) != Le64(entry + kEntryHash1) ||
      Marvin32(entry, kEntryHash2Length, kMarvinSeed) != Le64(entry + kEntryHash2)) {
    return name + "hash wrong";
  }
  VerifiedEntry verified{entry, size, sequence, dataSize, Le32(entry + kEntryPageCount)};
  std::string bad = CheckEntryPages(verified);
  if (!bad.empty()) return name + bad;
  out = verified;
  return {};
}

std::string Recovery::CheckEntryPages(const VerifiedEntry& e) {
  uint64_t pageData = kEntryHeaderSize + e.pages * kPageReferenceSize;
  bool fits = pageData <= e.size;
  for (uint64_t i = 0; fits && i < e.pages; ++i) {
    uint64_t offset = Le32(e.Reference(i)), length = Le32(e.Reference(i) + 4);
    fits = offset + length <= e.dataSize && pageData + length <= e.size;
    pageData += length;
  }
  if (!fits) return "pages outside the entry or the hive";
  // Every page the entry writes at a frame's start begins a sound frame, and a hive the entry
  // grows gets every new page from it (Windows writes the new frames into that entry).
  const uint32_t oldSize = std::min<uint32_t>(DataSize(), image_.Size() - kBaseBlockSize);
  std::vector<bool> covered(e.dataSize > oldSize ? (e.dataSize - oldSize) / kPageSize : 0, false);
  const uint8_t* data = e.Reference(e.pages);
  for (uint64_t i = 0; i < e.pages; ++i) {
    uint32_t offset = Le32(e.Reference(i)), length = Le32(e.Reference(i) + 4);
    for (uint32_t within = (kPageSize - offset % kPageSize) % kPageSize; within < length; within += kPageSize) {
      uint32_t page = offset + within;
      if (FrameStart(data + within, page) &&
          (length - within < frame::kHeaderSize || !SoundDirtyFrame(data + within, page, e.dataSize))) {
        return "dirty frame at " + Hex(page) + " is not sound";
      }
      if (page >= oldSize && length - within >= kPageSize) covered[(page - oldSize) / kPageSize] = true;
    }
    data += length;
  }
  if (std::find(covered.begin(), covered.end(), false) != covered.end()) {
    return "it grows the hive without the pages of its new frames";
  }
  return {};
}

void Recovery::ApplyEntry(const VerifiedEntry& e) {
  const uint8_t* page = e.Reference(e.pages);
  for (uint64_t i = 0; i < e.pages; ++i) {
    uint32_t length = Le32(e.Reference(i) + 4);
    std::memcpy(image_.AtHiveOffset(Le32(e.Reference(i))), page, length);
    page += length;
  }
  uint8_t* primary = Primary();
  PutLe32(primary + base::kHiveDataSize, e.dataSize);
  uint32_t flags = Le32(primary + base::kFlags) & ~kFlagKtmLocked;
  PutLe32(primary + base::kFlags, flags | (Le32(e.bytes + kEntryFlags) & kFlagKtmLocked));
  last_ = e.sequence;
}

const ValidLog* Recovery::ChooseDirtyLog(const std::vector<ValidLog>& logs, bool primaryValid) {
  // A log belongs to the hive whose last write it records: the base block's time stamp, or, when
  // the base block is invalid, the first frame's.
  const uint8_t* primary = Primary();
  uint64_t stamp = Le64(primary + base::kLastWriteTime);
  if (!primaryValid) {
    stamp = 0;
    if (image_.Size() >= kBaseBlockSize + frame::kHeaderSize && Le32(image_.AtHiveOffset(0)) == frame::kSignatureValue) {
      stamp = Le64(image_.AtHiveOffset(frame::kTimeStamp));
    }
  }
  const ValidLog* chosen = nullptr;
  for (const ValidLog& log : logs) {
    if (chosen == nullptr && (log.writeTime == stamp || (!primaryValid && log.writeTime == Le64(primary + base::kLastWriteTime)))) {
      chosen = &log;
    } else {
      Refused(*log.file, chosen == nullptr ? "written for another state of the hive" : "another log was applied");
    }
  }
  return chosen;
}

std::string Recovery::VerifyDirtyVector(const ValidLog& log, bool primaryValid, DirtyVector& out) {
  const uint64_t total = log.Size();
  const uint8_t* header = log.Read(0, kSector);
  if (header == nullptr) return log.reader->failure;
  uint32_t dataSize = Le32(header + base::kHiveDataSize);
  if (dataSize == 0 || dataSize % kPageSize != 0 || dataSize > kMaxDataSize) return "hive data size wrong";
  uint32_t bits = dataSize / kDirtyPageSize;
  size_t vectorEnd = kSector + 4 + (bits + 7) / 8;
  if (vectorEnd > total) return "the log is shorter than its dirty vector";
  const uint8_t* vector = log.Read(kSector + 4, (bits + 7) / 8);
  try {
    if (vector != nullptr) out.bitmap.assign(vector, vector + (bits + 7) / 8);
  } catch (const std::bad_alloc&) {
    vector = nullptr;
  }
  if (vector == nullptr) return log.reader->failure.empty() ? "not enough memory to read it" : log.reader->failure;
  out.dataSize = dataSize;
  out.pagesStart = (vectorEnd + kSector - 1) / kSector * kSector;
  uint64_t dirty = 0;
  for (uint32_t i = 0; i < bits; ++i) dirty += out.Dirty(i);
  if (out.pagesStart + dirty * kDirtyPageSize > total) return "the log is shorter than its dirty pages";
  // A log that grows the hive holds every page of the new area (Windows writes the new frames
  // whole): otherwise its size is not to be believed.
  const uint32_t oldSize = std::min<uint32_t>(primaryValid ? DataSize() : dataSize, image_.Size() - kBaseBlockSize);
  for (uint32_t i = oldSize / kDirtyPageSize; i < bits; ++i) {
    if (!out.Dirty(i)) return "it grows the hive without the pages of its new frames";
  }
  return {};
}

bool Recovery::ApplyDirtyPages(const std::vector<ValidLog>& logs, bool primaryValid) {
  const ValidLog* chosen = ChooseDirtyLog(logs, primaryValid);
  if (chosen == nullptr) return false;
  DirtyVector vector;
  std::string refused = VerifyDirtyVector(*chosen, primaryValid, vector);
  if (!refused.empty()) {
    Refused(*chosen->file, refused);
    return false;
  }
  // Pages go in order; a dirty frame that is not sound ends the recovery before it. Nothing is
  // changed until a page is applied: a log that applies none leaves the hive as it was.
  uint64_t next = vector.pagesStart;  // where the next dirty page lies in the log
  uint32_t applied = 0;
  std::string stopped;
  for (uint32_t i = 0; stopped.empty() && i < vector.dataSize / kDirtyPageSize; ++i) {
    if (!vector.Dirty(i)) continue;
    uint32_t offset = i * kDirtyPageSize;
    const uint8_t* page = chosen->Read(next, kDirtyPageSize);
    if (page == nullptr) {
      stopped = chosen->reader->failure;
    } else if (offset % kPageSize == 0 && FrameStart(page, offset) && !SoundDirtyFrame(page, offset, vector.dataSize)) {
      stopped = "dirty frame at " + Hex(offset) + " is not sound";
    } else if (applied == 0) {
      stopped = PrepareForDirtyPages(*chosen, primaryValid, vector.dataSize);
      page = chosen->Read(next, kDirtyPageSize);  // read again: the base block took the buffer
      if (stopped.empty() && page == nullptr) stopped = chosen->reader->failure;
    }
    if (!stopped.empty()) break;
    std::memcpy(image_.AtHiveOffset(offset), page, kDirtyPageSize);
    next += kDirtyPageSize;
    ++applied;
  }
  if (applied > 0) Applied(*chosen->file, applied, "pages");
  if (applied == 0 && stopped.empty()) stopped = "no dirty pages";
  if (!stopped.empty()) Refused(*chosen->file, stopped);
  if (applied == 0) return false;
  PutLe32(Primary() + base::kHiveDataSize, vector.dataSize);
  return true;
}

std::string Recovery::PrepareForDirtyPages(const ValidLog& log, bool primaryValid, uint32_t dataSize) {
  if (!GrowTo(dataSize)) return "not enough memory to grow the hive";
  if (!primaryValid && !TakeBaseBlock(log)) return log.reader->failure;
  return {};
}

}  // namespace

bool IsDirty(const HiveImage& image) {
  if (!image.Loaded() || image.Size() < kBaseBlockSize) return false;
  const uint8_t* block = image.Buffer();
  return !BaseBlockValid(block) || Le32(block + base::kPrimarySequence) != Le32(block + base::kSecondarySequence);
}

bool IsTransactionLogFile(const std::string& name, const HiveImage& image) {
  if (!image.Loaded() || image.Size() < kBaseBlockSize) return false;
  std::string upper = name;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  bool named = false;
  for (const char* suffix : kLogSuffixes) {
    size_t length = std::strlen(suffix);
    named = named || (upper.size() > length && upper.compare(upper.size() - length, length, suffix) == 0);
  }
  return named && IsLogType(Le32(image.Buffer() + base::kFileType));
}

bool RecoverFromLogs(HiveImage& image, const std::vector<TransactionLog>& logs, EngineLog& log) {
  if (!IsDirty(image) || logs.empty()) return false;
  try {
    return Recovery(image, log).Run(logs);
  } catch (const std::bad_alloc&) {  // memory runs out: the logs are refused, the run goes on
    for (const TransactionLog& file : logs) {
      EventRecord e{Event::LogRefused};
      e.text = file.name;
      e.reason = "not enough memory";
      log.Happened(e);
    }
    return false;
  }
}

uint64_t Marvin32(const uint8_t* data, size_t size, uint64_t seed) {
  uint32_t lo = static_cast<uint32_t>(seed), hi = static_cast<uint32_t>(seed >> 32);
  auto rotl = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
  auto mix = [&] {
    hi ^= lo;
    lo = rotl(lo, 20) + hi;
    hi = rotl(hi, 9) ^ lo;
    lo = rotl(lo, 27) + hi;
    hi = rotl(hi, 19);
  };
  size_t i = 0;
  for (; size - i >= 4; i += 4) {
    lo += Le32(data + i);
    mix();
  }
  uint32_t last = 0x80;
  switch (size - i) {
    case 1: last = 0x8000u | data[i]; break;
    case 2: last = 0x800000u | data[i] | (data[i + 1] << 8); break;
    case 3: last = 0x80000000u | data[i] | (data[i + 1] << 8) | (static_cast<uint32_t>(data[i + 2]) << 16); break;
    default: break;
  }
  lo += last;
  mix();
  mix();
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

}  // namespace tarvos::hive
