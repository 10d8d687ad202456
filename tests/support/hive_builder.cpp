#include "support/hive_builder.h"

#include <algorithm>
#include <fstream>

#include "hive/bytes.h"
#include "hive/image.h"
#include "hive/layout.h"
#include "hive/names.h"

namespace tarvos::testing {

namespace {

constexpr uint32_t kNull = 0xFFFFFFFF;
constexpr uint32_t kFrameHeader = 0x20;
constexpr uint32_t kKeyHeader = 0x4C;     // nk fields before the name
constexpr uint32_t kValueHeader = 0x14;   // vk fields before the name
constexpr uint32_t kSegmentSize = 16344;  // bytes per segment of a segmented value

void Put16At(std::vector<uint8_t>& bytes, uint32_t at, uint16_t v) { hive::PutLe16(bytes.data() + at, v); }
void Put32At(std::vector<uint8_t>& bytes, uint32_t at, uint32_t v) { hive::PutLe32(bytes.data() + at, v); }
uint32_t Align8(uint32_t n) { return (n + 7) & ~7u; }

std::vector<uint8_t> Signed(char a, char b, size_t size) {
  std::vector<uint8_t> bytes(size, 0);
  bytes[0] = static_cast<uint8_t>(a);
  bytes[1] = static_cast<uint8_t>(b);
  return bytes;
}

const std::vector<uint8_t> kDefaultDescriptor = {1, 0, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

HiveBuilder::HiveBuilder() {
  NewFrame(hive::kPageSize);
  AddSecurity(kDefaultDescriptor);
  root_ = AddKey(kNull, "ROOT");
  Put16At(data_, root_ + 4 + 2, 0x2C);  // hive entry, not deletable, compressed name
}

void HiveBuilder::NewFrame(uint32_t size) {
  CloseFrame();
  uint32_t start = static_cast<uint32_t>(data_.size());
  frameEnd_ = start + size;
  data_.resize(frameEnd_, 0);
  for (uint32_t i = 0; i < 4; ++i) data_[start + i] = static_cast<uint8_t>("hbin"[i]);
  Put32At(data_, start + 4, start);
  Put32At(data_, start + 8, size);
  next_ = start + kFrameHeader;
}

void HiveBuilder::CloseFrame() {
  if (next_ < frameEnd_) Put32At(data_, next_, frameEnd_ - next_);  // one free cell to the end
  next_ = frameEnd_;
}

uint32_t HiveBuilder::Allocate(uint32_t cellSize) {
  if (next_ + cellSize > frameEnd_) {
    NewFrame(std::max(hive::kPageSize, (cellSize + kFrameHeader + hive::kPageSize - 1) & hive::kPageMask));
  }
  uint32_t at = next_;
  next_ += cellSize;
  return at;
}

uint32_t HiveBuilder::AddCell(const std::vector<uint8_t>& payload, uint32_t cellSize) {
  uint32_t size = cellSize != 0 ? cellSize : Align8(static_cast<uint32_t>(payload.size()) + 4);
  uint32_t at = Allocate(size);
  Put32At(data_, at, 0u - size);
  std::copy(payload.begin(), payload.end(), data_.begin() + at + 4);
  return at;
}

uint32_t HiveBuilder::AddFreeCell(uint32_t size) {
  uint32_t at = Allocate(size);
  Put32At(data_, at, size);
  return at;
}

void HiveBuilder::GrowTo(uint32_t bytes) {
  while (data_.size() < bytes) NewFrame(hive::kPageSize);
}

HiveBuilder::Key* HiveBuilder::FindKey(uint32_t offset) {
  auto found = keyIndex_.find(offset);
  return found != keyIndex_.end() ? &keys_[found->second] : nullptr;
}

const HiveBuilder::Key* HiveBuilder::FindKey(uint32_t offset) const {
  return const_cast<HiveBuilder*>(this)->FindKey(offset);
}

uint32_t HiveBuilder::AddKey(uint32_t parent, const std::string& name) {
  std::vector<uint8_t> nk = Signed('n', 'k', kKeyHeader + name.size());
  Put16At(nk, 0x02, 0x20);  // compressed (8-bit) name
  Put32At(nk, 0x10, parent);
  Put32At(nk, 0x1C, kNull);
  Put32At(nk, 0x20, kNull);
  Put32At(nk, 0x28, kNull);
  Put32At(nk, 0x2C, Security());
  Put32At(nk, 0x30, kNull);
  Put16At(nk, 0x48, static_cast<uint16_t>(name.size()));
  std::copy(name.begin(), name.end(), nk.begin() + kKeyHeader);
  uint32_t at = AddCell(nk);
  keyIndex_[at] = keys_.size();
  keys_.push_back(Key{at, {}, {}, ListKind::FastLeaf, 2, ListKind::IndexLeaf, kNull, kNull, Security()});
  if (Key* owner = FindKey(parent)) owner->children.push_back(at);
  return at;
}

void HiveBuilder::SetListKind(uint32_t key, ListKind kind, uint32_t leafSize, ListKind leafKind) {
  if (Key* k = FindKey(key)) {
    k->listKind = kind;
    k->leafSize = leafSize == 0 ? 1 : leafSize;
    k->leafKind = leafKind == ListKind::IndexRoot ? ListKind::IndexLeaf : leafKind;
  }
}

uint32_t HiveBuilder::AddSecurity(const std::vector<uint8_t>& descriptor) {
  std::vector<uint8_t> sk = Signed('s', 'k', 0x14 + descriptor.size());
  Put32At(sk, 0x10, static_cast<uint32_t>(descriptor.size()));
  std::copy(descriptor.begin(), descriptor.end(), sk.begin() + 0x14);
  uint32_t at = AddCell(sk);
  securities_.push_back(at);
  return at;
}

void HiveBuilder::SetSecurity(uint32_t key, uint32_t security) {
  if (Key* k = FindKey(key)) {
    k->security = security;
    Put32At(data_, key + 4 + 0x2C, security);
  }
}

uint32_t HiveBuilder::AddValue(uint32_t key, const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> vk = Signed('v', 'k', kValueHeader + name.size());
  Put16At(vk, 0x02, static_cast<uint16_t>(name.size()));
  Put32At(vk, 0x0C, type);
  Put16At(vk, 0x10, name.empty() ? 0 : 1);  // compressed name
  std::copy(name.begin(), name.end(), vk.begin() + kValueHeader);
  auto length = static_cast<uint32_t>(data.size());
  if (length <= 4) {
    Put32At(vk, 0x04, length | 0x80000000u);
    std::copy(data.begin(), data.end(), vk.begin() + 0x08);
  } else if (length <= kSegmentSize) {
    Put32At(vk, 0x04, length);
    Put32At(vk, 0x08, AddCell(data));
  } else {
    std::vector<uint8_t> segments;
    for (uint32_t from = 0; from < length; from += kSegmentSize) {
      uint32_t part = std::min(kSegmentSize, length - from);
      uint32_t at = AddCell(std::vector<uint8_t>(data.begin() + from, data.begin() + from + part));
      segments.resize(segments.size() + 4);
      Put32At(segments, static_cast<uint32_t>(segments.size() - 4), at);
    }
    uint32_t list = AddCell(segments);
    std::vector<uint8_t> db = Signed('d', 'b', 8);
    Put16At(db, 2, static_cast<uint16_t>(segments.size() / 4));
    Put32At(db, 4, list);
    Put32At(vk, 0x04, length);
    Put32At(vk, 0x08, AddCell(db));
  }
  uint32_t at = AddCell(vk);
  if (Key* owner = FindKey(key)) owner->values.push_back(at);
  return at;
}

uint32_t HiveBuilder::BuildList(const Key& key, const std::vector<uint32_t>& children, ListKind kind) {
  auto count = static_cast<uint16_t>(children.size());
  if (kind == ListKind::IndexRoot) {
    std::vector<uint32_t> leaves;
    for (size_t from = 0; from < children.size(); from += key.leafSize) {
      std::vector<uint32_t> part(children.begin() + static_cast<long>(from),
                                 children.begin() + static_cast<long>(std::min(children.size(), from + key.leafSize)));
      leaves.push_back(BuildList(key, part, key.leafKind));
    }
    std::vector<uint8_t> ri = Signed('r', 'i', 4 + 4 * leaves.size());
    Put16At(ri, 2, static_cast<uint16_t>(leaves.size()));
    for (size_t i = 0; i < leaves.size(); ++i) Put32At(ri, static_cast<uint32_t>(4 + 4 * i), leaves[i]);
    return AddCell(ri);
  }
  if (kind == ListKind::IndexLeaf) {
    std::vector<uint8_t> li = Signed('l', 'i', 4 + 4 * children.size());
    Put16At(li, 2, count);
    for (size_t i = 0; i < children.size(); ++i) Put32At(li, static_cast<uint32_t>(4 + 4 * i), children[i]);
    return AddCell(li);
  }
  bool hashed = kind == ListKind::HashLeaf;
  std::vector<uint8_t> list = Signed('l', hashed ? 'h' : 'f', 4 + 8 * children.size());
  Put16At(list, 2, count);
  for (size_t i = 0; i < children.size(); ++i) {
    uint32_t child = children[i];
    auto at = static_cast<uint32_t>(4 + 8 * i);
    Put32At(list, at, child);
    uint16_t nameLength = hive::Le16(data_.data() + child + 4 + 0x48);
    const uint8_t* name = data_.data() + child + 4 + kKeyHeader;
    if (hashed) {
      uint32_t hash = 0;
      for (uint16_t c = 0; c < nameLength; ++c) {
        uint8_t ch = name[c];
        hash = hash * 37 + static_cast<uint8_t>(ch >= 'a' && ch <= 'z' ? ch - 0x20 : ch);
      }
      Put32At(list, at + 4, hash);
    } else {
      for (uint32_t c = 0; c < 4 && c < nameLength; ++c) list[at + 4 + c] = name[c];
    }
  }
  return AddCell(list);
}

std::vector<uint8_t> HiveBuilder::Build() {
  for (Key& key : keys_) {
    if (!key.children.empty()) {
      // As Windows keeps it: in the order of the names, upper-cased.
      std::vector<uint32_t> ordered = key.children;
      auto upper = [this](uint32_t child) {
        std::vector<uint16_t> name;
        const uint8_t* text = data_.data() + child + 4 + kKeyHeader;
        for (uint16_t c = 0; c < hive::Le16(data_.data() + child + 4 + 0x48); ++c) name.push_back(hive::UpperUnit(text[c]));
        return name;
      };
      std::stable_sort(ordered.begin(), ordered.end(), [&upper](uint32_t a, uint32_t b) { return upper(a) < upper(b); });
      key.list = BuildList(key, ordered, key.listKind);
      Put32At(data_, key.offset + 4 + 0x14, static_cast<uint32_t>(key.children.size()));
      Put32At(data_, key.offset + 4 + 0x1C, key.list);
    }
    if (!key.values.empty()) {
      std::vector<uint8_t> list(4 * key.values.size(), 0);
      for (size_t i = 0; i < key.values.size(); ++i) Put32At(list, static_cast<uint32_t>(4 * i), key.values[i]);
      key.valueList = AddCell(list);
      Put32At(data_, key.offset + 4 + 0x24, static_cast<uint32_t>(key.values.size()));
      Put32At(data_, key.offset + 4 + 0x28, key.valueList);
    }
  }
  for (size_t i = 0; i < securities_.size(); ++i) {
    uint32_t sk = securities_[i];
    Put32At(data_, sk + 4 + 4, securities_[(i + securities_.size() - 1) % securities_.size()]);
    Put32At(data_, sk + 4 + 8, securities_[(i + 1) % securities_.size()]);
    auto users = static_cast<uint32_t>(std::count_if(keys_.begin(), keys_.end(), [sk](const Key& k) { return k.security == sk; }));
    Put32At(data_, sk + 4 + 0x0C, users);
  }
  CloseFrame();

  std::vector<uint8_t> image(hive::kBaseBlockSize + data_.size(), 0);
  std::copy(data_.begin(), data_.end(), image.begin() + hive::kBaseBlockSize);
  Put32(image, hive::base::kSignature, hive::base::kSignatureValue);
  Put32(image, hive::base::kPrimarySequence, 1);
  Put32(image, hive::base::kSecondarySequence, 1);
  Put32(image, hive::base::kMajorVersion, 1);
  Put32(image, hive::base::kMinorVersion, 5);
  Put32(image, hive::base::kFileType, 0);
  Put32(image, hive::base::kFileFormat, 1);
  Put32(image, hive::base::kRootKeyOffset, root_);
  Put32(image, hive::base::kHiveDataSize, static_cast<uint32_t>(data_.size()));
  Put32(image, hive::base::kClusteringFactor, 1);
  StoreChecksum(image);
  return image;
}

uint32_t HiveBuilder::ListOf(uint32_t key) const {
  const Key* k = FindKey(key);
  return k != nullptr ? k->list : kNull;
}

uint32_t HiveBuilder::ValueListOf(uint32_t key) const {
  const Key* k = FindKey(key);
  return k != nullptr ? k->valueList : kNull;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Get32(const std::vector<uint8_t>& image, uint32_t fileOffset) { return hive::Le32(image.data() + fileOffset); }
void Put32(std::vector<uint8_t>& image, uint32_t fileOffset, uint32_t value) {
  hive::PutLe32(image.data() + fileOffset, value);
}
uint16_t Get16(const std::vector<uint8_t>& image, uint32_t fileOffset) { return hive::Le16(image.data() + fileOffset); }
void Put16(std::vector<uint8_t>& image, uint32_t fileOffset, uint16_t value) {
  hive::PutLe16(image.data() + fileOffset, value);
}

std::vector<uint32_t> AllocatedCells(const std::vector<uint8_t>& image) {
  std::vector<uint32_t> cells;
  uint32_t dataSize = Get32(image, hive::base::kHiveDataSize);
  for (uint32_t frameAt = 0; frameAt < dataSize && frameAt + 0x1000 + 12 <= image.size();) {
    uint32_t size = Get32(image, frameAt + 0x1000 + hive::frame::kSize);
    if (size == 0) break;
    for (uint32_t at = frameAt + hive::frame::kHeaderSize; at < frameAt + size;) {
      auto field = static_cast<int32_t>(Get32(image, at + 0x1000));
      uint32_t length = field < 0 ? 0u - static_cast<uint32_t>(field) : static_cast<uint32_t>(field);
      if (length == 0) break;
      if (field < 0) cells.push_back(at);
      at += length;
    }
    frameAt += size;
  }
  return cells;
}

void StoreChecksum(std::vector<uint8_t>& image) {
  Put32(image, hive::base::kChecksum, hive::HeaderChecksum(image.data()));
}

}  // namespace tarvos::testing
