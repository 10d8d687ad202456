#include "support/hive_builder.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "hive/bytes.h"
#include "hive/image.h"
#include "hive/layout.h"

namespace tarvos::testing {

namespace {

constexpr uint32_t kFrameHeader = 0x20;
constexpr uint32_t kKeyHeader = 0x4C;   // nk fields before the name
constexpr uint32_t kValueHeader = 0x14; // vk fields before the name

void Put16At(std::vector<uint8_t>& bytes, uint32_t at, uint16_t v) { hive::PutLe16(bytes.data() + at, v); }
void Put32At(std::vector<uint8_t>& bytes, uint32_t at, uint32_t v) { hive::PutLe32(bytes.data() + at, v); }

uint32_t Align8(uint32_t n) { return (n + 7) & ~7u; }

}  // namespace

HiveBuilder::HiveBuilder() {
  StartFrame(hive::kPageSize);
  // One security block, shared by every key, linked to itself.
  static const uint8_t kDescriptor[] = {1, 0, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> sk(0x14 + sizeof kDescriptor, 0);
  sk[0] = 's';
  sk[1] = 'k';
  std::copy(std::begin(kDescriptor), std::end(kDescriptor), sk.begin() + 0x14);
  Put32At(sk, 0x10, sizeof kDescriptor);
  root_ = 0;  // set below; the sk cell comes first so the root follows it
  security_ = AddCell(sk);
  Put32At(data_, security_ + 4 + 4, security_);
  Put32At(data_, security_ + 4 + 8, security_);
  root_ = AddKey(hive::kNullOffset, "ROOT");
  Put16At(data_, root_ + 4 + 2, 0x2C);  // hive entry, not deletable, compressed name
}

void HiveBuilder::StartFrame(uint32_t size) {
  frameStart_ = static_cast<uint32_t>(data_.size());
  frameEnd_ = frameStart_ + size;
  data_.resize(frameEnd_, 0);
  data_[frameStart_] = 'h';
  data_[frameStart_ + 1] = 'b';
  data_[frameStart_ + 2] = 'i';
  data_[frameStart_ + 3] = 'n';
  Put32At(data_, frameStart_ + 4, frameStart_);
  Put32At(data_, frameStart_ + 8, size);
  next_ = frameStart_ + kFrameHeader;
}

void HiveBuilder::CloseFrame() {
  if (next_ < frameEnd_) Put32At(data_, next_, frameEnd_ - next_);  // one free cell to the end
  next_ = frameEnd_;
}

uint32_t HiveBuilder::Allocate(uint32_t payloadSize) {
  uint32_t size = Align8(payloadSize + 4);
  if (next_ + size > frameEnd_) {
    CloseFrame();
    StartFrame(std::max(hive::kPageSize, (size + kFrameHeader + hive::kPageSize - 1) & hive::kPageMask));
  }
  uint32_t at = next_;
  next_ += size;
  Put32At(data_, at, static_cast<uint32_t>(-static_cast<int32_t>(size)));
  return at;
}

uint32_t HiveBuilder::AddCell(const std::vector<uint8_t>& payload) {
  uint32_t at = Allocate(static_cast<uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), data_.begin() + at + 4);
  return at;
}

void HiveBuilder::GrowTo(uint32_t bytes) {
  while (data_.size() < bytes) {
    CloseFrame();
    StartFrame(hive::kPageSize);
  }
}

HiveBuilder::Key* HiveBuilder::FindKey(uint32_t offset) {
  for (Key& key : keys_) {
    if (key.offset == offset) return &key;
  }
  return nullptr;
}

uint32_t HiveBuilder::AddKey(uint32_t parent, const std::string& name) {
  std::vector<uint8_t> nk(kKeyHeader + name.size(), 0);
  nk[0] = 'n';
  nk[1] = 'k';
  Put16At(nk, 0x02, 0x20);  // compressed (8-bit) name
  Put32At(nk, 0x10, parent);
  Put32At(nk, 0x1C, hive::kNullOffset);
  Put32At(nk, 0x20, hive::kNullOffset);
  Put32At(nk, 0x28, hive::kNullOffset);
  Put32At(nk, 0x2C, security_);
  Put32At(nk, 0x30, hive::kNullOffset);
  Put16At(nk, 0x48, static_cast<uint16_t>(name.size()));
  std::copy(name.begin(), name.end(), nk.begin() + kKeyHeader);
  uint32_t at = AddCell(nk);
  keys_.push_back(Key{at, {}, {}});
  if (Key* owner = FindKey(parent)) owner->children.push_back(at);
  return at;
}

uint32_t HiveBuilder::AddValue(uint32_t key, const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> vk(kValueHeader + name.size(), 0);
  vk[0] = 'v';
  vk[1] = 'k';
  Put16At(vk, 0x02, static_cast<uint16_t>(name.size()));
  Put32At(vk, 0x0C, type);
  Put16At(vk, 0x10, name.empty() ? 0 : 1);  // compressed name
  std::copy(name.begin(), name.end(), vk.begin() + kValueHeader);
  uint32_t length = static_cast<uint32_t>(data.size());
  if (length <= 4) {
    Put32At(vk, 0x04, length | 0x80000000u);
    std::copy(data.begin(), data.end(), vk.begin() + 0x08);
  } else {
    Put32At(vk, 0x04, length);
    Put32At(vk, 0x08, AddCell(data));
  }
  uint32_t at = AddCell(vk);
  if (Key* owner = FindKey(key)) owner->values.push_back(at);
  return at;
}

std::vector<uint8_t> HiveBuilder::Build() {
  for (Key& key : keys_) {
    if (!key.children.empty()) {
      std::vector<uint8_t> lf(4 + 8 * key.children.size(), 0);
      lf[0] = 'l';
      lf[1] = 'f';
      Put16At(lf, 2, static_cast<uint16_t>(key.children.size()));
      for (size_t i = 0; i < key.children.size(); ++i) {
        uint32_t child = key.children[i];
        Put32At(lf, static_cast<uint32_t>(4 + 8 * i), child);
        for (uint32_t c = 0; c < 4 && c < hive::Le16(data_.data() + child + 4 + 0x48); ++c) {
          lf[4 + 8 * i + 4 + c] = data_[child + 4 + kKeyHeader + c];
        }
      }
      uint32_t list = AddCell(lf);
      Put32At(data_, key.offset + 4 + 0x14, static_cast<uint32_t>(key.children.size()));
      Put32At(data_, key.offset + 4 + 0x1C, list);
    }
    if (!key.values.empty()) {
      std::vector<uint8_t> list(4 * key.values.size(), 0);
      for (size_t i = 0; i < key.values.size(); ++i) Put32At(list, static_cast<uint32_t>(4 * i), key.values[i]);
      uint32_t at = AddCell(list);
      Put32At(data_, key.offset + 4 + 0x24, static_cast<uint32_t>(key.values.size()));
      Put32At(data_, key.offset + 4 + 0x28, at);
    }
  }
  Put32At(data_, security_ + 4 + 0x0C, static_cast<uint32_t>(keys_.size()));
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

void StoreChecksum(std::vector<uint8_t>& image) {
  Put32(image, hive::base::kChecksum, hive::HeaderChecksum(image.data()));
}

}  // namespace tarvos::testing
