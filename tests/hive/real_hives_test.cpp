// The base blocks of hives written by Windows and by other tools. Skipped when the shared hive
// folder is absent.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "hive/frames.h"
#include "hive/image.h"
#include "support/scripted.h"
#include "support/hive_builder.h"
#include "support/walked_hive.h"
#include "support/read_hives.h"
#include "support/temp_dir.h"

namespace tarvos::hive {
namespace {

// Counts the tests of the whole run skipped for want of the shared hives and says so once, at its end.
class SharedHivesNote : public ::testing::EmptyTestEventListener {
 public:
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (result.skipped() && std::string(result.message()).find(testing::kNoSharedHives) != std::string::npos) ++skipped_;
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    if (skipped_ > 0) {
      std::printf("%d tests skipped: no shared hive folder (../shared/hives, or the folder TARVOS_HIVES names)\n", skipped_);
    }
  }

 private:
  int skipped_ = 0;
};

[[maybe_unused]] const bool kNoteAdded = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new SharedHivesNote);
  return true;
}();

// Codes the base block check and the frame pass raise on each file, fixing everything; files not
// named are clean.
const std::map<std::string, std::vector<uint32_t>> kExpected = {
    {"damaged/BadBaseBlockHive", {kInvalidFileVersion, kBrokenHeader}},
    {"damaged/EffectiveSizeHive", {kInvalidSizeInfo}},  // its frames go on past the size its broken base block gives
    {"damaged/GarbageHive", {kSizeNotAligned, kInvalidHeaderChecksum}},
    {"damaged/TruncatedHive", {kInvalidSizeInfo}},
    {"windows/NTUSER_BAGMRU.DAT", {kBrokenHeader}},
    {"windows/SECURITY", {kBrokenHeader}},
    {"windows/UsrClass.dat", {kBrokenHeader}},
    {"windows/amcache.hve", {kBrokenHeader}},
    {"windows/transactions_NTUSER.DAT", {kBrokenHeader}},
};

TEST(RealHives, BaseBlocksAndFramesAsOtherReadersSeeThem) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  int files = 0;
  for (const char* folder : {"windows", "odd", "damaged"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(root) / folder)) {
      // Mapped as the program loads a plain file, and read into memory: the same findings.
      const std::vector<uint8_t> before = testing::ReadFileBytes(entry.path().string());
      for (bool mapped : {true, false}) {
        std::string name = std::string(folder) + "/" + entry.path().filename().string() + (mapped ? " (mapped)" : " (read)");
        std::deque<uint32_t> fixes(8, kAnswerFix);
        testing::EngineRig rig(fixes);
        FileHiveSource source(mapped);
        HiveImage image;
        ASSERT_EQ(LoadHive(image, rig.faults, source, entry.path().string(), std::nullopt), kLoadDone) << name;
        // A file cut off a page boundary is copied, to hold its last page whole, where the system
        // maps no more than the file.
        if (entry.file_size() % kPageSize == 0) {
          EXPECT_EQ(image.Mapped(), mapped && testing::MappingAvailable()) << name;
        }
        EXPECT_TRUE(CheckBaseBlock(image, rig.faults)) << name;
        FrameTable frames;
        EXPECT_TRUE(frames.Build(image, rig.faults)) << name;
        EXPECT_EQ(frames.OffsetCheck(image.rootKeyOffset), kOffsetValid) << name;
        std::vector<uint32_t> codes;
        for (auto& [code, offset] : rig.decider.asked) codes.push_back(code);
        auto expected = kExpected.find(std::string(folder) + "/" + entry.path().filename().string());
        EXPECT_EQ(codes, expected == kExpected.end() ? std::vector<uint32_t>{} : expected->second) << name;
        EXPECT_EQ(Le32(image.Buffer() + base::kChecksum), HeaderChecksum(image.Buffer())) << name;
        EXPECT_LE(image.Size(), entry.file_size()) << name;
        EXPECT_EQ(image.Size(), image.declaredDataSize + kBaseBlockSize) << name;
        if (mapped) {
          image.Release();
          EXPECT_EQ(testing::ReadFileBytes(entry.path().string()), before) << name << ": repairs stay in memory";
        }
        ++files;
      }
    }
  }
  EXPECT_GE(files, 60);
}

// What the checks after the walk repair in the security ring and the reference counts; every
// other hive keeps them as its writer left them (Windows counts exactly the keys of the tree that
// use each block, in every hive of windows/ and of logs/ once recovered). HealedHive keeps the key
// "cccc" out of its parent's list, as a repair left it: cccc's block, still in the ring, is used by
// no key of the tree and leaves the ring; and the root's block counts 8 keys where 4 use it (no
// key cell in the file, listed or not, accounts for the other 4).
const std::map<std::string, std::vector<std::string>> kRingRepairs = {
    {"odd/HealedHive",
     {"* Security block ring relinked (1 block)\r\n",
      "* Reference count of security block 0x00000098 set to 4 (was 8)\r\n"}},
};

// Keys the walk visits on every hive that another reader opens, against that reader's count.
TEST(RealHives, WalkFindsNoFaultAndEveryKeyOtherReadersList) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  auto hivexml = [](const std::filesystem::path& file) {
    return testing::CommandOutput("hivexml '" + file.string() + "' 2>/dev/null");
  };
  // Only where hivexml runs and reads the files as they are named here.
  bool haveHivex = hivexml(std::filesystem::path(root) / "windows" / "BCD").find("<hive") != std::string::npos;
  int compared = 0;
  for (const char* folder : {"windows", "odd"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(root) / folder)) {
      std::string name = std::string(folder) + "/" + entry.path().filename().string();
      testing::WalkedHive h(testing::ReadFileBytes(entry.path().string()), std::deque<uint32_t>(16, kAnswerFix));
      ASSERT_TRUE(h.passed) << name;
      testing::WalkedHive mapped(testing::WalkedHive::Mapped{}, testing::ReadFileBytes(entry.path().string()),
                                 std::deque<uint32_t>(16, kAnswerFix));
      EXPECT_EQ(mapped.AskedCodes(), h.AskedCodes()) << name << " mapped";
      EXPECT_EQ(mapped.walk.KeysVisited(), h.walk.KeysVisited()) << name << " mapped";
      EXPECT_EQ(mapped.Bytes(), h.Bytes()) << name << " mapped";
      EXPECT_EQ(h.outcome, WalkOutcome::Continue) << name;
      auto expected = kExpected.find(name);
      std::vector<uint32_t> codes = expected == kExpected.end() ? std::vector<uint32_t>{} : expected->second;
      // Made with two lists out of the order Windows searches ("а б г в"), each sorted; and with
      // two subkeys "4500" of one key, of which Windows finds one: the other is renamed apart.
      if (name == "odd/WrongOrderHive") codes = {kSubkeyListOutOfOrder, kSubkeyListOutOfOrder};
      if (name == "odd/DuplicateSubkeysHive") codes = {kInvalidKeyName};
      EXPECT_EQ(h.AskedCodes(), codes) << name;
      auto repairs = kRingRepairs.find(name);
      EXPECT_EQ(h.rig.log.Starting({"* Security block", "* Reference count"}),
                repairs == kRingRepairs.end() ? std::vector<std::string>{} : repairs->second)
          << name;
      if (!haveHivex) continue;
      std::string xml = hivexml(entry.path());
      if (xml.empty()) continue;  // a hive hivex refuses
      size_t nodes = 0;
      for (size_t at = xml.find("<node"); at != std::string::npos; at = xml.find("<node", at + 1)) ++nodes;
      EXPECT_EQ(h.walk.KeysVisited(), nodes) << name;
      ++compared;
    }
  }
  if (haveHivex) {
    EXPECT_GE(compared, 25);
  }
}

TEST(RealHives, DamagedHivesFixedAllCheckCleanTheSecondTime) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  // The keys each keeps, those a repair cut off found again (of the key cells intact in the file:
  // TruncatedHive 85, EffectiveSizeHive 5,003, BadListHive and BadSubkeyHive 7).
  const std::map<std::string, uint64_t> kKept = {
      {"TruncatedHive", 85}, {"EffectiveSizeHive", 5003}, {"BadListHive", 7}, {"BadSubkeyHive", 7}};
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(root) / "damaged")) {
    std::string name = entry.path().filename().string();
    testing::WalkedHive first(testing::ReadFileBytes(entry.path().string()), testing::FixAllAnswers());
    ASSERT_TRUE(first.passed) << name;
    EXPECT_EQ(first.outcome, WalkOutcome::Continue) << name;
    testing::WalkedHive second(first.Bytes());
    EXPECT_TRUE(second.passed) << name;
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{}) << name;
    auto kept = kKept.find(name);
    if (kept != kKept.end()) {
      EXPECT_EQ(second.walk.KeysVisited(), kept->second) << name;
    }
  }
  // A hive that checks clean is never changed by salvage: HealedHive keeps "cccc" out of its list.
  testing::WalkedHive healed(testing::ReadFileBytes((std::filesystem::path(root) / "odd" / "HealedHive").string()));
  EXPECT_FALSE(healed.salvaged);
}

}  // namespace
}  // namespace tarvos::hive
