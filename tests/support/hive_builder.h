// Builds small hive files in memory for tests: a base block with its checksum, frames of chosen
// sizes, and the cells of a key tree (nk; lf, lh, li or ri lists; value lists; vk; data cells;
// db with segment lists; sk in a ring). A test builds a healthy hive, then breaks the one field it
// is about in the bytes that Build returns (hive offset + 4096 is the file offset).
#pragma once

#include <cstdint>
#include <unordered_map>
#include <string>
#include <vector>

namespace tarvos::testing {

enum class ListKind { FastLeaf, HashLeaf, IndexLeaf, IndexRoot };

class HiveBuilder {
 public:
  HiveBuilder();

  uint32_t Root() const { return root_; }
  // The security block that every key gets unless told otherwise.
  uint32_t Security() const { return securities_.front(); }

  // A key under parent (kNullOffset for none); its hive offset.
  uint32_t AddKey(uint32_t parent, const std::string& name);
  // How a key's subkeys are listed; an index root holds leaves of leafSize entries each, of the
  // leaf kind given.
  void SetListKind(uint32_t key, ListKind kind, uint32_t leafSize = 2, ListKind leafKind = ListKind::IndexLeaf);
  // A value of key; the hive offset of its vk cell. Data of 4 bytes or less is held in the vk
  // cell; more than 16344 bytes become a segmented (db) value.
  uint32_t AddValue(uint32_t key, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
  // A further security block in the ring, and the key that uses it.
  uint32_t AddSecurity(const std::vector<uint8_t>& descriptor);
  void SetSecurity(uint32_t key, uint32_t security);

  // An allocated cell holding payload, cellSize bytes long (0: just big enough); its hive offset.
  uint32_t AddCell(const std::vector<uint8_t>& payload, uint32_t cellSize = 0);
  // A free cell of size bytes.
  uint32_t AddFreeCell(uint32_t size);
  // Ends the current frame (its rest becomes one free cell) and starts one of size bytes.
  void NewFrame(uint32_t size);
  // Adds empty frames until the data area holds at least bytes.
  void GrowTo(uint32_t bytes);

  // Lays out the lists, links the security ring, closes the last frame with a free cell and
  // writes the base block.
  std::vector<uint8_t> Build();

  // After Build: where a key's subkey list and value list were put (kNullOffset for none).
  uint32_t ListOf(uint32_t key) const;
  uint32_t ValueListOf(uint32_t key) const;

 private:
  struct Key {
    uint32_t offset;
    std::vector<uint32_t> children;
    std::vector<uint32_t> values;
    ListKind listKind = ListKind::FastLeaf;
    uint32_t leafSize = 2;
    ListKind leafKind = ListKind::IndexLeaf;
    uint32_t list = 0xFFFFFFFF;
    uint32_t valueList = 0xFFFFFFFF;
    uint32_t security;
  };
  Key* FindKey(uint32_t offset);
  const Key* FindKey(uint32_t offset) const;
  uint32_t Allocate(uint32_t cellSize);
  uint32_t BuildList(const Key& key, const std::vector<uint32_t>& children, ListKind kind);
  void CloseFrame();

  std::vector<uint8_t> data_;  // the data area (every frame)
  uint32_t frameEnd_ = 0;      // current frame, as hive offsets
  uint32_t next_ = 0;          // first free byte of the current frame
  uint32_t root_ = 0;
  std::vector<uint32_t> securities_;
  std::vector<Key> keys_;
  std::unordered_map<uint32_t, size_t> keyIndex_;  // hive offset -> keys_ index
};

// Writes bytes to a file; false when it cannot.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// Little-endian field access on a built image, by file offset.
uint32_t Get32(const std::vector<uint8_t>& image, uint32_t fileOffset);
void Put32(std::vector<uint8_t>& image, uint32_t fileOffset, uint32_t value);
uint16_t Get16(const std::vector<uint8_t>& image, uint32_t fileOffset);
void Put16(std::vector<uint8_t>& image, uint32_t fileOffset, uint16_t value);
// Field access by hive offset: a field of the cell at cell (size field at 0).
inline uint32_t CellField(uint32_t cell, uint32_t field) { return cell + 0x1000 + field; }
// Hive offsets of every allocated cell, by walking the frames of an image whose cell sizes are sound.
std::vector<uint32_t> AllocatedCells(const std::vector<uint8_t>& image);
// Stores the base block checksum that matches the block.
void StoreChecksum(std::vector<uint8_t>& image);

}  // namespace tarvos::testing
