// Builds small hive files in memory for tests: a base block, frames, and the cells of a key tree
// (nk, lf, vk, value lists, data cells, one shared sk). A test builds a healthy hive, then breaks
// the one field it is about.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvos::testing {

class HiveBuilder {
 public:
  HiveBuilder();

  uint32_t Root() const { return root_; }
  // A key under parent; its hive offset.
  uint32_t AddKey(uint32_t parent, const std::string& name);
  // A value of key; the hive offset of its vk cell. Data of 4 bytes or less is held in the cell.
  uint32_t AddValue(uint32_t key, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
  // An allocated cell holding payload; its hive offset.
  uint32_t AddCell(const std::vector<uint8_t>& payload);
  // Adds empty frames until the data area holds at least bytes.
  void GrowTo(uint32_t bytes);

  // Lays out the lists, closes the last frame with a free cell and writes the base block.
  std::vector<uint8_t> Build();

 private:
  struct Key {
    uint32_t offset;
    std::vector<uint32_t> children;
    std::vector<uint32_t> values;
  };
  Key* FindKey(uint32_t offset);
  uint32_t Allocate(uint32_t payloadSize);
  void StartFrame(uint32_t size);
  void CloseFrame();

  std::vector<uint8_t> data_;  // the data area (every frame)
  uint32_t frameStart_ = 0;    // current frame, as hive offsets
  uint32_t frameEnd_ = 0;
  uint32_t next_ = 0;          // first free byte of the current frame
  uint32_t security_ = 0;
  uint32_t root_ = 0;
  std::vector<Key> keys_;
};

// Writes bytes to a file; false when it cannot.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// Little-endian field access on a built image, by file offset.
uint32_t Get32(const std::vector<uint8_t>& image, uint32_t fileOffset);
void Put32(std::vector<uint8_t>& image, uint32_t fileOffset, uint32_t value);
// Stores the base block checksum that matches the block.
void StoreChecksum(std::vector<uint8_t>& image);

}  // namespace tarvos::testing
