// On-disk layout of a registry hive file ("regf"): every offset, signature and size the engine uses.
#pragma once

#include <cstdint>

namespace tarvos::hive {

inline constexpr uint32_t kNullOffset = 0xFFFFFFFF;

// The base block: the first 4096 bytes of the file. The data area (the frames) follows it, and
// every reference between cells counts from the data area's start.
inline constexpr uint32_t kBaseBlockSize = 0x1000;
inline constexpr uint32_t kPageSize = 0x1000;
inline constexpr uint32_t kPageMask = 0xFFFFF000;

namespace base {
inline constexpr uint32_t kSignature = 0x000;
inline constexpr uint32_t kPrimarySequence = 0x004;
inline constexpr uint32_t kSecondarySequence = 0x008;
inline constexpr uint32_t kLastWriteTime = 0x00C;
inline constexpr uint32_t kMajorVersion = 0x014;
inline constexpr uint32_t kMinorVersion = 0x018;
inline constexpr uint32_t kFileType = 0x01C;
inline constexpr uint32_t kFileFormat = 0x020;
inline constexpr uint32_t kRootKeyOffset = 0x024;
inline constexpr uint32_t kHiveDataSize = 0x028;
inline constexpr uint32_t kClusteringFactor = 0x02C;
inline constexpr uint32_t kFileName = 0x030;
inline constexpr uint32_t kFlags = 0x090;
inline constexpr uint32_t kChecksum = 0x1FC;

inline constexpr uint32_t kSignatureValue = 0x66676572;  // "regf"
inline constexpr uint32_t kMajorVersionValue = 1;
inline constexpr uint32_t kMinorVersionMin = 3;
inline constexpr uint32_t kMinorVersionMax = 6;  // 6: Windows 10 and later
inline constexpr uint32_t kMinorVersionRepair = 3;
inline constexpr uint32_t kFileTypeValue = 0;
inline constexpr uint32_t kFileFormatValue = 1;
inline constexpr uint32_t kClusteringFactorValue = 1;
// The checksum is the XOR of the 127 32-bit words before it.
inline constexpr uint32_t kChecksumWords = 127;
}  // namespace base

// Transaction logs beside a hive (NAME.LOG, NAME.LOG1, NAME.LOG2): a copy of the first sector of
// the base block, then either a dirty vector and dirty pages (old format) or log entries (new).
namespace txlog {
inline constexpr uint32_t kSector = 0x200;
inline constexpr uint32_t kFileTypeOld = 1;      // a log written since Windows XP
inline constexpr uint32_t kFileTypeOlder = 2;    // a log of Windows 2000
inline constexpr uint32_t kFileTypeEntries = 6;  // log entries (Windows 8.1 on)
inline constexpr uint32_t kDirtSignature = 0x54524944;  // "DIRT", at the second sector
inline constexpr uint32_t kDirtyPageSize = 0x200;       // one bit of the dirty vector
// A log entry ("HvLE"); its page references (offset, size) follow the header, then the pages.
inline constexpr uint32_t kEntrySignature = 0x454C7648;  // "HvLE"
inline constexpr uint32_t kEntrySize = 0x04;
inline constexpr uint32_t kEntryFlags = 0x08;
inline constexpr uint32_t kEntrySequence = 0x0C;
inline constexpr uint32_t kEntryDataSize = 0x10;
inline constexpr uint32_t kEntryPageCount = 0x14;
inline constexpr uint32_t kEntryHash1 = 0x18;
inline constexpr uint32_t kEntryHash2 = 0x20;
inline constexpr uint32_t kEntryHeaderSize = 0x28;
inline constexpr uint32_t kEntryHash2Length = 0x20;
inline constexpr uint32_t kPageReferenceSize = 8;
inline constexpr uint64_t kMarvinSeed = 0x82EF4D887A4E55C5ull;
inline constexpr uint32_t kFlagKtmLocked = 0x1;  // the one base-block flag a log entry carries
// The most a hive's data may grow to: Windows loads no hive over 2 GiB.
inline constexpr uint32_t kMaxDataSize = 0x80000000u - 0x1000u;
}  // namespace txlog

// Loading.
inline constexpr uint32_t kMinHiveFileSize = 0x2000;
inline constexpr uint32_t kLoadChunkSize = 0x20000;

// Frames ("hbin" blocks) tile the data area; cells follow each frame's header back to back.
namespace frame {
inline constexpr uint32_t kSignature = 0x00;
inline constexpr uint32_t kOwnOffset = 0x04;
inline constexpr uint32_t kSize = 0x08;
inline constexpr uint32_t kTimeStamp = 0x14;
inline constexpr uint32_t kHeaderSize = 0x20;
inline constexpr uint32_t kSignatureValue = 0x6E696268;  // "hbin"
inline constexpr uint32_t kHalfSize = 0x800;             // cells are indexed per 2 KB half
}  // namespace frame

// A cell: a signed 32-bit size (negative: allocated), then its contents, which start with a
// 16-bit signature for the kinds below.
namespace cell {
inline constexpr uint32_t kSize = 0x00;
inline constexpr uint32_t kSignature = 0x04;
inline constexpr uint32_t kAlignment = 8;
inline constexpr uint32_t kMinimumFixedSize = 8;  // a cell repaired from a bad size
inline constexpr uint16_t kKeySignature = 0x6B6E;            // "nk"
inline constexpr uint16_t kIndexLeafSignature = 0x696C;      // "li"
inline constexpr uint16_t kFastLeafSignature = 0x666C;       // "lf"
inline constexpr uint16_t kIndexRootSignature = 0x6972;      // "ri"
inline constexpr uint16_t kHashLeafSignature = 0x686C;       // "lh"
inline constexpr uint16_t kSecuritySignature = 0x6B73;      // "sk"
inline constexpr uint16_t kValueSignature = 0x6B76;          // "vk"
inline constexpr uint16_t kBigDataSignature = 0x6264;        // "db"
}  // namespace cell

// The kind of a cell, by its signature.
enum CellKind : uint8_t {
  kCellNone = 0,
  kCellKey = 1,
  kCellIndexLeaf = 2,
  kCellFastLeaf = 3,
  kCellIndexRoot = 4,
  kCellHashLeaf = 5,
  kCellSecurity = 6,
  kCellValue = 7,
  kCellBigData = 8,
  kCellRootKey = 17,
};

// Key cell (nk) fields, from the cell's start (size field included).
namespace key {
inline constexpr uint32_t kFlags = 0x06;
inline constexpr uint32_t kParent = 0x14;
inline constexpr uint32_t kSubkeyCount = 0x18;
inline constexpr uint32_t kSubkeyList = 0x20;
inline constexpr uint32_t kValueCount = 0x28;
inline constexpr uint32_t kValueList = 0x2C;
inline constexpr uint32_t kSecurity = 0x30;
inline constexpr uint32_t kClass = 0x34;
inline constexpr uint32_t kNameLength = 0x4C;
inline constexpr uint32_t kClassLength = 0x4E;
inline constexpr uint32_t kName = 0x50;
inline constexpr uint16_t kFlagHiveEntry = 0x0004;
inline constexpr uint16_t kFlagNoDelete = 0x0008;
inline constexpr uint16_t kFlagLink = 0x0010;
inline constexpr uint16_t kFlagCompressedName = 0x0020;
}  // namespace key

// Value cells (vk), value lists and segmented values (db).
namespace value {
inline constexpr uint32_t kNameLength = 0x06;
inline constexpr uint32_t kDataLength = 0x08;
inline constexpr uint32_t kData = 0x0C;
inline constexpr uint32_t kType = 0x10;
inline constexpr uint32_t kFlags = 0x14;
inline constexpr uint32_t kName = 0x18;
inline constexpr uint32_t kDataInline = 0x80000000;  // the data (up to 4 bytes) is the offset field
inline constexpr uint32_t kInlineMax = 4;
inline constexpr uint16_t kFlagCompressedName = 0x0001;
inline constexpr uint32_t kListEntries = 0x04;  // value and segment lists: offsets after the size field
}  // namespace value

namespace bigdata {
inline constexpr uint32_t kSegmentCount = 0x06;
inline constexpr uint32_t kSegmentList = 0x08;
inline constexpr uint32_t kCellSize = 0x0C;
inline constexpr uint32_t kSegmentCapacity = 0x3FD8;  // 16344 bytes of data per segment
}  // namespace bigdata

// Security blocks (sk), chained into a ring.
namespace security {
inline constexpr uint32_t kLinkA = 0x08;  // the previous block
inline constexpr uint32_t kLinkB = 0x0C;  // the next block
inline constexpr uint32_t kReferences = 0x10;
inline constexpr uint32_t kDescriptorLength = 0x14;
inline constexpr uint32_t kDescriptor = 0x18;
inline constexpr uint32_t kRegistryStep = 256;
}  // namespace security

// Subkey lists: "li" and "ri" hold 4-byte entries, "lf" and "lh" 8-byte ones (an offset
// and 4 bytes of name hint that move with it).
namespace list {
inline constexpr uint32_t kCount = 0x06;
inline constexpr uint32_t kEntries = 0x08;
inline constexpr uint32_t kShortEntry = 4;
inline constexpr uint32_t kLongEntry = 8;
// The width of an entry of a list cell of this kind.
inline constexpr uint32_t EntryStride(uint8_t kind) {
  return kind == kCellFastLeaf || kind == kCellHashLeaf ? kLongEntry : kShortEntry;
}
}  // namespace list

}  // namespace tarvos::hive
