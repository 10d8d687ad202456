// The hive file held whole in memory, its loading, and the check and repair of its base block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "hive/faults.h"

namespace tarvos::hive {

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
};

// A hive file on disk.
class FileHiveSource final : public HiveSource {
 public:
  FileHiveSource();
  ~FileHiveSource() override;
  bool Open(const std::string& name) override;
  std::string OpenFailure() const override;
  bool Size(uint64_t& size) override;
  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) override;
  void Close() override;

 private:
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
  // Makes the image size bytes long, keeping its content and zero-filling what is new; false
  // (the image as it was) when the memory cannot be had.
  bool Grow(uint32_t size);
  void Release();
  void MarkLoaded() { loaded_ = true; readPosition_ = 0; }

  bool Loaded() const { return loaded_; }
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

  // Copies count bytes at a file offset (kNullOffset: at the read position, which advances).
  // False when any of them lies outside the image.
  bool ReadHiveBytes(void* out, uint32_t count, uint32_t fileOffset);

  uint32_t declaredDataSize = 0;
  uint32_t rootKeyOffset = 0;

 private:
  uint8_t* buffer_ = nullptr;
  size_t allocated_ = 0;
  uint32_t size_ = 0;
  uint32_t readPosition_ = 0;
  bool loaded_ = false;
};

// Results of LoadHive.
inline constexpr int kLoadDone = 1;
inline constexpr int kLoadNotOpened = 0;
inline constexpr int kLoadFailed = -1;
inline constexpr int kLoadStopped = -2;

// Reads the whole file into the image. knownSize is the size found when the file was looked up,
// if it could be. After kLoadFailed or kLoadStopped the caller releases the image.
int LoadHive(HiveImage& image, FaultReporter& faults, HiveSource& source, const std::string& name,
             std::optional<uint64_t> knownSize);

// Checks and repairs the base block; false when a fault was left unfixed.
bool CheckBaseBlock(HiveImage& image, FaultReporter& faults);

// XOR of the first 127 32-bit words of the base block.
uint32_t HeaderChecksum(const uint8_t* baseBlock);

}  // namespace tarvos::hive
