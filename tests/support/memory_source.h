// A hive file held in memory, and a hive checked from it up to the frame pass.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "hive/frames.h"
#include "hive/image.h"
#include "support/scripted.h"

namespace tarvos::testing {

// Hive file bytes in memory; one offset can be made to deliver a byte less than asked.
class MemorySource final : public hive::HiveSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool Open(const std::string&) override {
    opened = openable;
    return openable;
  }
  bool Size(uint64_t& size) override {
    size = bytes_.size();
    return sizeKnown;
  }
  bool ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) override {
    got = 0;
    if (offset >= bytes_.size()) return true;
    got = std::min<size_t>(count, bytes_.size() - offset);
    if (offset == shortAt && got > 0) --got;
    std::memcpy(buffer, bytes_.data() + offset, got);
    return true;
  }
  void Close() override { opened = false; }
  bool ReadsAtOnce() const override { return atOnce; }

  bool openable = true;
  bool atOnce = false;  // two threads may read (the bytes are only copied out)
  bool sizeKnown = true;
  bool opened = false;
  uint64_t shortAt = ~0ull;

 private:
  std::vector<uint8_t> bytes_;
};

// A hive loaded from bytes, its base block checked and its frame pass run, with scripted answers.
struct FramedHive {
  explicit FramedHive(std::vector<uint8_t> bytes, std::deque<uint32_t> answers = {}) : rig(std::move(answers)) {
    MemorySource source(std::move(bytes));
    loaded = hive::LoadHive(image, rig.faults, source, "hive", std::nullopt) == hive::kLoadDone;
    headerPassed = loaded && hive::CheckBaseBlock(image, rig.faults);
    passed = headerPassed && frames.Build(image, rig.faults);
  }
  // A 32-bit field of the image by hive offset of its cell and offset within it.
  uint32_t Field(uint32_t cell, uint32_t at) { return hive::Le32(image.AtHiveOffset(cell) + at); }
  std::vector<uint32_t> AskedCodes() const {
    std::vector<uint32_t> codes;
    for (auto& asked : rig.decider.asked) codes.push_back(asked.first);
    return codes;
  }

  EngineRig rig;
  hive::HiveImage image;
  hive::FrameTable frames;
  bool loaded = false;
  bool headerPassed = false;
  bool passed = false;
};

}  // namespace tarvos::testing
