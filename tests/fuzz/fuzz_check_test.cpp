// The fuzz targets' own parts: the one-thread check they run gives what the program's check gives,
// and their mutator changes one field of one cell and nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "fuzz/fuzz_check.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::fuzz {
namespace {

using testing::HiveBuilder;
using testing::Put32;
using testing::WalkedHive;

struct Sample {
  HiveBuilder builder;
  uint32_t a = 0, b = 0, value = 0;
  std::vector<uint8_t> bytes;
  Sample() {
    a = builder.AddKey(builder.Root(), "Alpha");
    b = builder.AddKey(a, "Beta");
    builder.AddKey(a, "Gamma");
    value = builder.AddValue(b, "Data", 3, std::vector<uint8_t>(40, 7));
    bytes = builder.Build();
  }
};

// A subkey list broken so that keys are cut off and salvage brings them back: the lean check (one
// thread, bytes read in place, no log kept) asks what the threaded one asks and leaves the same bytes.
TEST(FuzzHarness, LeanCheckGivesWhatTheProgramsCheckGives) {
  Sample s;
  Put32(s.bytes, s.builder.ListOf(s.a) + 0x1000 + 4, 0x6B6E);  // the list's signature: not a list
  WalkedHive full(s.bytes, testing::FixAllAnswers());
  SpanSource source(s.bytes.data(), s.bytes.size());
  WalkedHive lean(WalkedHive::Lean{}, source, testing::FixAllAnswers());
  ASSERT_TRUE(full.passed);
  ASSERT_TRUE(lean.passed);
  EXPECT_FALSE(full.AskedCodes().empty());
  EXPECT_EQ(lean.AskedCodes(), full.AskedCodes());
  EXPECT_EQ(lean.salvaged, full.salvaged);
  EXPECT_EQ(lean.Bytes(), full.Bytes());
  EXPECT_TRUE(lean.rig.log.lines.empty()) << "the lean check keeps no log";
  EXPECT_FALSE(full.rig.log.lines.empty());
  EXPECT_EQ(lean.startSize, s.bytes.size());
}

TEST(FuzzMutator, FindsEveryCellInUse) {
  Sample s;
  std::set<size_t> found;
  for (const FoundCell& c : CellsOf(s.bytes.data(), s.bytes.size())) found.insert(c.at - kBaseBlockSize);
  for (uint32_t cell : {s.builder.Root(), s.a, s.b, s.value, s.builder.ListOf(s.a), s.builder.Security()}) {
    EXPECT_TRUE(found.count(cell)) << std::hex << cell;
  }
}

// Each mutation changes the bytes of one field: up to 4 bytes in one cell in use, or a field of the
// base block and its checksum; over many, fields of keys, lists and values are all reached.
TEST(FuzzMutator, ChangesOneFieldOfOneCell) {
  Sample s;
  std::vector<FoundCell> cells = CellsOf(s.bytes.data(), s.bytes.size());
  std::set<uint16_t> signatures;
  int baseBlock = 0;
  for (unsigned seed = 0; seed < 400; ++seed) {
    std::vector<uint8_t> bytes = s.bytes;
    FieldRng rng(seed);
    ASSERT_TRUE(MutateOneField(bytes.data(), bytes.size(), rng));
    std::vector<size_t> changed;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != s.bytes[i]) changed.push_back(i);
    }
    if (changed.empty()) continue;  // a value that happened to be the old one
    if (changed.back() < kBaseBlockSize) {
      ++baseBlock;
      EXPECT_EQ(Le32(bytes.data() + base::kChecksum), HeaderChecksum(bytes.data())) << seed;
      for (size_t at : changed) {
        const bool root = at >= base::kRootKeyOffset && at < base::kRootKeyOffset + 4;
        const bool size = at >= base::kHiveDataSize && at < base::kHiveDataSize + 4;
        EXPECT_TRUE(root || size || (at >= base::kChecksum && at < base::kChecksum + 4)) << seed << " " << at;
      }
      continue;
    }
    EXPECT_LE(changed.back() - changed.front(), 3u) << seed;
    const FoundCell* in = nullptr;
    for (const FoundCell& c : cells) {
      if (changed.front() >= c.at && changed.back() < c.at + c.space) in = &c;
    }
    ASSERT_NE(in, nullptr) << "seed " << seed << " changed bytes outside any cell in use at " << changed.front();
    signatures.insert(Le16(s.bytes.data() + in->at + cell::kSignature));
  }
  EXPECT_GT(baseBlock, 0);
  for (uint16_t kind : {cell::kKeySignature, cell::kValueSignature, cell::kSecuritySignature}) {
    EXPECT_TRUE(signatures.count(kind)) << std::hex << kind;
  }
}

TEST(FuzzMutator, NothingToChangeWithoutCells) {
  std::vector<uint8_t> blank(0x3000, 0);
  FieldRng rng(1);
  EXPECT_FALSE(MutateOneField(blank.data(), blank.size(), rng));
  EXPECT_TRUE(CellsOf(blank.data(), 100).empty()) << "shorter than the base block";
}

}  // namespace
}  // namespace tarvos::fuzz

namespace tarvos::fuzz {
namespace {

// What the fuzzer found, kept in tests/fuzz/findings: each input, as the check target cuts it into
// a hive and a log, is checked with Fix All, and its result checks clean.
TEST(FuzzFindings, EachResultChecksClean) {
  const std::filesystem::path folder = std::filesystem::path(TARVOS_SOURCE_DIR) / "tests" / "fuzz" / "findings";
  std::error_code ec;
  size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind("check-", 0) != 0) continue;
    std::vector<uint8_t> data = testing::ReadFileBytes(entry.path().string());
    if (data.size() < 4) continue;
    SCOPED_TRACE(entry.path().filename().string());
    const size_t hiveLength = Le32(data.data()) % (data.size() - 4 + 1);
    std::vector<TransactionLog> logs;
    if (data.size() - 4 > hiveLength) {
      logs.resize(1);
      logs[0].name = "hive.LOG1";
      logs[0].bytes.assign(data.begin() + 4 + static_cast<std::ptrdiff_t>(hiveLength), data.end());
    }
    SpanSource source(data.data() + 4, hiveLength);
    WalkedHive first(WalkedHive::Lean{}, source, testing::FixAllAnswers(), logs);
    ++replayed;
    if (!first.passed || first.rig.faults.IsErrorLeft()) continue;
    SpanSource again(first.image.Buffer(), first.image.Size());
    WalkedHive second(WalkedHive::Lean{}, again, testing::FixAllAnswers(), logs);
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{});
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace tarvos::fuzz
