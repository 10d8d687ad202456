// Recovery of dirty hives from their transaction logs: the real logs of ../shared/hives/logs, and
// built logs for everything that can break in one.
#include <gtest/gtest.h>

#include <filesystem>

#include "hive/layout.h"
#include "hive/log_files.h"
#include "hive/recovery.h"
#include "platform/file.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::hive {
namespace {

using testing::Get32;
using testing::Put32;

bool HasLine(const testing::RecordingLog& log, const std::string& start) {
  for (const std::string& line : log.lines) {
    if (line.rfind(start, 0) == 0) return true;
  }
  return false;
}

// What recovery gives on the real logs (their README), then a second check of the result.
TEST(Recovery, RealLogsAsWindowsAppliesThem) {
  std::string root = testing::SharedHivesDir();
  if (root.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  struct Row {
    const char* hive;
    std::vector<std::string> lines;  // in order; each the start of a line of the log
    uint32_t sequence;               // both numbers afterwards; 0: not recovered
    uint64_t keys;
    uint32_t minor = 3;              // the minor version afterwards
  };
  std::vector<Row> rows = {
      {"NewDirtyHive2/NewDirtyHive",
       {"! Transaction log refused: $/NewDirtyHive.LOG1 (older than the hive)",
        "* Transaction log applied: $/NewDirtyHive.LOG2, 3 entries", "* Hive recovered from transaction logs"},
       6, 5},
      {"BadBaseBlockHive/BadBaseBlockHive",
       {"* Transaction log applied: $/BadBaseBlockHive.LOG1, 64 pages", "* Hive recovered"}, 5, 5003},
      {"BadLogHive1/BadLogHive", {"! Transaction log refused: $/BadLogHive.LOG1 (base block checksum wrong)"}, 0, 0},
      {"BadLogHive2/BadLogHive", {"! Transaction log refused: $/BadLogHive.LOG1 (no dirty vector)"}, 0, 0},
      {"BadLogHive3/BadLogHive",
       {"! Transaction log refused: $/BadLogHive.LOG1 (base block checksum wrong)",
        "! Transaction log refused: $/BadLogHive.LOG2 (base block checksum wrong)"}, 0, 0},
      {"UsrClass/UsrClass.dat",
       {"* Transaction log applied: $/UsrClass.dat.LOG1, 4 entries",
        "* Transaction log applied: $/UsrClass.dat.LOG2, 10 entries", "* Hive recovered"}, 301, 6238},
      {"transactions_NTUSER/transactions_NTUSER.DAT",
       {"! Transaction log refused: $/transactions_NTUSER.DAT.log2 (older than the hive)",
        "* Transaction log applied: $/transactions_NTUSER.DAT.log1, 23 entries", "* Hive recovered"}, 589, 3105, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hive);
    std::filesystem::path file = std::filesystem::path(root) / "logs" / row.hive;
    std::vector<TransactionLog> logs = ReadTransactionLogs(file.string());
    testing::WalkedHive first(testing::ReadFileBytes(file.string()), testing::FixAllAnswers(), logs);
    ASSERT_TRUE(first.passed);
    std::vector<std::string> lines;
    for (const std::string& line : first.rig.log.lines) {
      if (line.find("Transaction log") != std::string::npos || line.find("recovered") != std::string::npos) {
        lines.push_back(line);
      }
    }
    ASSERT_EQ(lines.size(), row.lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string expected = row.lines[i];
      size_t dollar = expected.find('$');
      // The logs are named as found beside the file itself.
      if (dollar != std::string::npos) {
        expected.replace(dollar, 1, std::filesystem::path(platform::RealPath(file.string())).parent_path().string());
      }
      EXPECT_EQ(lines[i].rfind(expected, 0), 0u) << lines[i];
    }
    EXPECT_EQ(first.recovered, row.sequence != 0);
    if (row.sequence != 0) {
      EXPECT_EQ(Le32(first.image.Buffer() + base::kPrimarySequence), row.sequence);
      EXPECT_EQ(first.AskedCodes(), std::vector<uint32_t>{}) << "a recovered hive checks clean";
      EXPECT_EQ(first.walk.KeysVisited(), row.keys);
      EXPECT_TRUE(first.rig.faults.Changed()) << "so that it is saved";
    } else {
      EXPECT_EQ(first.AskedCodes().front(), kBrokenHeader) << "the described repair of the sequence numbers";
    }
    EXPECT_EQ(Le32(first.image.Buffer() + base::kMinorVersion), row.minor) << "BadBaseBlockHive's 1.1 is the log's 1.3";
    testing::WalkedHive second(first.Bytes());
    EXPECT_EQ(second.AskedCodes(), std::vector<uint32_t>{});
  }
}

// A dirty built hive (sequence numbers 10/9) and logs built for it.
class BuiltLogs : public ::testing::Test {
 protected:
  BuiltLogs() {
    testing::HiveBuilder builder;
    builder.AddKey(builder.AddKey(builder.Root(), "Software"), "Tarvos");
    hive = builder.Build();
    Put32(hive, base::kPrimarySequence, 10);
    Put32(hive, base::kSecondarySequence, 9);
    testing::StoreChecksum(hive);
  }
  struct Entry {
    uint32_t sequence;
    uint32_t dataSize;  // 0: the hive's
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> pages;
    bool badHash = false;
    uint32_t flags = 0;
  };
  // The first sector of the hive's base block as a log of the given type carries it.
  std::vector<uint8_t> LogBase(uint32_t type, uint32_t sequence) const {
    std::vector<uint8_t> log(hive.begin(), hive.begin() + txlog::kSector);
    Put32(log, base::kFileType, type);
    Put32(log, base::kPrimarySequence, sequence);
    Put32(log, base::kSecondarySequence, sequence);
    Put32(log, base::kChecksum, HeaderChecksum(log.data()));
    return log;
  }
  std::vector<uint8_t> EntryLog(uint32_t sequence, const std::vector<Entry>& entries) const {
    std::vector<uint8_t> log = LogBase(txlog::kFileTypeEntries, sequence);
    for (const Entry& e : entries) {
      std::vector<uint8_t> entry(txlog::kEntryHeaderSize + 8 * e.pages.size());
      Put32(entry, 0, txlog::kEntrySignature);
      Put32(entry, txlog::kEntryFlags, e.flags);
      Put32(entry, txlog::kEntrySequence, e.sequence);
      Put32(entry, txlog::kEntryDataSize, e.dataSize != 0 ? e.dataSize : Get32(hive, base::kHiveDataSize));
      Put32(entry, txlog::kEntryPageCount, static_cast<uint32_t>(e.pages.size()));
      for (size_t i = 0; i < e.pages.size(); ++i) {
        Put32(entry, static_cast<uint32_t>(txlog::kEntryHeaderSize + 8 * i), e.pages[i].first);
        Put32(entry, static_cast<uint32_t>(txlog::kEntryHeaderSize + 8 * i + 4), static_cast<uint32_t>(e.pages[i].second.size()));
        entry.insert(entry.end(), e.pages[i].second.begin(), e.pages[i].second.end());
      }
      entry.resize((entry.size() + txlog::kSector - 1) / txlog::kSector * txlog::kSector);
      Put32(entry, txlog::kEntrySize, static_cast<uint32_t>(entry.size()));
      uint64_t h1 = Marvin32(entry.data() + 40, entry.size() - 40, txlog::kMarvinSeed) ^ (e.badHash ? 1 : 0);
      Put32(entry, txlog::kEntryHash1, static_cast<uint32_t>(h1));
      Put32(entry, txlog::kEntryHash1 + 4, static_cast<uint32_t>(h1 >> 32));
      uint64_t h2 = Marvin32(entry.data(), 32, txlog::kMarvinSeed);
      Put32(entry, txlog::kEntryHash2, static_cast<uint32_t>(h2));
      Put32(entry, txlog::kEntryHash2 + 4, static_cast<uint32_t>(h2 >> 32));
      log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
  }
  // An old-format log: base block, dirty vector for dataSize bytes, then the pages marked.
  std::vector<uint8_t> DirtLog(uint32_t dataSize, const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& pages) {
    std::vector<uint8_t> log = LogBase(txlog::kFileTypeOld, 10);
    Put32(log, base::kHiveDataSize, dataSize);
    Put32(log, base::kChecksum, HeaderChecksum(log.data()));
    std::vector<uint8_t> vector(4 + dataSize / 4096, 0);
    Put32(vector, 0, txlog::kDirtSignature);
    for (auto& [offset, bytes] : pages) {
      for (uint32_t p = offset / 512; p < (offset + bytes.size()) / 512; ++p) vector[4 + p / 8] |= 1 << (p % 8);
    }
    vector.resize((vector.size() + 511) / 512 * 512);
    log.insert(log.end(), vector.begin(), vector.end());
    for (auto& page : pages) log.insert(log.end(), page.second.begin(), page.second.end());
    return log;
  }
  // The first frame's page with a mark in its time stamp, which nothing checks.
  std::vector<uint8_t> MarkedPage(char mark) const {
    std::vector<uint8_t> page(hive.begin() + kBaseBlockSize, hive.begin() + kBaseBlockSize + kPageSize);
    page[frame::kTimeStamp] = static_cast<uint8_t>(mark);
    return page;
  }
  // A frame of its own at hive offset at: a whole page holding one free cell.
  static std::vector<uint8_t> NewFrame(uint32_t at) {
    std::vector<uint8_t> page(kPageSize, 0);
    Put32(page, frame::kSignature, frame::kSignatureValue);
    Put32(page, frame::kOwnOffset, at);
    Put32(page, frame::kSize, kPageSize);
    Put32(page, frame::kHeaderSize, kPageSize - frame::kHeaderSize);
    return page;
  }
  std::vector<uint8_t> hive;
};

TEST_F(BuiltLogs, WhatBreaksIsNotApplied) {
  const uint32_t size = Get32(hive, base::kHiveDataSize);
  std::vector<uint8_t> grown = NewFrame(size);
  std::vector<uint8_t> shortLog = EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}});
  shortLog.resize(shortLog.size() - 512);
  std::vector<uint8_t> otherStamp = DirtLog(size, {{0, MarkedPage('A')}});
  Put32(otherStamp, base::kLastWriteTime, 12345);
  Put32(otherStamp, base::kChecksum, HeaderChecksum(otherStamp.data()));
  std::vector<uint8_t> cutVector = DirtLog(size * 256, {});
  cutVector.resize(600);
  std::vector<uint8_t> staleHeader = EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}, {11, 0, {{0, MarkedPage('B')}}}});
  // The second entry's data size changed after its header's hash was taken.
  Put32(staleHeader, txlog::kSector + Get32(staleHeader, txlog::kSector + txlog::kEntrySize) + txlog::kEntryDataSize, size + 1);
  std::vector<uint8_t> garbage(kPageSize);
  for (uint32_t i = 0; i < kPageSize; ++i) garbage[i] = static_cast<uint8_t>(i * 13 + 5);
  struct Row {
    const char* what;
    std::vector<uint8_t> log;
    std::string line;  // the start of a log line that must be there
    char mark;         // the first frame's mark afterwards (0: as built)
    uint32_t dataSize; // afterwards, 0: as built
    bool recovered;
    uint32_t flags = 0;                // the base block's afterwards
    std::vector<uint8_t> latest = {};  // a second log, hive.LOG2
    bool baseBroken = false;           // the hive's base block fails its checksum
  };
  std::vector<Row> rows = {
      {"two good entries", EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}, {11, 0, {{0, MarkedPage('B')}}}}),
       "* Transaction log applied: $, 2 entries", 'B', 0, true},
      {"a bad hash stops before it",
       EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}, {11, 0, {{0, MarkedPage('B')}}, true}}),
       "! Transaction log refused: $ (entry 11: hash wrong)", 'A', 0, true},
      {"a header changed after its hash was taken stops before it", staleHeader,
       "! Transaction log refused: $ (entry 11: hash wrong)", 'A', 0, true},
      {"an entry of a hive a transaction manager holds", EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}, false, txlog::kFlagKtmLocked}}),
       "* Transaction log applied: $, 1 entries", 'A', 0, true, txlog::kFlagKtmLocked},
      {"an invalid base block: only the latest log counts, with its own base block", EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}}),
       "! Transaction log refused: $ (not the latest log, and the hive's base block is invalid)", 'B', 0, true, 0,
       EntryLog(12, {{12, 0, {{0, MarkedPage('B')}}}}), true},
      {"a sequence gap stops before it", EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}, {12, 0, {{0, MarkedPage('B')}}}}),
       "* Transaction log applied: $, 1 entries", 'A', 0, true},
      {"an entry grows the hive", EntryLog(10, {{10, size + kPageSize, {{size, grown}}}}),
       "* Transaction log applied: $, 1 entries", 0, size + kPageSize, true},
      {"an entry past 2 GiB", EntryLog(10, {{10, 0x80000000u, {{0, MarkedPage('A')}}}}),
       "! Transaction log refused: $ (entry 10: it grows the hive past 2 GiB)", 0, 0, false},
      {"a log shorter than its entry", shortLog, "! Transaction log refused: $ (entry 10: the log is shorter", 0, 0, false},
      {"a log older than the hive", EntryLog(3, {{3, 0, {{0, MarkedPage('A')}}}}),
       "! Transaction log refused: $ (older than the hive)", 0, 0, false},
      {"old format", DirtLog(size, {{0, MarkedPage('A')}}), "* Transaction log applied: $, 8 pages", 'A', 0, true},
      {"old format of another hive", otherStamp, "! Transaction log refused: $ (written for another state", 0, 0, false},
      {"a dirty vector past the end of the log", cutVector, "! Transaction log refused: $ (the log is shorter than its dirty vector)", 0, 0, false},
      {"old format, garbage where the root's frame starts", DirtLog(size, {{0, garbage}}),
       "! Transaction log refused: $ (dirty frame at 0x00000000 is not sound)", 0, 0, false},
      {"an entry with garbage where a frame starts", EntryLog(10, {{10, 0, {{0, garbage}}}}),
       "! Transaction log refused: $ (entry 10: dirty frame at 0x00000000 is not sound)", 0, 0, false},
      {"old format, no page", DirtLog(size, {}), "! Transaction log refused: $ (no dirty pages)", 0, 0, false},
      {"old format growing the hive with no pages behind it", DirtLog(size + 256 * kPageSize, {{0, MarkedPage('A')}}),
       "! Transaction log refused: $ (it grows the hive without the pages of its new frames)", 0, 0, false},
      {"an entry of 1.5 KB claiming 2 GiB", EntryLog(10, {{10, 0x7FFFF000u, {{0, MarkedPage('A')}}}}),
       "! Transaction log refused: $ (entry 10: it grows the hive without the pages of its new frames)", 0, 0, false},
      {"a sound base block and no entry", EntryLog(10, {}), "! Transaction log refused: $ (no entries)", 0, 0, false},
      {"a dirty vector longer than the hive", DirtLog(size + 2 * kPageSize, {{size, NewFrame(size)}, {size + kPageSize, NewFrame(size + kPageSize)}}),
       "* Transaction log applied: $, 16 pages", 0, size + 2 * kPageSize, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempDir dir;
    std::string name = dir.Path("HIVE");
    std::vector<uint8_t> bytes = hive;
    if (row.baseBroken) Put32(bytes, base::kChecksum, Get32(bytes, base::kChecksum) ^ 1);
    testing::WriteFileBytes(name, bytes);
    testing::WriteFileBytes(dir.Path("hive.Log1"), row.log);  // Windows' disks keep whatever case
    if (!row.latest.empty()) testing::WriteFileBytes(dir.Path("hive.LOG2"), row.latest);
    std::vector<TransactionLog> logs = ReadTransactionLogs(name);
    ASSERT_EQ(logs.size(), row.latest.empty() ? 1u : 2u);
    testing::WalkedHive h(bytes, testing::FixAllAnswers(), logs);
    std::string line = row.line;
    line.replace(line.find('$'), 1, dir.Path("hive.Log1"));
    EXPECT_TRUE(HasLine(h.rig.log, line)) << line;
    EXPECT_EQ(h.recovered, row.recovered);
    ASSERT_TRUE(h.passed);
    EXPECT_EQ(h.image.Buffer()[kBaseBlockSize + frame::kTimeStamp], row.mark != 0 ? row.mark : hive[kBaseBlockSize + frame::kTimeStamp]);
    EXPECT_EQ(h.image.declaredDataSize, row.dataSize != 0 ? row.dataSize : size);
    EXPECT_EQ(Get32(h.Bytes(), base::kFlags), row.flags);
    // Recovered, the hive checks clean; refused, it gets the repair of its sequence numbers.
    EXPECT_EQ(h.AskedCodes(), row.recovered ? std::vector<uint32_t>{} : std::vector<uint32_t>{kBrokenHeader});
  }
}

// Only what lies beside the hive under its name counts; what cannot be read says why.
TEST_F(BuiltLogs, LogsBesideTheHive) {
  testing::TempDir dir;
  std::string name = dir.Path("System");
  testing::WriteFileBytes(name, hive);
  std::filesystem::create_directory(dir.Path("SYSTEM.LOG"));
  testing::WriteFileBytes(dir.Path("system.log2"), EntryLog(10, {{10, 0, {{0, MarkedPage('A')}}}}));
  testing::WriteFileBytes(dir.Path("System.LOG3"), EntryLog(10, {{10, 0, {{0, MarkedPage('B')}}}}));
  testing::WriteFileBytes(dir.Path("Other.LOG1"), EntryLog(10, {{10, 0, {{0, MarkedPage('C')}}}}));
  std::vector<TransactionLog> logs = ReadTransactionLogs(name);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_TRUE(IsLogBesideItsHive(dir.Path("system.log2"))) << "a log whatever it holds";
  EXPECT_FALSE(IsLogBesideItsHive(dir.Path("Other.LOG1"))) << "no hive of its name beside it";
  EXPECT_EQ(logs[0].name, dir.Path("SYSTEM.LOG"));
  EXPECT_EQ(logs[0].unreadable, "cannot be read: is a folder");
  EXPECT_EQ(logs[1].name, dir.Path("system.log2"));
  testing::WalkedHive h(hive, {}, logs);
  EXPECT_TRUE(HasLine(h.rig.log, "! Transaction log refused: " + dir.Path("SYSTEM.LOG") + " (cannot be read: is a folder)"));
  EXPECT_TRUE(h.recovered);
  EXPECT_EQ(h.image.Buffer()[kBaseBlockSize + frame::kTimeStamp], 'A');

  // One listing kept for the hives of a folder gives each its own logs, and is made again for
  // another folder.
  testing::WriteFileBytes(dir.Path("Other"), hive);
  FolderListing listing;
  EXPECT_EQ(ReadTransactionLogs(name, &listing).size(), 2u);
  std::vector<TransactionLog> other = ReadTransactionLogs(dir.Path("Other"), &listing);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].name, dir.Path("Other.LOG1"));
  EXPECT_TRUE(IsLogBesideItsHive(dir.Path("Other.LOG1"), &listing));
  testing::TempDir elsewhere;
  testing::WriteFileBytes(elsewhere.Path("System"), hive);
  EXPECT_TRUE(ReadTransactionLogs(elsewhere.Path("System"), &listing).empty());

  // Logs as large as they may be and holding nothing (sparse files): each is refused by its first
  // sector, the rest never read.
  testing::TempDir big;
  testing::WriteFileBytes(big.Path("HIVE"), hive);
  for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
    testing::WriteFileBytes(big.Path(std::string("HIVE") + suffix), {});
    std::filesystem::resize_file(big.Path(std::string("HIVE") + suffix), txlog::kMaxDataSize);
  }
  testing::WalkedHive sparse(hive, {}, ReadTransactionLogs(big.Path("HIVE")));
  EXPECT_FALSE(sparse.recovered);
  EXPECT_TRUE(HasLine(sparse.rig.log, "! Transaction log refused: " + big.Path("HIVE.LOG2") + " (no base block)"));

  testing::WalkedHive clean(h.Bytes(), {}, logs);
  EXPECT_FALSE(clean.recovered) << "a clean hive takes nothing from its logs";
  HiveImage image;
  image.Allocate(kMinHiveFileSize);
  EXPECT_TRUE(logs[1].bytes.empty()) << "a log is read as recovery goes, never whole";
  std::vector<uint8_t> logBytes = testing::ReadFileBytes(logs[1].path);
  std::copy(logBytes.begin(), logBytes.begin() + txlog::kSector, image.Buffer());
  image.MarkLoaded();
  EXPECT_TRUE(IsTransactionLogFile(dir.Path("system.log2"), image));
  EXPECT_FALSE(IsTransactionLogFile(dir.Path("system"), image)) << "only under a log's name";
}

}  // namespace
}  // namespace tarvos::hive
