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
inline constexpr uint32_t kChecksum = 0x1FC;

inline constexpr uint32_t kSignatureValue = 0x66676572;  // "regf"
inline constexpr uint32_t kMajorVersionValue = 1;
inline constexpr uint32_t kMinorVersionMin = 3;
inline constexpr uint32_t kMinorVersionMax = 5;
inline constexpr uint32_t kMinorVersionRepair = 3;
inline constexpr uint32_t kFileTypeValue = 0;
inline constexpr uint32_t kFileFormatValue = 1;
inline constexpr uint32_t kClusteringFactorValue = 1;
// The checksum is the XOR of the 127 32-bit words before it.
inline constexpr uint32_t kChecksumWords = 127;
}  // namespace base

// Loading.
inline constexpr uint32_t kMinHiveFileSize = 0x2000;
inline constexpr uint32_t kLoadChunkSize = 0x20000;

}  // namespace tarvos::hive
