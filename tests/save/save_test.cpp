// Saving a repaired hive: backups, /o and /p targets, chunked writes, stops, and split saves.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "save/names.h"
#include "save/save.h"
#include "support/hive_builder.h"
#include "support/scripted.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

// A disk that says at the flush that what was written is lost: the next flushes fail, as many
// as are asked for.
static std::atomic<int> flushesToFail{0};
extern "C" int fsync(int fd) {
  if (flushesToFail > 0) {
    --flushesToFail;
    errno = EIO;
    return -1;
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}
constexpr bool kFlushesCanFail = true;
#else
static std::atomic<int> flushesToFail{0};
constexpr bool kFlushesCanFail = false;  // FlushFileBuffers is not stood in for
#endif

namespace tarvos::save {
namespace {

using testing::ReadFileBytes;
using testing::WriteFileBytes;

class ScriptedQuestions final : public SaveQuestions {
 public:
  uint32_t AskSaveMode() override { return Next(); }
  uint32_t AskDriveLetter(const std::vector<platform::Drive>& drives, size_t& chosen) override {
    drivesShown = drives;
    uint32_t answer = Next();
    if (answer >= 'A' && answer <= 'Z') {
      for (size_t i = 0; i < drives.size(); ++i) {
        if (static_cast<uint32_t>(drives[i].letter) == answer) {
          chosen = i;
          return kAnswerChosen;
        }
      }
    }
    return kAnswerCancel;
  }
  uint32_t AskInsertDisk(char, uint32_t variant) override {
    insertVariants.push_back(variant);
    return Next();
  }
  uint32_t ShowInformation(uint32_t type, uint32_t argument) override {
    information.emplace_back(type, argument);
    return kAnswerOk;
  }
  uint32_t Next() {
    if (answers.empty()) return kAnswerCancel;
    uint32_t answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<uint32_t> answers;
  std::vector<platform::Drive> drivesShown;
  std::vector<uint32_t> insertVariants;
  std::vector<std::pair<uint32_t, uint32_t>> information;
};

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4093);
  return bytes;
}

// A saver over an image of the given bytes, for a hive file at path.
struct SaveRig {
  SaveRig(const std::vector<uint8_t>& bytes, const std::string& path, std::deque<uint32_t> answers, int stopAt = 0)
      : rig({}, stopAt) {
    questions.answers = std::move(answers);
    image.Allocate(static_cast<uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), image.Buffer());
    image.MarkLoaded();
    std::string name = path;
    original = ReadFileInfo(name);
  }
  HiveSaver Saver() { return HiveSaver(image, rig.faults, questions, targets, original); }
  testing::EngineRig rig;
  ScriptedQuestions questions;
  SaveTargets targets;
  hive::HiveImage image;
  std::optional<platform::FileInfo> original;
};

class Saving : public ::testing::Test {
 protected:
  std::string Hive(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir.Path(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  testing::TempDir dir;
};

TEST(BackupName, ByTheNameOnDisk) {
  EXPECT_EQ(HiveSaver::BackupName("SOFTWARE", "SOFTWARE"), "SOFTWARE.BAK");
  EXPECT_EQ(HiveSaver::BackupName("Software", "Software"), "Software.bak");
  EXPECT_EQ(HiveSaver::BackupName("NTUSER.DAT", "NTUSER.DAT"), "NTUSER.BAK");
  EXPECT_EQ(HiveSaver::BackupName("system.alt", "system.alt"), "system.bak");
  EXPECT_EQ(HiveSaver::BackupName("ntuser.data", "ntuser.data"), "ntuser.data.bak");
  EXPECT_EQ(HiveSaver::BackupName("SYSTEM", "system"), "SYSTEM.bak") << "the name as stored decides";
}

TEST(NextPartName, NumbersAndWrap) {
  std::string name = "SOFTWARE.000";
  EXPECT_EQ(HiveSaver::NextPartName(name, 0), 1u);
  EXPECT_EQ(name, "SOFTWARE.001");
  name = "x.999";
  EXPECT_EQ(HiveSaver::NextPartName(name, 999), 1u) << "after 999 comes 1";
  EXPECT_EQ(name, "x.001");
}

TEST_F(Saving, OverwriteInPlaceKeepsABackupOfTheOriginal) {
  std::vector<uint8_t> before = Pattern(8192);
  std::string hive = Hive("SYSTEM", before);
  std::vector<uint8_t> after = Pattern(8192);
  after[100] ^= 0xFF;
  SaveRig s(after, hive, {kAnswerOverwrite});
  EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
  EXPECT_EQ(ReadFileBytes(hive), after);
  EXPECT_EQ(ReadFileBytes(dir.Path("SYSTEM.BAK")), before);
  EXPECT_EQ(Files(), (std::vector<std::string>{"SYSTEM", "SYSTEM.BAK"})) << "no file left beside them";
  for (const char* line : {"* Overwrite mode selected\r\n", "# Backup created\r\n", "# File saved, size 8192\r\n"}) {
    EXPECT_TRUE(s.rig.log.Has(line)) << line;
  }
  EXPECT_TRUE(s.rig.log.Has("* Backing up original file with name " + dir.Path("SYSTEM.BAK") + "...\r\n"));
  platform::FileInfo saved;
  ASSERT_TRUE(platform::LookUp(hive, saved));
  EXPECT_EQ(saved.writeTime / 10000000, s.original->writeTime / 10000000) << "the original's time";
}

// A hive that is a view of its own file is saved over that file: the image is let go once it is
// written out (Windows replaces no file while it is mapped), and the backup holds the file as it
// was loaded. A file cut short by another process while it is written out is left so, the copy
// goes, and what the run reports is the read error at the first page lost, not a failed save.
TEST_F(Saving, MappedHiveIsSavedOverItsOwnFile) {
  const std::vector<uint8_t> before = Pattern(3 * kChunk);
  for (bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "cut short during the write" : "saved");
    std::string hive = Hive(cut ? "CUT" : "SYSTEM", before);
    SaveRig s(Pattern(4096), hive, {kAnswerOverwrite});
    hive::FileHiveSource source(true);
    ASSERT_EQ(hive::LoadHive(s.image, s.rig.faults, source, hive, std::nullopt), hive::kLoadDone);
    if (!s.image.Mapped()) GTEST_SKIP() << "no views of files here";
    s.rig.faults.WatchImage(&s.image);
    s.image.Buffer()[100] ^= 0xFF;  // a repair
    bool wasCut = false;
    s.rig.progress.onPoll = [&](uint32_t offset) {  // once the first chunk is written
      if (cut && offset == kChunk) wasCut = testing::CutFileShort(hive, kChunk);
    };
    EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
    if (cut && !wasCut) GTEST_SKIP() << "no mapped file can be cut short here";
    EXPECT_EQ(ReadFileBytes(hive + ".BAK"), before);
    std::vector<uint8_t> left = before;
    if (cut) left.resize(kChunk); else left[100] ^= 0xFF;
    EXPECT_EQ(ReadFileBytes(hive), left);
    EXPECT_EQ(s.rig.log.Has("# File saved, size 786432\r\n"), !cut);
    EXPECT_FALSE(s.rig.faults.IsErrorLeft()) << "the saver leaves no fault of its own";
    EXPECT_TRUE(cut || !s.image.Loaded()) << "let go";
    EXPECT_EQ(s.rig.faults.ReportLostImage(), cut);
    EXPECT_EQ(s.rig.faults.Error().code, cut ? hive::kFileReadError : hive::kNoError);
    EXPECT_EQ(s.rig.faults.Error().offset, cut ? kChunk : hive::kNullOffset) << "where the first page went";
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"CUT", "CUT.BAK", "SYSTEM", "SYSTEM.BAK"})) << "nothing left beside them";
}

TEST_F(Saving, ReadOnlyBackupIsReplaced) {
  std::string hive = Hive("Software", Pattern(8192));
  std::string backup = Hive("Software.bak", Pattern(100));
  ASSERT_TRUE(platform::SetAttributes(backup, platform::kAttrReadOnly));
  SaveRig s(Pattern(8192), hive, {kAnswerOverwrite});
  s.Saver().SaveWithFallback(hive);
  EXPECT_EQ(ReadFileBytes(backup).size(), 8192u);
}

TEST_F(Saving, CancelChangesNothing) {
  std::vector<uint8_t> before = Pattern(8192);
  std::string hive = Hive("SAM", before);
  SaveRig s(Pattern(4096), hive, {kAnswerCancel});
  EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
  EXPECT_EQ(ReadFileBytes(hive), before);
  EXPECT_EQ(Files(), std::vector<std::string>{"SAM"});
}

TEST_F(Saving, ChunksOf256KiBAndATail) {
  std::string hive = Hive("BIG", Pattern(10));
  std::vector<uint8_t> image = Pattern(3 * kChunk + 5);
  SaveRig s(image, hive, {kAnswerOverwrite});
  EXPECT_EQ(s.Saver().WriteHiveFile(dir.Path("OUT"), static_cast<uint32_t>(image.size()), 0, WriteMode::Disk, false),
            static_cast<int64_t>(image.size()));
  EXPECT_EQ(s.rig.progress.offsets, (std::vector<uint32_t>{0, kChunk, 2 * kChunk, 3 * kChunk, 3 * kChunk + 5}));
  EXPECT_EQ(s.rig.progress.gauge.back(), 1000u);
  EXPECT_EQ(ReadFileBytes(dir.Path("OUT")), image);
}

TEST_F(Saving, StopDuringTheWriteLeavesTheOriginalIntact) {
  std::vector<uint8_t> before = Pattern(3 * kChunk);
  std::string hive = Hive("SYSTEM", before);
  SaveRig s(Pattern(3 * kChunk), hive, {kAnswerOverwrite}, 3);
  HiveSaver saver = s.Saver();
  EXPECT_EQ(saver.SaveOnce(hive), 1);
  EXPECT_EQ(ReadFileBytes(hive), before);
  EXPECT_EQ(Files(), (std::vector<std::string>{"SYSTEM", "SYSTEM.BAK"})) << "nothing half-written is left";
  EXPECT_FALSE(s.rig.log.Has("# File saved, size 786432\r\n"));
}

TEST_F(Saving, ReadOnlyOriginalFailsAndStaysUnchanged) {
  std::vector<uint8_t> before = Pattern(8192);
  std::string hive = Hive("SYSTEM", before);
  ASSERT_TRUE(platform::SetAttributes(hive, platform::kAttrReadOnly));
  SaveRig s(Pattern(4096), hive, {kAnswerOverwrite});
  EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
  EXPECT_EQ(ReadFileBytes(hive), before);
  EXPECT_TRUE(s.rig.log.Has("! Saving file " + hive + " failed\r\n"));
  EXPECT_TRUE(s.rig.log.Has("! Reason: the hive file is read-only\r\n"));
  EXPECT_EQ(s.rig.faults.Error().code, hive::kOutputFileOpenError);
  EXPECT_FALSE(s.rig.log.Has("# File saved, size 4096\r\n"));
  platform::SetAttributes(hive, 0);
}

// A read-only hive saved onto a read-only file of the output name and into a new folder: what is
// written is never read-only.
TEST_F(Saving, OutputNameAndFolder) {
  std::vector<uint8_t> before = Pattern(8192);
  std::string hive = Hive("SYSTEM", before);
  std::string out = Hive("out.dat", Pattern(100));
  for (const std::string& file : {hive, out}) ASSERT_TRUE(platform::SetAttributes(file, platform::kAttrReadOnly));
  auto writable = [](const std::string& file) {
    platform::FileInfo info;
    return platform::LookUp(file, info) && (info.attributes & platform::kAttrReadOnly) == 0;
  };
  std::vector<uint8_t> after = Pattern(4096);
  {
    SaveRig s(after, hive, {kAnswerOverwrite});
    s.targets.outputName = out;
    s.targets.outputGiven = SwitchTarget::Elsewhere;
    EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
    EXPECT_EQ(ReadFileBytes(out), after);
    EXPECT_TRUE(writable(out));
    EXPECT_EQ(s.targets.outputGiven, SwitchTarget::Elsewhere);
  }
  {
    SaveRig s(after, hive, {kAnswerOverwrite});
    s.targets.outputFolder = dir.Path("fixed");
    s.targets.folderGiven = SwitchTarget::Elsewhere;
    EXPECT_EQ(s.Saver().SaveWithFallback(hive), 1);
    std::string saved = dir.Path("fixed") + platform::PathSeparator() + "SYSTEM";
    EXPECT_EQ(ReadFileBytes(saved), after);
    EXPECT_TRUE(writable(saved));
    EXPECT_TRUE(s.rig.log.Has("# Output folder created\r\n"));
  }
  EXPECT_EQ(ReadFileBytes(hive), before) << "the original untouched";
  EXPECT_FALSE(writable(hive)) << "and still read-only";
  EXPECT_EQ(Files(), (std::vector<std::string>{"SYSTEM", "fixed", "out.dat"})) << "no backup";
  platform::SetAttributes(hive, 0);
}

TEST_F(Saving, OutputNamingTheInputItselfSavesInPlace) {
  std::string hive = Hive("SYSTEM", Pattern(8192));
  std::string relative = std::filesystem::relative(hive).string();
  // Where names ignore case, the same name in another case is the same file.
  std::string otherCase = platform::IsPathSeparator('\\') ? dir.Path("system") : std::string();
  for (const std::string& alias : {hive, relative, otherCase}) {
    if (alias.empty()) continue;  // no relative path across drives
    SaveRig s(Pattern(4096), hive, {kAnswerOverwrite});
    s.targets.outputName = alias;
    s.targets.outputGiven = SwitchTarget::Elsewhere;
    s.Saver().SaveWithFallback(hive);
    EXPECT_EQ(s.targets.outputGiven, SwitchTarget::Input) << alias;
    EXPECT_TRUE(s.rig.log.Has("# Backup created\r\n")) << alias;
  }
  SaveRig s(Pattern(4096), hive, {kAnswerOverwrite});
  s.targets.outputFolder = dir.Dir().string();
  s.targets.folderGiven = SwitchTarget::Elsewhere;
  s.Saver().SaveWithFallback(hive);
  EXPECT_EQ(s.targets.folderGiven, SwitchTarget::Input);
  EXPECT_TRUE(s.rig.log.Has("# Backup created\r\n"));
}

TEST_F(Saving, FolderThatCannotBeMadeFallsBackToInPlace) {
  std::string hive = Hive("SYSTEM", Pattern(8192));
  SaveRig s(Pattern(4096), hive, {kAnswerOverwrite, kAnswerOverwrite});
  s.targets.outputFolder = dir.Path("no") + platform::PathSeparator() + "such";
  s.targets.folderGiven = SwitchTarget::Elsewhere;
  s.targets.folderLetter = 'P';
  s.Saver().SaveWithFallback(hive);
  EXPECT_TRUE(s.rig.log.Has("! Output folder failed\r\n"));
  ASSERT_EQ(s.questions.information.size(), 1u);
  EXPECT_EQ(s.questions.information[0], std::make_pair(kSavingFailed, uint32_t{'P'}));
  EXPECT_EQ(ReadFileBytes(hive).size(), 4096u) << "saved in place instead";
  EXPECT_EQ(s.targets.folderGiven, SwitchTarget::Elsewhere);
}

// Drives from the table that TARVOS_DRIVES gives.
void SetDrives(const std::string& table) {
  static std::string setting;
  setting = "TARVOS_DRIVES=" + table;
  putenv(setting.data());
}

// What a hostile but ordinary user can do to the folder of a hive, and what a save must then do.
// Each row: the hive's name, what is done before it is loaded (returns the name the hive is
// saved by; empty skips the row where the system cannot make it) and between loading and
// saving, and what every file holds afterwards: 'B' the original bytes, 'A' the repaired ones,
// 'C' the bytes someone else wrote meanwhile, 'V' a victim's bytes. Where no backup of the hive
// as it was loaded can be made, the box says so and disk mode writes the repaired hive to drive D.
TEST_F(Saving, FilesThatCanBeTrusted) {
  namespace fs = std::filesystem;
  const std::vector<uint8_t> kBefore = Pattern(8192), kChanged = Pattern(12288), kVictim = {'v', 'i', 'c'};
  std::vector<uint8_t> kAfter = kBefore;
  kAfter[200] ^= 0xFF;
  auto link = [](const std::string& to, const std::string& at) {
    std::error_code ec;
    fs::create_symlink(to, at, ec);
    return !ec;
  };
  struct Row {
    const char* what;
    const char* hive;
    std::function<std::string(const std::string& hive)> plant;
    std::function<void(const std::string& hive)> meanwhile;
    std::map<std::string, char> holds;  // every file of the folder afterwards
    std::vector<std::string> logged;
    bool toDisks = false;  // "Backup failed", its box, and disk mode
    bool whileWriting = false;  // meanwhile happens after the backup, while the new hive is written
    uint32_t error = hive::kNoError;
  };
  std::vector<Row> rows = {
      {"a hive named as its own backup", "sam.bak", nullptr, nullptr, {{"sam.bak", 'B'}, {"D/sam.bak", 'A'}},
       {"! Reason: the backup name is the hive's own name\r\n"}, true},
      {"planted links at the backup name and the old fixed temporary name", "SYSTEM",
       [&](const std::string& hive) {
         WriteFileBytes(dir.Path("victim"), kVictim);
         WriteFileBytes(dir.Path("victim2"), kVictim);
         return link(dir.Path("victim"), dir.Path("SYSTEM.BAK")) && link(dir.Path("victim2"), hive + ".tarvos-new")
                    ? hive : std::string();
       },
       nullptr, {{"SYSTEM", 'A'}, {"SYSTEM.BAK", 'B'}, {"victim", 'V'}, {"victim2", 'V'}, {"SYSTEM.tarvos-new", 'L'}},
       {"# File saved, size 8192\r\n"}},
      {"a hive named through a link", "SOFTWARE",
       [&](const std::string& hive) {
         fs::create_directory(dir.Path("real"));
         fs::rename(hive, dir.Path("real/SOFTWARE"));
         return link(dir.Path("real/SOFTWARE"), hive) ? hive : std::string();
       },
       nullptr, {{"SOFTWARE", 'L'}, {"real/SOFTWARE", 'A'}, {"real/SOFTWARE.BAK", 'B'}}, {}},
      {"a hive changed after loading", "SECURITY", nullptr,
       [&](const std::string& hive) { WriteFileBytes(hive, kChanged); }, {{"SECURITY", 'C'}, {"D/SECURITY", 'A'}},
       {"! Reason: the hive file changed after it was loaded\r\n"}, true},
      {"a hive replaced after loading", "DEFAULT", nullptr,
       [&](const std::string& hive) {
         WriteFileBytes(hive + ".new", kBefore);
         fs::rename(hive + ".new", hive);
       },
       {{"DEFAULT", 'B'}, {"D/DEFAULT", 'A'}}, {"! Reason: the hive file changed after it was loaded\r\n"}, true},
      {"a hive deleted after loading", "NTUSER.DAT", nullptr, [&](const std::string& hive) { fs::remove(hive); },
       {{"D/NTUSER.DAT", 'A'}}, {"! Reason: the hive file was removed after it was loaded\r\n"}, true},
      {"a hive replaced after its backup, while the repaired one is written", "SAM", nullptr,
       [&](const std::string& hive) {
         WriteFileBytes(hive + ".new", kChanged);
         fs::rename(hive + ".new", hive);
       },
       {{"SAM", 'C'}, {"SAM.BAK", 'B'}}, {"! Reason: the hive file changed after it was loaded\r\n"}, false, true,
       hive::kOutputFileOpenError},
      {"a repaired hive whose flush fails after its backup", "COMPONENTS",
       [](const std::string& hive) { return kFlushesCanFail ? hive : std::string(); },
       [](const std::string&) { flushesToFail = 1; }, {{"COMPONENTS", 'B'}, {"COMPONENTS.BAK", 'B'}},
       {"! Reason: " + std::string(std::strerror(EIO)) + "\r\n"}, false, true, hive::kOutputFileOpenError},
  };
  SetDrives("D=" + dir.Path("D") + ",fixed,100000000");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const auto& entry : fs::directory_iterator(dir.Dir())) fs::remove_all(entry.path());
    fs::create_directory(dir.Path("D"));
    std::string hive = Hive(row.hive, kBefore);
    std::string name = row.plant ? row.plant(hive) : hive;
    if (name.empty()) continue;  // no links here
    SaveRig s(kAfter, name, {kAnswerOverwrite, 'D'});
    bool happened = false;
    if (row.meanwhile && row.whileWriting) {
      s.rig.progress.onPoll = [&](uint32_t) {
        if (happened || !s.rig.log.Has("# Backup created\r\n")) return;
        happened = true;
        row.meanwhile(hive);
      };
    } else if (row.meanwhile) {
      row.meanwhile(hive);
    }
    s.Saver().SaveWithFallback(name);
    std::map<std::string, char> holds;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Dir())) {
      if (entry.is_directory() && !entry.is_symlink()) continue;
      std::vector<uint8_t> bytes = entry.is_symlink() ? std::vector<uint8_t>{} : ReadFileBytes(entry.path().string());
      char tag = entry.is_symlink() ? 'L' : bytes == kBefore ? 'B' : bytes == kAfter ? 'A' : bytes == kChanged ? 'C'
                                                                 : bytes == kVictim ? 'V' : '?';
      holds[entry.path().lexically_relative(dir.Dir()).generic_string()] = tag;
    }
    EXPECT_EQ(holds, row.holds);
    for (const std::string& line : row.logged) EXPECT_TRUE(s.rig.log.Has(line)) << line;
    EXPECT_EQ(s.rig.log.Has("! Backup failed\r\n"), row.toDisks);
    using Shown = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(s.questions.information, (row.toDisks ? Shown{{kBackupImpossible, 0}} : Shown{}));
    EXPECT_EQ(s.rig.faults.Error().code, row.error);
  }
  SetDrives("");
}

// Two hives of one run whose backup names meet, and what a backup keeps of its original.
TEST_F(Saving, BackupsOfOneRunNeverReplaceEachOther) {
  std::vector<uint8_t> dat = Pattern(8192), hiv = Pattern(4096);
  std::string a = Hive("a.dat", dat), b = Hive("a.hiv", hiv);
  const std::vector<uint8_t> older = Pattern(100);
  ASSERT_TRUE(testing::WriteFileBytes(dir.Path("a.bak1"), older));  // an earlier run's, kept too
  std::filesystem::permissions(a, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  platform::SetAttributes(a, platform::kAttrHidden | platform::kAttrSystem | platform::kAttrArchive);
  platform::FileInfo loaded;
  ASSERT_TRUE(platform::LookUp(a, loaded));
  SaveTargets run;
  for (const std::string& hive : {a, b}) {
    SaveRig s(Pattern(8192), hive, {kAnswerOverwrite});
    s.targets.backupsWritten = run.backupsWritten;
    s.Saver().SaveWithFallback(hive);
    run.backupsWritten = s.targets.backupsWritten;
    if (hive == b) {
      EXPECT_TRUE(s.rig.log.Has("* Backing up original file with name " + dir.Path("a.bak2") + "...\r\n"));
    }
  }
  EXPECT_EQ(ReadFileBytes(dir.Path("a.bak")), dat);
  EXPECT_EQ(ReadFileBytes(dir.Path("a.bak1")), older);
  EXPECT_EQ(ReadFileBytes(dir.Path("a.bak2")), hiv);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.bak", "a.bak1", "a.bak2", "a.dat", "a.hiv"}));
  platform::FileInfo original, backup, saved;
  ASSERT_TRUE(platform::LookUp(b, saved));
  ASSERT_TRUE(platform::LookUp(dir.Path("a.bak"), backup));
  ASSERT_TRUE(platform::LookUp(a, original));
  for (const platform::FileInfo* kept : {&backup, &original}) {
    EXPECT_EQ(kept->mode, loaded.mode) << "a 0600 hive keeps a 0600 backup, and stays 0600";
    EXPECT_EQ(kept->owner, loaded.owner);
    EXPECT_EQ(kept->attributes, loaded.attributes) << "hidden, system and archive";
    EXPECT_EQ(kept->writeTime, loaded.writeTime);
    EXPECT_EQ(kept->creationTime, loaded.creationTime);
  }
}

// A hive that another run is saving at this moment is not saved again over it: no backup of it
// can be made, and disk mode is offered instead.
TEST_F(Saving, HiveHeldByAnotherRunIsNotSaved) {
  std::vector<uint8_t> before = Pattern(8192);
  std::string hive = Hive("SYSTEM", before);
  std::atomic<int> step{0};
  std::thread other([&] {  // a lock of its own, as another process would hold
    platform::FileLock lock;
    std::string why;
    step = lock.Lock(hive, why) ? 1 : -1;
    while (step == 1) std::this_thread::yield();
  });
  while (step == 0) std::this_thread::yield();
  ASSERT_EQ(step, 1);
  SaveRig s(Pattern(4096), hive, {kAnswerOverwrite});
  s.Saver().SaveWithFallback(hive);
  step = 2;
  other.join();
  EXPECT_EQ(ReadFileBytes(hive), before);
  EXPECT_TRUE(s.rig.log.Has("! Reason: being saved by another run\r\n"));
  EXPECT_TRUE(s.rig.log.Has("! Backup failed\r\n"));
  EXPECT_EQ(s.questions.information, (std::vector<std::pair<uint32_t, uint32_t>>{{kBackupImpossible, 0}}));
  EXPECT_EQ(Files(), std::vector<std::string>{"SYSTEM"});
}

TEST_F(Saving, SplitOntoThreeFloppies) {
  std::string floppy = dir.Path("floppy");
  std::filesystem::create_directory(floppy);
  SetDrives("A=" + floppy + ",removable,1457664;C=" + dir.Path("none") + ",fixed,10");
  std::vector<uint8_t> image = Pattern(3000000);
  std::string hive = Hive("SOFTWARE", Pattern(10));
  SaveRig s(image, hive, {kAnswerDisk, 'A', kAnswerOk, kAnswerOk});
  s.Saver().SaveWithFallback(hive);
  SetDrives("");
  ASSERT_EQ(s.questions.drivesShown.size(), 2u);
  EXPECT_EQ(s.questions.insertVariants, (std::vector<uint32_t>{1, 1}));
  std::string base = floppy + platform::PathSeparator() + "SOFTWARE";
  std::vector<uint8_t> joined;
  for (const char* part : {".000", ".001", ".002"}) {
    std::vector<uint8_t> bytes = ReadFileBytes(base + part);
    joined.insert(joined.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(ReadFileBytes(base + ".000").size(), 1457664u);
  EXPECT_EQ(ReadFileBytes(base + ".001").size(), 1457664u);
  EXPECT_EQ(ReadFileBytes(base + ".002").size(), 84672u);
  EXPECT_EQ(joined, image);
  std::vector<uint8_t> batch = ReadFileBytes(floppy + platform::PathSeparator() + "REDIVIV.IRE");
  EXPECT_EQ(std::string(batch.begin(), batch.end()),
            "@echo off\r\ncopy /b SOFTWARE.000+SOFTWARE.001+SOFTWARE.002 SOFTWARE\r\n");
  ASSERT_FALSE(s.questions.information.empty());
  EXPECT_EQ(s.questions.information.back(), std::make_pair(kPartsSaved, 3u));
  EXPECT_TRUE(s.rig.log.Has("* Disk mode selected: " + floppy + "\r\n"));
  EXPECT_TRUE(s.rig.log.Has("# Batch file saved\r\n"));
}

TEST_F(Saving, SpaceOnDrives) {
  std::string folder = dir.Path("drive");
  std::filesystem::create_directory(folder);
  std::string hive = Hive("SAM", Pattern(10));
  std::string target = folder + platform::PathSeparator() + "SAM";
  {
    SetDrives("A=" + folder + ",removable,1023");
    SaveRig s(Pattern(8192), hive, {kAnswerDisk, 'A', kAnswerCancel});
    s.Saver().SaveWithFallback(hive);
    EXPECT_EQ(s.questions.insertVariants, std::vector<uint32_t>{2}) << "another disk, nothing written";
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  {
    SetDrives("D=" + folder + ",fixed,4096");
    SaveRig s(Pattern(8192), hive, {kAnswerDisk, 'D'});
    s.Saver().SaveWithFallback(hive);
    ASSERT_EQ(s.questions.information.size(), 1u);
    EXPECT_EQ(s.questions.information[0], std::make_pair(kNotEnoughSpace, uint32_t{'D'}));
    EXPECT_FALSE(std::filesystem::exists(target)) << "a fixed drive is never split";
  }
  {
    ASSERT_TRUE(WriteFileBytes(target, Pattern(5000)));  // replaced, so its size counts as free
    SetDrives("D=" + folder + ",fixed,4096");
    SaveRig s(Pattern(8192), hive, {kAnswerDisk, 'D'});
    s.Saver().SaveWithFallback(hive);
    EXPECT_TRUE(s.questions.information.empty());
    EXPECT_EQ(ReadFileBytes(target), Pattern(8192));
  }
  {
    SetDrives("A=" + dir.Path("absent") + ",removable,1457664");
    SaveRig s(Pattern(8192), hive, {kAnswerDisk, 'A', kAnswerCancel});
    s.Saver().SaveWithFallback(hive);
    EXPECT_EQ(s.questions.insertVariants, std::vector<uint32_t>{0}) << "no medium: insert a disk";
  }
  SetDrives("");
}

}  // namespace
}  // namespace tarvos::save
