// Little-endian access to fields of the hive image, safe for any alignment.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarvos::hive {

inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The length of a cell from its size field (negative: allocated). 0x80000000 has no length in
// 32 bits and counts as larger than any frame.
inline uint32_t SizeFieldLength(uint32_t field) {
  if (field == 0x80000000u) return 0xFFFFFFFFu;
  return static_cast<int32_t>(field) < 0 ? 0u - field : field;
}

// Takes entries out of a list in one pass over it, however many go: before an entry is checked
// it is moved down to its place among the entries kept so far (Slot), where a check sees it and
// where it stays when kept. Close moves the entries not yet read down behind the kept ones.
class ListCompactor {
 public:
  ListCompactor() = default;
  ListCompactor(uint8_t* firstEntry, uint32_t count, uint32_t stride)
      : first_(firstEntry), total_(count), stride_(stride) {}
  bool Done() const { return read_ >= total_; }
  // The index where the entry being read now stands.
  uint32_t Slot() const { return write_; }
  // Brings the next entry to its slot; its bytes.
  uint8_t* Bring() {
    if (write_ != read_) std::memcpy(first_ + size_t{stride_} * write_, first_ + size_t{stride_} * read_, stride_);
    return first_ + size_t{stride_} * write_;
  }
  void Keep() {
    ++read_;
    ++write_;
  }
  void Drop() { ++read_; }
  // Entries in the list: those kept and those not read yet.
  uint32_t Count() const { return write_ + (total_ - read_); }
  void Close() {
    if (write_ != read_ && read_ < total_) {
      std::memmove(first_ + size_t{stride_} * write_, first_ + size_t{stride_} * read_, size_t{stride_} * (total_ - read_));
    }
    total_ = Count();
    read_ = write_;
  }

 private:
  uint8_t* first_ = nullptr;
  uint32_t total_ = 0;
  uint32_t stride_ = 0;
  uint32_t read_ = 0;
  uint32_t write_ = 0;
};

// The faulty field that a report names: a 32-bit or 16-bit field of the image, or a variable of
// the caller's own (host order).
struct FieldRef {
  enum class Kind : uint8_t { None, Le32, Le16, Host32 };
  uint8_t* at = nullptr;
  Kind kind = Kind::None;

  static FieldRef None() { return {}; }
  static FieldRef Image32(uint8_t* p) { return {p, Kind::Le32}; }
  static FieldRef Image16(uint8_t* p) { return {p, Kind::Le16}; }
  static FieldRef Variable(uint32_t& v) { return {reinterpret_cast<uint8_t*>(&v), Kind::Host32}; }

  bool Given() const { return at != nullptr && kind != Kind::None; }
  uint32_t Get() const {
    switch (kind) {
      case Kind::Le32: return Le32(at);
      case Kind::Le16: return Le16(at);
      case Kind::Host32: {
        uint32_t v;
        std::memcpy(&v, at, sizeof v);
        return v;
      }
      default: return 0xFFFFFFFF;
    }
  }
  void Set(uint32_t v) const {
    switch (kind) {
      case Kind::Le32: PutLe32(at, v); break;
      case Kind::Le16: PutLe16(at, static_cast<uint16_t>(v)); break;
      case Kind::Host32: std::memcpy(at, &v, sizeof v); break;
      default: break;
    }
  }
};

}  // namespace tarvos::hive
