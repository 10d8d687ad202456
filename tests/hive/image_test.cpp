// Loading a hive file whole, and the check and repair of its base block.
#include <gtest/gtest.h>

#include "hive/recovery.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "hive/image.h"
#include "hive/layout.h"
#include "support/hive_builder.h"
#include "support/memory_source.h"
#include "support/read_hives.h"
#include "support/scripted.h"
#include "support/temp_dir.h"

namespace tarvos::hive {
namespace {

using testing::EngineRig;
using testing::MemorySource;
using testing::ScriptedDecider;
using testing::Get32;
using testing::Put32;

std::vector<uint8_t> HealthyHive(uint32_t dataBytes = 0x1000) {
  testing::HiveBuilder builder;
  builder.GrowTo(dataBytes);
  return builder.Build();
}

// A file of size bytes that starts with a healthy base block for a data area of size - 4096.
std::vector<uint8_t> FileOfSize(uint32_t size) {
  std::vector<uint8_t> bytes = HealthyHive();
  bytes.resize(size, 0);
  Put32(bytes, base::kHiveDataSize, (size & kPageMask) - kBaseBlockSize);
  testing::StoreChecksum(bytes);
  return bytes;
}

TEST(LoadHive, ReadsTheWholeFileAndLogsEachStep) {
  EngineRig rig;
  std::vector<uint8_t> bytes = FileOfSize(0x3000);
  MemorySource source(bytes);
  HiveImage image;
  ASSERT_EQ(LoadHive(image, rig.faults, source, "C:\\h\\SYSTEM", std::nullopt), kLoadDone);
  EXPECT_TRUE(image.Loaded());
  EXPECT_FALSE(source.opened) << "the file is closed once it is in memory";
  ASSERT_EQ(image.Size(), 0x3000u);
  EXPECT_EQ(std::memcmp(image.Buffer(), bytes.data(), bytes.size()), 0);
  std::vector<std::string> expected = {"\r\n",
                                       "* Processing file: C:\\h\\SYSTEM...\r\n",
                                       "* File opened: C:\\h\\SYSTEM\r\n",
                                       "* Hive file loading...\r\n",
                                       "* Hive file loaded: C:\\h\\SYSTEM, size: 12288\r\n"};
  EXPECT_EQ(rig.log.lines, expected);
}

TEST(LoadHive, FileThatCannotBeOpenedIsNotFixable) {
  EngineRig rig;
  MemorySource source(FileOfSize(0x2000));
  source.openable = false;
  HiveImage image;
  EXPECT_EQ(LoadHive(image, rig.faults, source, "NOPE", std::nullopt), kLoadNotOpened);
  EXPECT_EQ(rig.faults.Error().code, kInputFileOpenError);
  EXPECT_TRUE(rig.decider.asked.empty());
  EXPECT_TRUE(rig.log.Has("! Error found: <Input file open error>\r\n"));
  EXPECT_EQ(rig.log.lines.back(), "! Open file error: NOPE\r\n");
}

TEST(LoadHive, SizeLimits) {
  {
    EngineRig rig;
    MemorySource source(FileOfSize(8191));
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kHiveTooSmall);
    EXPECT_TRUE(rig.decider.asked.empty()) << "code 4 is never asked about";
  }
  {
    EngineRig rig;
    MemorySource source(FileOfSize(8192));
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadDone);
    EXPECT_FALSE(rig.faults.IsErrorLeft());
  }
  {
    EngineRig rig;  // the size found at the per-file start wins over the open file's
    MemorySource source(FileOfSize(8192));
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", uint64_t{4096}), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kHiveTooSmall);
  }
  {
    EngineRig rig;
    MemorySource source(FileOfSize(8192));
    source.sizeKnown = false;
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kUnableToGetFileInfo);
  }
  {
    EngineRig rig;  // beyond a 32-bit image
    MemorySource source(FileOfSize(8192));
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", uint64_t{0x100002000}), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kMemoryAllocationError);
  }
  // Sparse files larger than a hive can be (one just short of 4 GiB once read forever): refused
  // before anything is read or allocated, with the reason.
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFileBytes(dir.Path("big"), {}));
  for (uint64_t size : {kMaxHiveFileSize + kPageSize, (uint64_t{4} << 30) - kPageSize, uint64_t{5} << 30}) {
    std::filesystem::resize_file(dir.Path("big"), 0);
    std::filesystem::resize_file(dir.Path("big"), size);
    EngineRig rig;
    FileHiveSource source;
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, dir.Path("big"), std::nullopt), kLoadFailed) << size;
    const std::string said = "! Hive file is too large: " + dir.Path("big") + ", size: " + std::to_string(size);
    EXPECT_NE(std::find_if(rig.log.lines.begin(), rig.log.lines.end(),
                           [&](const std::string& line) { return line.rfind(said, 0) == 0; }),
              rig.log.lines.end()) << said;
  }
}

// A file cut off a page boundary keeps its last part page, the rest of the page zeros.
TEST(LoadHive, UnalignedSizeIsAskedAndItsLastPageKept) {
  std::vector<uint8_t> bytes = FileOfSize(12289);
  bytes[12288] = 0x5A;
  {
    EngineRig rig({kAnswerFix});
    MemorySource source(bytes);
    HiveImage image;
    ASSERT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadDone);
    ASSERT_EQ(image.Size(), 16384u);
    EXPECT_EQ(image.Buffer()[12288], 0x5A);
    EXPECT_EQ(std::count(image.Buffer() + 12289, image.Buffer() + 16384, 0), 16384 - 12289);
    ASSERT_EQ(rig.decider.asked.size(), 1u);
    EXPECT_EQ(rig.decider.asked[0].first, kSizeNotAligned);
    EXPECT_TRUE(rig.faults.Changed());
    EXPECT_TRUE(rig.log.Has("! Error found: <Size of hive file not aligned>\r\n"));
    EXPECT_TRUE(rig.log.Has("* Hive file loaded: x, size: 12289\r\n"));
  }
  {
    EngineRig rig({kAnswerStop});
    MemorySource source(bytes);
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kSizeNotAligned);
    EXPECT_EQ(rig.faults.Error().value, 12289u) << "the faulty field is the size";
  }
}

TEST(LoadHive, ChunksReportProgressUpTo1000) {
  {
    EngineRig rig;  // exactly one chunk, and an empty rest
    MemorySource source(FileOfSize(kLoadChunkSize));
    HiveImage image;
    ASSERT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadDone);
    EXPECT_EQ(rig.progress.offsets, (std::vector<uint32_t>{0, kLoadChunkSize}));
    EXPECT_EQ(rig.progress.gauge, (std::vector<uint32_t>{1000, 1000}));
  }
  {
    EngineRig rig;  // two chunks and a rest of one page
    MemorySource source(FileOfSize(2 * kLoadChunkSize + 0x1000));
    HiveImage image;
    ASSERT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadDone);
    EXPECT_EQ(rig.progress.offsets, (std::vector<uint32_t>{0, kLoadChunkSize, 2 * kLoadChunkSize}));
    ASSERT_EQ(rig.progress.gauge.size(), 3u);
    EXPECT_EQ(rig.progress.gauge[0], 1000 - PermilleOf(kLoadChunkSize + 0x1000, 2 * kLoadChunkSize + 0x1000));
    EXPECT_EQ(rig.progress.gauge[2], 1000u);
  }
}

TEST(LoadHive, StopDuringTheReadGivesUpWithoutAReport) {
  EngineRig rig({}, 1);
  MemorySource source(FileOfSize(3 * kLoadChunkSize));
  HiveImage image;
  EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadStopped);
  EXPECT_FALSE(rig.faults.IsErrorLeft());
  EXPECT_FALSE(image.Loaded());
  EXPECT_EQ(rig.log.Count("* Hive file loaded"), 0);
  EXPECT_FALSE(source.opened);
}

TEST(LoadHive, ShortReadIsAFileReadError) {
  for (uint64_t at : {uint64_t{0}, uint64_t{kLoadChunkSize}}) {
    EngineRig rig;
    MemorySource source(FileOfSize(kLoadChunkSize + 0x2000));
    source.shortAt = at;
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", std::nullopt), kLoadFailed) << at;
    EXPECT_EQ(rig.faults.Error().code, kFileReadError);
    EXPECT_EQ(rig.faults.Error().offset, at);
    EXPECT_EQ(rig.log.Count("* Hive file loaded"), 0);
  }
  {
    EngineRig rig;  // the file shrank after its size was taken
    MemorySource source(FileOfSize(0x2000));
    HiveImage image;
    EXPECT_EQ(LoadHive(image, rig.faults, source, "x", uint64_t{0x3000}), kLoadFailed);
    EXPECT_EQ(rig.faults.Error().code, kFileReadError);
  }
}

// A plain file is mapped rather than read, unless the read is asked for: the same image, the same
// log, and nothing to read, so the gauge is full at once.
TEST(LoadHive, PlainFileIsMappedOrReadToTheSameImage) {
  const std::vector<uint8_t> bytes = FileOfSize(3 * kLoadChunkSize + 0x1000);
  testing::TempDir dir;
  const std::string path = dir.Path("SYSTEM");
  ASSERT_TRUE(testing::WriteFileBytes(path, bytes));
  std::vector<std::string> logs[2];
  for (bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "read");
    EngineRig rig;
    FileHiveSource source(mapped);
    HiveImage image;
    ASSERT_EQ(LoadHive(image, rig.faults, source, path, std::nullopt), kLoadDone);
    const bool viewed = mapped && testing::MappingAvailable();
    EXPECT_EQ(image.Mapped(), viewed);
    ASSERT_EQ(image.Size(), bytes.size());
    EXPECT_EQ(std::memcmp(image.Buffer(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(image.LostAt(), kNullOffset);
    if (viewed) {
      EXPECT_EQ(rig.progress.offsets, std::vector<uint32_t>{0}) << "one poll: nothing is read";
      EXPECT_EQ(rig.progress.gauge, std::vector<uint32_t>{1000});
    }
    logs[mapped ? 0 : 1] = rig.log.lines;
    // A repair reaches the image, never the file.
    PutLe32(image.Buffer() + base::kChecksum, 0x12345678);
    EXPECT_EQ(Le32(image.Buffer() + base::kChecksum), 0x12345678u);
    EXPECT_EQ(testing::ReadFileBytes(path), bytes);
  }
  EXPECT_EQ(logs[0], logs[1]);
}

// A view cannot grow: transaction logs and new frames get the image copied into a buffer of its
// own, with everything the repairs wrote to the view, and zeros after it.
TEST(HiveImage, GrowingAMappedImageCopiesIt) {
  const std::vector<uint8_t> bytes = FileOfSize(0x5000);
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFileBytes(dir.Path("h"), bytes));
  EngineRig rig;
  FileHiveSource source(true);
  HiveImage image;
  ASSERT_EQ(LoadHive(image, rig.faults, source, dir.Path("h"), std::nullopt), kLoadDone);
  if (!image.Mapped()) GTEST_SKIP() << "no views of files here";
  image.Buffer()[0x4000] = 0xAB;
  image.LowerSize(0x3000);
  ASSERT_TRUE(image.Grow(0x4000)) << "within the view";
  EXPECT_TRUE(image.Mapped());
  EXPECT_EQ(image.Buffer()[0x3000], 0) << "what is new is zeros, also within the view";
  ASSERT_TRUE(image.Grow(0x9000));
  EXPECT_FALSE(image.Mapped());
  ASSERT_EQ(image.Size(), 0x9000u);
  EXPECT_EQ(std::memcmp(image.Buffer(), bytes.data(), 0x3000), 0);
  EXPECT_EQ(image.Buffer()[0x4000], 0) << "past the old size, zeros again";
  EXPECT_EQ(image.Buffer()[0x8FFF], 0);
  EXPECT_EQ(image.LostAt(), kNullOffset);
  EXPECT_EQ(testing::ReadFileBytes(dir.Path("h")), bytes);
}

// A mapped file cut short by another process after it was loaded: the image says where, a poll
// of the work on it answers a stop, and any fault found in the zeros is reported as the read
// error at the first lost page instead, never asked about.
TEST(HiveImage, FileCutShortUnderTheImageIsAReadError) {
  testing::TempDir dir;
  const std::string path = dir.Path("h");
  ASSERT_TRUE(testing::WriteFileBytes(path, FileOfSize(0x8000)));
  for (int way = 0; way < 2; ++way) {
    SCOPED_TRACE(way == 0 ? "a fault found in the zeros" : "the loss found at a stage end");
    EngineRig rig({kAnswerFix});
    FileHiveSource source(true);
    HiveImage image;
    ASSERT_EQ(LoadHive(image, rig.faults, source, path, std::nullopt), kLoadDone);
    if (!image.Mapped()) GTEST_SKIP() << "no views of files here";
    rig.faults.WatchImage(&image);
    WatchedProgress watched(rig.progress, image);
    EXPECT_TRUE(watched.PollProgress(0));
    EXPECT_FALSE(rig.faults.ReportLostImage());
    if (!testing::CutFileShort(path, 0x3000)) GTEST_SKIP() << "no mapped file can be cut short here";
    EXPECT_EQ(image.Buffer()[0x5000], 0);
    EXPECT_EQ(image.LostAt(), 0x5000u);
    EXPECT_FALSE(watched.PollProgress(0x5000));
    if (way == 0) {
      EXPECT_FALSE(rig.faults.ReportAndFix(kInvalidFrameSignature, 0x5000, FieldRef::Image32(image.Buffer() + 0x5000), 0));
      EXPECT_TRUE(rig.decider.asked.empty()) << "nothing found in zeros is asked about";
    }
    EXPECT_TRUE(rig.faults.ReportLostImage());
    EXPECT_EQ(rig.faults.Error().code, kFileReadError);
    EXPECT_EQ(rig.faults.Error().offset, 0x5000u);
    EXPECT_FALSE(rig.faults.Changed());
    EXPECT_EQ(rig.log.Count("! Error found: <File read error>"), 1);
    image.Release();
    EXPECT_EQ(image.LostAt(), 0x5000u) << "still known once the view is gone";
    ASSERT_TRUE(testing::WriteFileBytes(path, FileOfSize(0x8000)));
  }
}

// Loads bytes and runs the base block check with the given answers.
struct Checked {
  explicit Checked(std::vector<uint8_t> bytes, std::deque<uint32_t> answers = {}) : rig(std::move(answers)) {
    MemorySource source(std::move(bytes));
    loaded = LoadHive(image, rig.faults, source, "x", std::nullopt);
    if (loaded == kLoadDone) passed = CheckBaseBlock(image, rig.faults);
  }
  uint32_t Field(uint32_t at) { return Le32(image.Buffer() + at); }
  std::vector<uint32_t> AskedCodes() const {
    std::vector<uint32_t> codes;
    for (auto& [code, offset] : rig.decider.asked) codes.push_back(code);
    return codes;
  }
  EngineRig rig;
  HiveImage image;
  int loaded = 0;
  bool passed = false;
};

TEST(CheckBaseBlock, HealthyBlockPasses) {
  Checked c(HealthyHive(0x3000));
  EXPECT_TRUE(c.passed);
  EXPECT_TRUE(c.rig.decider.asked.empty());
  EXPECT_FALSE(c.rig.faults.Changed());
  EXPECT_EQ(c.image.declaredDataSize, 0x3000u);
  EXPECT_EQ(c.image.rootKeyOffset, Get32(HealthyHive(0x3000), base::kRootKeyOffset));
  EXPECT_EQ(c.rig.log.lines.back(), "* Header checked\r\n");
}

TEST(CheckBaseBlock, EachFieldRuleRaisesItsCodeAndRepairs) {
  struct Case {
    uint32_t at, bad, code, repaired;
  };
  const Case cases[] = {
      {base::kMinorVersion, 7, kInvalidFileVersion, 3},
      {base::kMinorVersion, 2, kInvalidFileVersion, 3},
      {base::kMinorVersion, 0xFFFFFFFF, kInvalidFileVersion, 3},
      {base::kMajorVersion, 2, kBrokenHeader, 1},
      {base::kFileType, 1, kBrokenHeader, 0},
      {base::kFileFormat, 0, kBrokenHeader, 1},
      {base::kClusteringFactor, 8, kBrokenHeader, 1},
      {base::kSecondarySequence, 7, kBrokenHeader, 1},
      {base::kHiveDataSize, 0, kInvalidSizeInfo, 0x1000},
      {base::kHiveDataSize, 0x2000, kInvalidSizeInfo, 0x1000},
      {base::kHiveDataSize, 0xFFFFF000, kInvalidSizeInfo, 0x1000},
      {base::kHiveDataSize, 0x0FFF, kInvalidSizeInfo, 0x1000},  // frames are whole pages
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> bytes = HealthyHive();
    Put32(bytes, k.at, k.bad);
    testing::StoreChecksum(bytes);
    Checked fixed(bytes, {kAnswerFix});
    EXPECT_TRUE(fixed.passed) << k.at;
    EXPECT_EQ(fixed.AskedCodes(), std::vector<uint32_t>{k.code}) << "field " << k.at << " = " << k.bad;
    EXPECT_EQ(fixed.Field(k.at), k.repaired) << k.at;
    // The checksum is stored without a report of its own.
    EXPECT_EQ(fixed.Field(base::kChecksum), HeaderChecksum(fixed.image.Buffer())) << k.at;
    EXPECT_TRUE(fixed.rig.faults.Changed());

    Checked stopped(bytes, {kAnswerStop});
    EXPECT_FALSE(stopped.passed) << k.at;
    EXPECT_EQ(stopped.rig.faults.Error().code, k.code);
    EXPECT_EQ(stopped.Field(k.at), k.bad) << "nothing is written without a fix";
    EXPECT_FALSE(stopped.rig.log.Has("* Header checked\r\n"));
  }
}

TEST(CheckBaseBlock, FaultsAreReportedInOrder) {
  std::vector<uint8_t> bytes = HealthyHive();
  Put32(bytes, base::kSecondarySequence, 9);
  Put32(bytes, base::kMinorVersion, 9);
  Put32(bytes, base::kFileType, 3);
  Put32(bytes, base::kChecksum, 0);
  Checked c(bytes, {kAnswerFixAll, kAnswerFix, kAnswerFix});
  EXPECT_TRUE(c.passed);
  // Version first, then the header fields in their order; the checksum follows the repairs silently.
  EXPECT_EQ(c.AskedCodes(), (std::vector<uint32_t>{kInvalidFileVersion, kBrokenHeader, kBrokenHeader}));
  EXPECT_EQ(c.Field(base::kFileType), 0u);
  EXPECT_EQ(c.Field(base::kSecondarySequence), 1u);
  EXPECT_EQ(c.Field(base::kChecksum), HeaderChecksum(c.image.Buffer()));
  EXPECT_EQ(c.rig.log.Count("! Error found: <Invalid hive header CRC>"), 0);
  EXPECT_EQ(c.rig.modes.Get(kInvalidFileVersion), kFixAll);
}

TEST(CheckBaseBlock, ChecksumAloneIsCode12) {
  std::vector<uint8_t> bytes = HealthyHive();
  uint32_t right = Get32(bytes, base::kChecksum);
  Put32(bytes, base::kChecksum, right ^ 0x100);
  Checked c(bytes, {kAnswerFix});
  EXPECT_TRUE(c.passed);
  EXPECT_EQ(c.AskedCodes(), std::vector<uint32_t>{kInvalidHeaderChecksum});
  EXPECT_EQ(c.Field(base::kChecksum), right);
  uint32_t xorOfWords = 0;
  for (uint32_t i = 0; i < 127; ++i) xorOfWords ^= Get32(bytes, i * 4);
  EXPECT_EQ(right, xorOfWords);
}

// Windows stores 1 where the XOR of the words is 0, and 0xFFFFFFFE where it is 0xFFFFFFFF: such a
// block is sound to the check and to log recovery alike, and the plain XOR is code 12.
TEST(CheckBaseBlock, ChecksumAsWindowsStoresItWhenTheXorIsZeroOrAllOnes) {
  for (uint32_t xorOfWords : {0u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> bytes = HealthyHive();
    Put32(bytes, 0x100, 0);
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 127; ++i) sum ^= Get32(bytes, i * 4);
    Put32(bytes, 0x100, sum ^ xorOfWords);  // the words now XOR to xorOfWords
    const uint32_t windows = xorOfWords == 0 ? 1u : 0xFFFFFFFEu;
    ASSERT_EQ(HeaderChecksum(bytes.data()), windows);
    Put32(bytes, base::kChecksum, windows);
    HiveImage image;
    ASSERT_TRUE(image.Allocate(static_cast<uint32_t>(bytes.size())));
    std::memcpy(image.Buffer(), bytes.data(), bytes.size());
    image.MarkLoaded();
    EXPECT_FALSE(IsDirty(image)) << "log recovery takes it as sound";
    EXPECT_TRUE(Checked(bytes).rig.decider.asked.empty());
    Put32(bytes, base::kChecksum, xorOfWords);
    Checked plain(bytes, {kAnswerFix});
    EXPECT_EQ(plain.AskedCodes(), std::vector<uint32_t>{kInvalidHeaderChecksum});
    EXPECT_EQ(plain.Field(base::kChecksum), windows);
  }
}

TEST(CheckBaseBlock, DamagedSignatureWithMatchingChecksumIsCode8Only) {
  std::vector<uint8_t> bytes = HealthyHive();
  bytes[1] = 'X';  // the stored checksum still matches the block with "regf"
  {
    Checked c(bytes, {kAnswerFix});
    EXPECT_TRUE(c.passed);
    EXPECT_EQ(c.AskedCodes(), std::vector<uint32_t>{kInvalidSignature});
    EXPECT_EQ(c.rig.decider.confirmations, 1);
    EXPECT_EQ(c.Field(base::kSignature), base::kSignatureValue);
  }
  {
    EngineRig rig({kAnswerFix});
    ScriptedDecider refuses({kAnswerFix}, false);
    FixModeTable modes;
    FaultReporter faults(EngineServices{modes, refuses, rig.progress, rig.log});
    MemorySource source(bytes);
    HiveImage image;
    ASSERT_EQ(LoadHive(image, faults, source, "x", std::nullopt), kLoadDone);
    EXPECT_FALSE(CheckBaseBlock(image, faults)) << "a refused confirmation leaves the fault";
    EXPECT_EQ(faults.Error().code, kInvalidSignature);
    EXPECT_FALSE(faults.Changed());
    EXPECT_EQ(image.Buffer()[1], 'X');
  }
}

TEST(CheckBaseBlock, SmallerDeclaredSizeLowersTheImage) {
  std::vector<uint8_t> bytes = FileOfSize(20480);
  Put32(bytes, base::kHiveDataSize, 8192);
  testing::StoreChecksum(bytes);
  Checked c(bytes);
  EXPECT_TRUE(c.passed);
  EXPECT_TRUE(c.rig.decider.asked.empty());
  EXPECT_EQ(c.image.Size(), 12288u);
  EXPECT_EQ(c.image.declaredDataSize, 8192u);
}

TEST(CheckBaseBlock, Versions13To16AreAccepted) {
  for (uint32_t minor : {3u, 4u, 5u, 6u}) {
    std::vector<uint8_t> bytes = HealthyHive();
    Put32(bytes, base::kMinorVersion, minor);
    testing::StoreChecksum(bytes);
    Checked c(bytes);
    EXPECT_TRUE(c.passed) << minor;
    EXPECT_TRUE(c.rig.decider.asked.empty()) << minor;
  }
}

TEST(HiveImage, ReleasedImageGivesNoBytes) {
  Checked c(HealthyHive());
  c.image.Release();
  EXPECT_EQ(c.image.AtFileOffset(0), nullptr);
  c.image.Release();  // twice is safe
}

}  // namespace
}  // namespace tarvos::hive
