// The hive file held whole in memory, its loading, and the check and repair of its base block.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hive/faults.h"

namespace tarvos::hive {

// A private copy-on-write view of a hive file: the image's bytes without a copy of them. A repair
// written to it stays in memory; the file is never changed through it.
class HiveView {
 public:
  virtual ~HiveView() = default;
  virtual uint8_t* Data() = 0;
  // The file offset of the first page that the file no longer held when it was touched (cut
  // short by another process after it was mapped): such pages read as zeros. kNullOffset while
  // nothing was lost.
  virtual uint32_t LostAt() const = 0;
};

// Where a hive file's bytes come from while it is loaded.
class HiveSource {
 public:
  virtual ~HiveSource() = default;
  virtual bool Open(const std::string& name) = 0;
  // Why Open failed, in a few words; empty when it is not known.
  virtual std::string OpenFailure() const { return {}; }
  virtual bool Size(uint64_t& size) = 0;
  // Reads up to count bytes at offset; got is how many arrived. False when the read failed.
  virtual bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) = 0;
  virtual void Close() = 0;
  // Whether ReadAt may be called from two threads at once.
  virtual bool ReadsAtOnce() const { return false; }
  // A view of the first size bytes of the open file, which stays valid once the source is
  // closed; nullptr when the file is to be read instead.
  virtual std::unique_ptr<HiveView> MapPrivate(uint32_t) { return nullptr; }
};

// A hive file on disk: mapped where the system allows it, read otherwise.
class FileHiveSource final : public HiveSource {
 public:
  // mapped: a plain file is mapped rather than read, where the system can. By default it is,
  // unless TARVOS_READ_HIVES is set (not empty) in the environment (to compare the two ways).
  explicit FileHiveSource(bool mapped = MappingWanted());
  static bool MappingWanted();
  ~FileHiveSource() override;
  bool Open(const std::string& name) override;
  std::string OpenFailure() const override;
  bool Size(uint64_t& size) override;
  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) override;
  void Close() override;
  bool ReadsAtOnce() const override { return true; }
  std::unique_ptr<HiveView> MapPrivate(uint32_t size) override;

 private:
  bool mapped_;
  struct Impl;
  Impl* impl_;
};

class HiveImage {
 public:
  HiveImage() = default;
  ~HiveImage() { Release(); }
  HiveImage(const HiveImage&) = delete;
  HiveImage& operator=(const HiveImage&) = delete;

  bool Allocate(uint32_t size);
  // The image is a view of the file, size bytes of it.
  void Adopt(std::unique_ptr<HiveView> view, uint32_t size);
  // Makes the image size bytes long, keeping its content and zero-filling what is new; false
  // (the image as it was) when the memory cannot be had. A view cannot grow past the file: its
  // bytes are then copied into a buffer of the image's own.
  bool Grow(uint32_t size);
  void Release();
  void MarkLoaded() { loaded_ = true; }

  bool Loaded() const { return loaded_; }
  bool Mapped() const { return view_ != nullptr; }
  // Where the file lost the first page the image needed from it, once mapped (see HiveView);
  // kNullOffset while nothing was lost. The bytes of such an image are no longer the file's. It
  // outlives Release, until the next Allocate or Adopt.
  uint32_t LostAt() const { return view_ != nullptr ? view_->LostAt() : lostAt_; }
  bool Lost() const { return LostAt() != kNullOffset; }
  // The bytes of the file that are checked and saved. Never above the allocated size.
  uint32_t Size() const { return size_; }
  void LowerSize(uint32_t size) {
    if (size < size_) size_ = size;
  }
  uint8_t* Buffer() { return buffer_; }
  const uint8_t* Buffer() const { return buffer_; }

  // Accessors by file offset and by hive offset (file offset - 4096). They do not check the
  // offset: callers validate it first. nullptr while nothing is loaded.
  uint8_t* AtFileOffset(uint32_t offset) { return loaded_ ? buffer_ + offset : nullptr; }
  uint8_t* AtHiveOffset(uint32_t offset) { return loaded_ ? buffer_ + kBaseBlockSize + offset : nullptr; }
  uint8_t* BaseBlock() { return AtFileOffset(0); }

  uint32_t declaredDataSize = 0;
  uint32_t rootKeyOffset = 0;
  // Space that this run's repairs made free (hive offset, length): cells that were in use, which
  // references of keys not yet reached may still name. New cells never go there.
  void NoteFreedByRepair(uint32_t hiveOffset, uint32_t length);
  bool FreedByRepairs(uint32_t hiveOffset, uint32_t length) const;
  // The key made to stand for a key cell the damage destroyed, by the destroyed cell's offset:
  // keys whose parent field names that offset go back under the key that stands for it.
  std::unordered_map<uint32_t, uint32_t> standIns;
  // What repairs took out of keys' value lists: an entry dropped (the offset it held), or a whole
  // list unhooked (the list's offset and the count the key gave). The values no list names any
  // more go back to these keys.
  struct ValuesTakenOut {
    uint32_t key;
    uint32_t at;
    uint32_t count;  // 1 for an entry
    bool wholeList;
  };
  std::vector<ValuesTakenOut> valuesTakenOut;

 private:
  uint8_t* buffer_ = nullptr;  // the view's bytes, or the buffer allocated
  std::unique_ptr<HiveView> view_;
  size_t allocated_ = 0;
  uint32_t size_ = 0;
  uint32_t lostAt_ = kNullOffset;  // of a view whose bytes were copied, or that was released
  bool loaded_ = false;
  std::vector<std::pair<uint32_t, uint32_t>> freedByRepairs_;  // in address order, apart
};

// The progress of the work on an image whose file can be cut short under it: once a page is
// lost, a poll answers a stop, so that the work ends at once and the loss is reported
// (FaultReporter::ReportLostImage) as the read error it is.
class WatchedProgress final : public ProgressSink {
 public:
  WatchedProgress(ProgressSink& shown, const HiveImage& image) : shown_(shown), image_(image) {}
  bool PollProgress(uint32_t fileOffset) override { return !image_.Lost() && shown_.PollProgress(fileOffset); }
  void SetGauge(uint32_t permille) override { shown_.SetGauge(permille); }
  void ShowStatusLine(std::string_view text) override { shown_.ShowStatusLine(text); }

 private:
  ProgressSink& shown_;
  const HiveImage& image_;
};

// The stripes of a hive file being read, which the loader and one helper take in turn: each is
// taken once, and what has arrived without a gap from the start is known.
class LoadStripes {
 public:
  // A huge page: two readers never wait on each other's page faults.
  static constexpr uint32_t kStripeSize = 0x200000;
  LoadStripes(HiveSource& source, uint8_t* buffer, uint32_t size);

  // Takes the next stripe and reads it chunk by chunk. With progress (the loader's), each whole
  // chunk read is shown and polled, and a stop ends the read. False when no stripe was left, or
  // the read failed or was stopped.
  bool ReadNext(ProgressSink* progress) { return Read(progress, 0); }
  // The helper's turn: never the first stripe, which the loader reads and polls for a stop while
  // it does (a small file is then read as it always was).
  bool HelpRead() { return Read(nullptr, 1); }
  // Whether the bytes before end have arrived; WaitFor waits for them, false when they never will.
  bool Has(uint32_t end);
  bool WaitFor(uint32_t end);
  // Waits until no stripe is being read.
  void WaitForIdle();
  // Nothing more is read: whoever waits for bytes not read yet is answered false.
  void GiveUp();
  // The first file offset whose read failed, kNullOffset when none did.
  uint32_t FailedAt();
  // Where the user stopped the read, kNullOffset when not.
  uint32_t StoppedAt();

 private:
  bool Read(ProgressSink* progress, uint32_t firstStripe);
  // With the lock held: whether the bytes before end have arrived.
  bool Arrived(uint32_t end) const { return uint64_t{contiguous_} * kStripeSize >= end || contiguous_ == stripes_; }

  HiveSource& source_;
  uint8_t* buffer_;
  uint32_t size_;
  uint32_t stripes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> done_;
  uint32_t next_ = 0;        // the next stripe to take
  uint32_t contiguous_ = 0;  // stripes read without a gap from the start
  uint32_t reading_ = 0;     // stripes being read now
  uint32_t failedAt_ = kNullOffset;
  uint32_t stoppedAt_ = kNullOffset;
  std::atomic<bool> givenUp_{false};  // a failure or a stop: nothing more is read
};

// Told when a hive starts being read, so that work on its bytes can begin before the read ends.
class LoadWatcher {
 public:
  virtual ~LoadWatcher() = default;
  // The image is allocated and nothing is read yet. stripes is where the bytes' arrival is asked
  // after; a watcher may read stripes itself when readsToo.
  virtual void Started(const HiveImage& image, LoadStripes& stripes, bool readsToo) = 0;
  // The read is over (also when it failed or was stopped); so is the work on its bytes once this
  // returns.
  virtual void Finished() = 0;
};

// The largest file that can hold a hive: the base block and 2 GiB of data.
inline constexpr uint64_t kMaxHiveFileSize = uint64_t{kBaseBlockSize} + 0x80000000u;

// Results of LoadHive.
inline constexpr int kLoadDone = 1;
inline constexpr int kLoadNotOpened = 0;
inline constexpr int kLoadFailed = -1;
inline constexpr int kLoadStopped = -2;

// What a loaded file holds instead of a hive: empty when it may be one (it starts with "regf", or
// a page of it starts a bin that names its own place, as in a hive whose base block was
// destroyed); else what it
// starts with ("starts with MZ", "starts with 7F 45 4C 46", "holds only zeros").
std::string NotAHive(const HiveImage& image);

// Reads the whole file into the image. knownSize is the size found when the file was looked up,
// if it could be. After kLoadFailed or kLoadStopped the caller releases the image.
int LoadHive(HiveImage& image, FaultReporter& faults, HiveSource& source, const std::string& name,
             std::optional<uint64_t> knownSize, LoadWatcher* watcher = nullptr);

// Checks and repairs the base block; false when a fault was left unfixed.
bool CheckBaseBlock(HiveImage& image, FaultReporter& faults);

// XOR of the first 127 32-bit words of the base block, as Windows stores it (1 for 0, and
// 0xFFFFFFFE for 0xFFFFFFFF).
uint32_t HeaderChecksum(const uint8_t* baseBlock);

}  // namespace tarvos::hive
