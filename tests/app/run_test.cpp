// Whole runs of the program through a scripted console: stages, prompts, logs and exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "app/json.h"
#include "app/options.h"
#include "app/run.h"
#include "hive/layout.h"
#include "platform/headless_console.h"
#include "support/hive_builder.h"
#include "support/read_hives.h"
#include "support/temp_dir.h"

namespace tarvos::app {
namespace {

using testing::Get32;
using testing::Put32;

std::vector<uint8_t> Healthy() {
  testing::HiveBuilder builder;
  builder.AddKey(builder.Root(), "Software");
  return builder.Build();
}

// A hive that was being written when it was copied: its sequence numbers differ.
std::vector<uint8_t> Dirty() {
  std::vector<uint8_t> bytes = Healthy();
  Put32(bytes, hive::base::kSecondarySequence, 0);
  testing::StoreChecksum(bytes);
  return bytes;
}

bool WriteText(const std::string& path, const std::string& text) {
  return testing::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

class Run : public ::testing::Test {
 protected:
  std::string Hive(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir.Path(name);
    EXPECT_TRUE(testing::WriteFileBytes(path, bytes));
    return path;
  }
  int Go(std::vector<std::string> args, std::string keys = {}) {
    device = std::make_unique<platform::HeadlessConsole>(std::move(keys));
    return RunTarvos(args, *device);
  }
  std::string Out() const { return device->Stdout(); }

  testing::TempDir dir;
  std::unique_ptr<platform::HeadlessConsole> device;
};

TEST_F(Run, HealthyHiveInLineMode) {
  std::string hive = Hive("SYSTEM", Healthy());
  EXPECT_EQ(Go({"/t", hive}), 0);
  EXPECT_EQ(Out(), "\r\nProcessing file: " + hive + "...\r\nFile opened: " + hive +
                       "\r\nHive file loading...\r\nHive file loaded: " + hive + ", size: 8192\r\n"
                       "Processing frame structure...\r\nHeader checked\r\nFrame structure checked\r\n"
                       "Processing hive structure...\r\nHive structure checked\r\n"
                       "\r\n" + hive + ": clean\r\n1 hive: 1 clean; 0 faults found, 0 fixed\r\n")
      << "the run ends with a line a hive and the sums";
  EXPECT_FALSE(device->IsOpen()) << "the console is put back";
}

TEST_F(Run, DirtyHiveStoppedAtThePromptIsLeftAlone) {
  std::vector<uint8_t> bytes = Dirty();
  std::string hive = Hive("SECURITY", bytes);
  EXPECT_EQ(Go({"/t", hive}, "s"), kExitFaultsLeft);
  EXPECT_NE(Out().find("Error found: <Broken hive header>\r\nPress key to Fix/fix All/Stop [F|A|S]:s\r\n"
                       "Checking process cancelled\r\n"),
            std::string::npos)
      << Out();
  EXPECT_EQ(Out().find("Header checked"), std::string::npos);
  EXPECT_EQ(testing::ReadFileBytes(hive), bytes);
}

TEST_F(Run, FixedHiveNotSavedGivesExitCode5WithoutTouchingTheFile) {
  std::vector<uint8_t> bytes = Dirty();
  std::string hive = Hive("SAM", bytes);
  EXPECT_EQ(Go({"/t", hive}, "fc"), kExitHiveChanged | kExitFaultsLeft) << "changed, and the save question cancelled";
  EXPECT_NE(Out().find(":f\r\nAttempt to fix last error\r\nHeader checked\r\n"), std::string::npos) << Out();
  EXPECT_EQ(testing::ReadFileBytes(hive), bytes) << "nothing is saved before a save was chosen";
}

TEST_F(Run, FixAllHoldsAcrossFiles) {
  std::string a = Hive("A", Dirty());
  std::string b = Hive("B", Dirty());
  std::string list = dir.Path("hives.lst");
  ASSERT_TRUE(WriteText(list, a + "\n" + b + "\n"));
  EXPECT_EQ(Go({"/t", "@" + list}, "a"), kExitFaultsLeft) << "two files repaired, neither saved";
  std::string out = Out();
  EXPECT_EQ(out.find("Press key to Fix"), out.rfind("Press key to Fix")) << "the second file is fixed without a prompt";
  size_t fixes = 0;
  for (size_t at = out.find("Attempt to fix last error"); at != std::string::npos;
       at = out.find("Attempt to fix last error", at + 1)) {
    ++fixes;
  }
  EXPECT_EQ(fixes, 2u);
  EXPECT_NE(out.find("Entering \"Fix All\" mode for last error\r\n"), std::string::npos);
}

TEST_F(Run, ListWithOneNameKeepsTheSingleFileExitCode) {
  std::string a = Hive("A", Dirty());
  std::string list = dir.Path("one.lst");
  std::string text = a + "\r\n";
  ASSERT_TRUE(WriteText(list, text));
  EXPECT_EQ(Go({"/t", "@" + list}, "fc") & kExitHiveChanged, kExitHiveChanged);
}

TEST_F(Run, BrokenFrameSignatureFixedAndThePassGoesOn) {
  testing::HiveBuilder builder;
  builder.NewFrame(0x1000);
  builder.AddKey(builder.Root(), "Second");
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, 0x2000, 0x58585858);
  std::string hive = Hive("SYSTEM", bytes);
  EXPECT_EQ(Go({"/t", hive}, "fc") & kExitHiveChanged, kExitHiveChanged);
  EXPECT_NE(Out().find("Header checked\r\nError found: <Invalid frame signature> - 0x00002000\r\n"
                       "Press key to Fix/fix All/Stop [F|A|S]:f\r\nAttempt to fix last error\r\n"
                       "Frame structure checked\r\n"),
            std::string::npos)
      << Out();
}

TEST_F(Run, BadFilesAreReportedAndTheRunGoesOn) {
  std::string small = Hive("SMALL", std::vector<uint8_t>(8191, 0));
  std::vector<uint8_t> unaligned = Healthy();
  unaligned.push_back(0);
  std::string odd = Hive("ODD", unaligned);
  std::string good = Hive("GOOD", Healthy());
  std::string list = dir.Path("l.lst");
  std::string text = small + "\n" + odd + "\n" + good + "\n";
  ASSERT_TRUE(WriteText(list, text));
  EXPECT_EQ(Go({"/t", "@" + list}, "s"), kExitNotChecked | kExitFaultsLeft) << "too small; a fault left";
  std::string out = Out();
  EXPECT_NE(out.find("Error found: <Hive file is too small>\r\nChecking process cancelled\r\n"), std::string::npos);
  EXPECT_NE(out.find("Error found: <Size of hive file not aligned>\r\nPress key"), std::string::npos);
  EXPECT_NE(out.find("Hive file loaded: " + good + ", size: 8192\r\nProcessing frame structure...\r\nHeader checked"),
            std::string::npos)
      << "the file after an unfixed one is checked afresh";
}

TEST_F(Run, UnalignedHiveFixedIsChecked) {
  std::vector<uint8_t> bytes = Healthy();
  bytes.resize(12289, 0);
  std::string hive = Hive("ODD", bytes);
  EXPECT_EQ(Go({"/t", hive}, "fc") & kExitHiveChanged, kExitHiveChanged);
  EXPECT_NE(Out().find("size: 12289\r\n"), std::string::npos);
  EXPECT_NE(Out().find("Header checked"), std::string::npos);
}

// Inputs that cannot be checked: the run goes on, keeps its exit code, and says on standard
// error what it skipped and why; what is loaded but is no hive file is an input open error.
TEST_F(Run, SkippedInputsAreNamed) {
  namespace fs = std::filesystem;
  std::string good = Hive("GOOD", Healthy());
  fs::create_directory(dir.Path("FOLDER"));
  std::error_code ec;
  fs::create_symlink(dir.Path("gone"), dir.Path("DANGLING"), ec);
  bool links = !ec;
  testing::CommandOutput("mkfifo '" + dir.Path("FIFO") + "' 2>/dev/null");
  bool fifo = fs::is_fifo(dir.Path("FIFO"));
  ASSERT_TRUE(WriteText(dir.Path("bom.lst"), "\xEF\xBB\xBF" + good + "\r\n" + dir.Path("NONE") + "\r\n"));
  ASSERT_TRUE(WriteText(dir.Path("folder.lst"), dir.Path("FOLDER") + "\n"));
  struct Row {
    std::vector<std::string> args;
    bool when;
    std::string stderrText;  // every line, without the "TarvosD: " before each
    std::string stdoutHas;   // empty: nothing on standard output
    int exit = kExitNotChecked;
  };
  std::vector<Row> rows = {
      {{"/t", dir.Path("NONE")}, true, dir.Path("NONE") + ": no such file\n", ""},
      {{"/t", dir.Path("N*")}, true, dir.Path("N*") + ": no such file\n", ""},
      {{"/t", dir.Path("FOLDER")}, true, dir.Path("FOLDER") + ": is a folder\n", ""},
      {{"/t", dir.Path("DANGLING")}, links, dir.Path("DANGLING") + ": no such file\n", ""},
      {{"/t", "@" + dir.Path("missing.lst")}, true, dir.Path("missing.lst") + ": cannot read list file\n", ""},
      {{"/t", "@" + dir.Path("bom.lst")}, true, dir.Path("NONE") + ": no such file\n",
       "Hive file loaded: " + good + ", size: 8192\r\n"},
      {{"/t", "@" + dir.Path("folder.lst")}, true, "",
       "Error found: <Input file open error>\r\nChecking process cancelled\r\nOpen file error: " +
           dir.Path("FOLDER") + "\r\nReason: is a folder\r\n"},
      {{"/t", dir.Path("FIFO")}, fifo, "",
       "Open file error: " + dir.Path("FIFO") + "\r\nReason: not a regular file\r\n"},
      {{"/t", "/l:" + dir.Path("no/run.tlg"), good}, true, dir.Path("no/run.tlg") + ": cannot open log file\n",
       "Hive structure checked\r\n", kExitNothingChanged},
      {{dir.Path("NONE")}, true, dir.Path("NONE") + ": no such file\n", ""},
      {{"/t", good, "--help"}, true, "", "Usage: TarvosD", 2},
  };
  for (const Row& row : rows) {
    if (!row.when) continue;
    SCOPED_TRACE(row.args.back());
    EXPECT_EQ(Go(row.args), row.exit);
    std::string expected;
    for (size_t from = 0; from < row.stderrText.size();) {
      size_t end = row.stderrText.find('\n', from) + 1;
      expected += "TarvosD: " + row.stderrText.substr(from, end - from);
      from = end;
    }
    EXPECT_EQ(device->Stderr(), expected);
    if (row.stdoutHas.empty()) {
      EXPECT_EQ(Out().find("Processing file"), std::string::npos) << "no hive checked";
      EXPECT_NE(Out().find(": not checked: "), std::string::npos) << "and the last lines say so";
    } else {
      EXPECT_NE(Out().find(row.stdoutHas), std::string::npos) << Out();
    }
  }
}

TEST_F(Run, HelpAndItsExitCode) {
  std::string hive = Hive("SYSTEM", Healthy());
  EXPECT_EQ(Go({"/h"}), 2);
  std::string out = Out();
  EXPECT_EQ(out.rfind("Castellan v1.03, ", 0), 0u);
  size_t usage = out.find("Usage: TarvosD");
  ASSERT_NE(usage, std::string::npos);
  EXPECT_EQ(out.substr(usage), AssembleUsageText().help) << "the usage text ends the help";
  EXPECT_EQ(out.substr(usage - 4, 4), "\r\n\r\n") << "an empty line before the usage text";

  EXPECT_EQ(Go({"/s:C,"}), 2);
  EXPECT_EQ(Go({hive, "/h"}), 2);
  EXPECT_EQ(Go({"/h", "/t", hive}), 0);
  EXPECT_NE(Out().find("Header checked"), std::string::npos);
}

TEST_F(Run, ConsoleThatCannotBeSetUp) {
  std::string hive = Hive("SYSTEM", Dirty());
  device = std::make_unique<platform::HeadlessConsole>("f");
  device->SetOpenResult(platform::ConsoleOpen::NoConsole);
  EXPECT_EQ(RunTarvos({hive}, *device), kExitNotChecked);
  EXPECT_EQ(device->Stdout(), "");
  EXPECT_NE(device->Stderr(), "");
  EXPECT_EQ(device->KeysLeft(), 1u) << "no file was processed";
}

TEST_F(Run, NoHiveNamedAndNothingFound) {
  EXPECT_EQ(Go({}), 0);
  EXPECT_EQ(Out(), "");
}

TEST_F(Run, UnfixedErrorOfASingleHiveIsShownAtTheEndOutsideLineMode) {
  std::string hive = Hive("SYSTEM", Dirty());
  EXPECT_EQ(Go({hive}, "s\r"), kExitFaultsLeft);
  EXPECT_NE(device->Sent().find("Error on offset: 0x????????"), std::string::npos) << "the error window";
  EXPECT_NE(device->Sent().find("<Broken hive header>"), std::string::npos);
  const std::string last = "\r\n" + hive + ": 1 fault found, 0 fixed; fault left: Broken hive header\r\n" +
                           "1 hive: 1 fault left; 1 fault found, 0 fixed\r\n<Broken hive header>\r\n\r\nPress Enter to exit...\r\n";
  EXPECT_EQ(Out(), last) << "once the screen is closed: the hive's line, the sums, and the fault left";
  EXPECT_FALSE(device->ScreenBegun());
  EXPECT_EQ(device->KeysLeft(), 0u);

  EXPECT_EQ(Go({"/t", hive}, "s\r"), kExitFaultsLeft);
  EXPECT_EQ(Out().find("Press Enter to exit"), std::string::npos) << "line mode prints nothing at the end";
  EXPECT_EQ(device->KeysLeft(), 1u);
}

TEST_F(Run, AbortStopsLoadingAndLeavesLaterFilesUnloaded) {
  testing::ReadHives read;  // a mapped hive has no read to stop
  std::vector<uint8_t> big = Healthy();
  big.resize(4 * hive::kLoadChunkSize, 0);
  Put32(big, hive::base::kHiveDataSize, static_cast<uint32_t>(big.size() - hive::kBaseBlockSize));
  testing::StoreChecksum(big);
  std::string a = Hive("A.dat", big);
  std::string b = Hive("B.dat", Healthy());
  device = std::make_unique<platform::HeadlessConsole>("\x1bx");
  device->SetKeysSeenByPolls(true, 2);  // past the stage change and the first chunk
  EXPECT_EQ(RunTarvos({"/t", "/ln", dir.Path("*.dat")}, *device), kExitFaultsLeft) << "stopped";
  std::string out = device->Stdout();
  EXPECT_NE(out.find("Hive file loading...\r\nPress key to Continue/Exit [C|X]:x\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Hive file loaded"), std::string::npos);
  EXPECT_EQ(out.find("Processing file: " + b), std::string::npos) << "the later file is started but not loaded";
  std::vector<uint8_t> log = testing::ReadFileBytes(dir.Path("B.tlg"));
  std::string text(log.begin(), log.end());
  EXPECT_NE(text.find("Castellan started"), std::string::npos);
  EXPECT_NE(text.find("Castellan stopped"), std::string::npos);
  EXPECT_EQ(text.find(" - Processing"), std::string::npos) << "its own log holds nothing but the frame";
}

// Mapped, loading is immediate: the frame pass carries the gauge and answers Esc as the read does.
TEST_F(Run, AbortStopsTheFramePassOfAMappedHive) {
  if (!testing::MappingAvailable()) GTEST_SKIP() << "hives are read here";
  testing::HiveBuilder builder;
  builder.GrowTo(4 * hive::kLoadChunkSize);
  std::string a = Hive("A.dat", builder.Build());
  std::string b = Hive("B.dat", Healthy());
  device = std::make_unique<platform::HeadlessConsole>("\x1bx");
  device->SetKeysSeenByPolls(true, 4);  // a few frames into the pass
  EXPECT_EQ(RunTarvos({"/t", dir.Path("*.dat")}, *device), kExitFaultsLeft) << "stopped";
  std::string out = device->Stdout();
  EXPECT_NE(out.find("Hive file loaded: " + a), std::string::npos) << out;
  EXPECT_NE(out.find("Header checked\r\nPress key to Continue/Exit [C|X]:x\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Frame structure checked"), std::string::npos);
  EXPECT_EQ(out.find("Hive file loaded: " + b), std::string::npos) << "the later file is not loaded";
}

// A console that cuts a hive file short at the first prompt that waits for a key, as another
// process may while the run stands at a question.
class CuttingConsole : public platform::HeadlessConsole {
 public:
  CuttingConsole(std::string keys, std::string path, uint64_t size)
      : HeadlessConsole(std::move(keys)), path_(std::move(path)), size_(size) {}
  platform::ReadResult ReadKey(platform::KeyEvent& key, bool wait) override {
    if (wait && !tried_) {
      cut_ = testing::CutFileShort(path_, size_);
      tried_ = true;
    }
    return HeadlessConsole::ReadKey(key, wait);
  }
  bool Cut() const { return cut_; }

 private:
  std::string path_;
  uint64_t size_;
  bool tried_ = false;
  bool cut_ = false;
};

// A mapped hive cut short while the run waits at a question: the pages lost are a read error,
// as a read that fails is; nothing is saved, the file is left as the other process made it,
// and the run goes on with the next hive.
TEST_F(Run, MappedHiveCutShortIsAReadErrorAndTheRunGoesOn) {
  if (!testing::MappingAvailable()) GTEST_SKIP() << "hives are read here";
  testing::HiveBuilder builder;
  uint32_t parent = builder.Root();
  for (int i = 0; i < 200; ++i) parent = builder.AddKey(i % 20 == 0 ? builder.Root() : parent, "Key" + std::to_string(i));
  builder.GrowTo(0x40000);
  std::vector<uint8_t> bytes = builder.Build();
  Put32(bytes, hive::base::kClusteringFactor, 7);  // asked about before any frame is touched
  testing::StoreChecksum(bytes);
  std::string a = Hive("A.dat", bytes);
  std::string b = Hive("B.dat", Healthy());
  const uint64_t kept = 0x3000;
  auto cutting = std::make_unique<CuttingConsole>("aaaaoooo", a, kept);
  int code = RunTarvos({"/t", dir.Path("*.dat")}, *cutting);
  if (!cutting->Cut()) GTEST_SKIP() << "no mapped file can be cut short here";
  EXPECT_EQ(code, kExitNotChecked) << "the first could not be checked";
  std::string out = cutting->Stdout();
  size_t second = out.find("Processing file: " + b);
  ASSERT_NE(second, std::string::npos) << out;
  std::string first = out.substr(0, second);
  EXPECT_NE(first.find("<Broken hive header>"), std::string::npos) << first;
  EXPECT_NE(first.find("Error found: <File read error>"), std::string::npos) << first;
  EXPECT_EQ(first.find("Hive structure checked"), std::string::npos) << first;
  EXPECT_EQ(first.find("Do You want to save it"), std::string::npos) << "nothing is saved";
  EXPECT_NE(out.find("Hive structure checked", second), std::string::npos) << "the next hive is checked";
  std::vector<uint8_t> left = testing::ReadFileBytes(a);
  EXPECT_EQ(left, std::vector<uint8_t>(bytes.begin(), bytes.begin() + kept)) << "the file as the other process left it";
  EXPECT_FALSE(std::filesystem::exists(dir.Path("A.dat.BAK")));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("A.BAK")));
}

TEST_F(Run, OutsideLineModeEachCheckedFileEndsWithTheCompletionBox) {
  std::string a = Hive("A.dat", Healthy());
  std::string b = Hive("B.dat", Healthy());
  EXPECT_EQ(Go({dir.Path("*.dat")}, "\r\r"), 0);
  size_t first = device->Sent().find("Hive file checking complete");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(device->Sent().find("Hive file checking complete", first + 1), std::string::npos);
  EXPECT_EQ(Out(), "\r\n" + a + ": clean\r\n" + b + ": clean\r\n2 hives: 2 clean; 0 faults found, 0 fixed\r\n")
      << "once the screen is closed, a line a hive and the sums";
  EXPECT_EQ(device->KeysLeft(), 0u);
}

TEST_F(Run, AbortOutsideLineModeShowsTheBoxAndEndsTheList) {
  std::string a = Hive("A.dat", Healthy());
  std::string b = Hive("B.dat", Healthy());
  device = std::make_unique<platform::HeadlessConsole>("x\r\r");
  device->SetKeysSeenByPolls(true);
  EXPECT_EQ(RunTarvos({"/l:" + dir.Path("run.tlg"), dir.Path("*.dat")}, *device), kExitFaultsLeft) << "stopped";
  EXPECT_NE(device->Sent().find("Terminate program?"), std::string::npos) << "X opens the exit confirmation";
  EXPECT_NE(device->Sent().find("Operation aborted"), std::string::npos);
  std::vector<uint8_t> log = testing::ReadFileBytes(dir.Path("run.tlg"));
  EXPECT_EQ(std::string(log.begin(), log.end()).find("Processing file: " + b), std::string::npos) << "the list ends";
  EXPECT_EQ(device->KeysLeft(), 0u);
}

// What the progress window showed at each flush: the stage marked and the gauge's percentage.
class GaugeRecorder : public platform::HeadlessConsole {
 public:
  using HeadlessConsole::HeadlessConsole;
  void Present() override {
    HeadlessConsole::Present();
    const platform::ScreenModel& screen = cells_;
    int stage = -1;
    for (int row = 7; row < 11 && screen.Height() > 11; ++row) {
      if (screen.At(10, row).ch == 0x25BA) stage = row - 7;
    }
    std::string percent;
    for (int x = screen.Width() - 6; x < screen.Width() - 2 && screen.Height() > 3; ++x) {
      uint32_t ch = screen.At(x, screen.Height() - 3).ch;
      if (ch >= '0' && ch <= '9') percent += static_cast<char>(ch);
    }
    if (stage >= 0) shown.push_back({stage, percent.empty() ? -1 : std::stoi(percent)});
  }
  std::vector<std::pair<int, int>> shown;
};

// A hive whose walk on two cores gives up on a fault and starts again on one: the gauge of a
// stage never goes back, and a finished load shows 100% before the next stage starts.
TEST_F(Run, GaugeNeverGoesBackWithinAStage) {
  std::string shared = testing::SharedHivesDir();
  if (shared.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  std::vector<uint8_t> bytes = testing::ReadFileBytes(shared + "/damaged/BadListHive");
  ASSERT_FALSE(bytes.empty());
  std::string hive = Hive("BadListHive", bytes);
  GaugeRecorder recorder("aaaaaaaaaaaaaaaaaaaac\r");
  RunTarvos({hive}, recorder);
  ASSERT_GT(recorder.shown.size(), 4u);
  int stagesSeen = 0;
  for (size_t i = 1; i < recorder.shown.size(); ++i) {
    auto [stage, value] = recorder.shown[i];
    auto [before, was] = recorder.shown[i - 1];
    if (stage == before) {
      EXPECT_GE(value, was) << "stage " << stage << ", flush " << i;
    } else {
      ++stagesSeen;
      if (before == 0) {
        EXPECT_EQ(was, 100) << "the load's last value, before the next stage";
      }
    }
  }
  EXPECT_GE(stagesSeen, 2);
}

TEST_F(Run, LogFileHoldsTheSameEntriesWithMarkers) {
  std::string hive = Hive("SYSTEM", Dirty());
  std::string log = dir.Path("run.tlg");
  EXPECT_EQ(Go({"/t", "/l:" + log, hive}, "fc") & kExitHiveChanged, kExitHiveChanged);
  std::vector<uint8_t> bytes = testing::ReadFileBytes(log);
  std::string text(bytes.begin(), bytes.end());
  const char* sequence[] = {" Castellan Log ", "Castellan started", "\r\n\r\n* ", " - Processing file: ",
                            "* ", " - File opened: ", "* ", " - Hive file loading...", "* ", " - Hive file loaded: ",
                            "* ", " - Processing frame structure...", "! ", " - Error found: <Broken hive header>",
                            "# ", " - Attempt to fix last error", "* ", " - Header checked", "Castellan stopped"};
  size_t at = 0;
  for (const char* piece : sequence) {
    size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << "\n" << text;
    at = found + 1;
  }
  EXPECT_EQ(text.find("Press key"), std::string::npos) << "prompts are not logged";
}

// The text of one row of the screen at each flush, without the blanks around it.
class RowRecorder : public platform::HeadlessConsole {
 public:
  RowRecorder(std::string keys, int row) : HeadlessConsole(std::move(keys)), row_(row) {}
  void Present() override {
    HeadlessConsole::Present();
    const platform::ScreenModel& screen = cells_;
    if (screen.Height() <= row_) return;
    std::string text;
    for (int x = 0; x < screen.Width(); ++x) text += static_cast<char>(screen.At(x, row_).ch < 0x80 ? screen.At(x, row_).ch : '?');
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, text.find_first_not_of(' '));
    rows.push_back(text);
  }
  std::vector<std::string> rows;

 private:
  int row_;
};

// The exit code adds up what became of each hive, in line mode and on the full screen alike: the
// keys differ (the screen closes each hive with a box), the codes do not.
TEST_F(Run, ExitCodesAddUpWhatBecameOfEachHive) {
  struct Row {
    const char* what;
    std::vector<std::string> args;  // "H" a damaged hive, "G" a healthy one, "@L" a list of both
    std::string lineKeys;
    std::string screenKeys;
    int exit;
  };
  const std::vector<Row> rows = {
      {"healthy", {"G"}, "", "\r", kExitNothingChanged},
      {"check only, a fault", {"/n", "H"}, "", "\r", kExitFaultsLeft},
      {"check only, healthy", {"/n", "G"}, "", "\r", kExitNothingChanged},
      {"fixed and saved", {"H"}, "fo", "fo\r", kExitHiveChanged},
      {"fixed, the save cancelled", {"H"}, "fc", "fc\r", kExitHiveChanged | kExitFaultsLeft},
      {"stopped at the fault", {"H"}, "s", "s\r", kExitFaultsLeft},
      {"/o in a folder that is not there: nothing asked", {"/o:NOFOLDER/out", "H"}, "", "", kExitUsage},
      {"missing", {"MISSING"}, "", "", kExitNotChecked},
      {"check only with /o", {"/n", "/o:out", "H"}, "", "", kExitUsage},
      {"help", {"/?"}, "", "", kExitHelp},
      {"a list, check only", {"/n", "@L"}, "", "\r\r", kExitFaultsLeft},
      {"a list, fixed and saved", {"@L"}, "fo", "fo\r\r", kExitHiveChanged},
      {"a list, fixed, the save cancelled", {"@L"}, "fc", "fc\r\r", kExitFaultsLeft},
      {"a list with a name missing", {"@M"}, "", "\r", kExitNotChecked},
  };
  for (bool line : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(line ? "line mode: " : "full screen: ") + row.what);
      std::string damaged = Hive("H", Dirty());
      std::string healthy = Hive("G", Healthy());
      ASSERT_TRUE(WriteText(dir.Path("L"), damaged + "\n" + healthy + "\n"));
      ASSERT_TRUE(WriteText(dir.Path("M"), healthy + "\n" + dir.Path("MISSING") + "\n"));
      std::vector<std::string> args;
      if (line) args.push_back("/t");
      for (const std::string& arg : row.args) {
        args.push_back(arg == "H" || arg == "G" || arg == "MISSING" ? dir.Path(arg)
                       : arg.rfind("/o:", 0) == 0                    ? "/o:" + dir.Path(arg.substr(3))
                       : arg[0] == '@'                               ? "@" + dir.Path(arg.substr(1))
                                                                     : arg);
      }
      EXPECT_EQ(Go(args, line ? row.lineKeys : row.screenKeys), row.exit);
      EXPECT_EQ(device->KeysLeft(), 0u) << "every answer was asked for";
      std::filesystem::remove(dir.Path("H.BAK"));
    }
  }
}

// Check only: every fault logged and repaired in memory without a question, a line that counts
// them, and not a byte written beside the hive; on the full screen no fault window, the faults on
// the progress window, and a box with the count.
TEST_F(Run, CheckOnlyAsksNothingAndWritesNothing) {
  std::vector<uint8_t> bytes = Dirty();
  Put32(bytes, 0x1000, 0x58585858);  // a second fault, in the frame pass
  testing::StoreChecksum(bytes);
  std::string hive = Hive("NTUSER.DAT", bytes);
  EXPECT_EQ(Go({"/t", "/n", hive}), kExitFaultsLeft);
  std::string out = Out();
  EXPECT_NE(out.find("Error found: <Broken hive header>\r\nAttempt to fix last error\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error found: <Invalid frame signature> - 0x00001000\r\nAttempt to fix last error\r\n"),
            std::string::npos);
  EXPECT_NE(out.find("Hive structure checked\r\nCheck only: 2 faults found, nothing written\r\n"), std::string::npos);
  EXPECT_EQ(out.find("Press key"), std::string::npos) << "nothing is asked";
  EXPECT_EQ(testing::ReadFileBytes(hive), bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1) << "no backup, no other file";

  RowRecorder screen("\r", 12);
  EXPECT_EQ(RunTarvos({"/n", hive}, screen), kExitFaultsLeft);
  EXPECT_EQ(screen.Sent().find("Error on offset"), std::string::npos) << "no fault window";
  EXPECT_NE(std::find(screen.rows.begin(), screen.rows.end(), "Faults found: 2"), screen.rows.end())
      << "the progress window counts them";
  EXPECT_NE(screen.Sent().find("Check only: 2 faults found"), std::string::npos) << "the box at the end";
  EXPECT_EQ(screen.KeysLeft(), 0u);
  EXPECT_EQ(testing::ReadFileBytes(hive), bytes);

  std::string healthy = Hive("USRCLASS.DAT", Healthy());
  EXPECT_EQ(Go({"/t", "-n", healthy}), kExitNothingChanged);
  EXPECT_NE(Out().find("Check only: no fault found, nothing written\r\n"), std::string::npos);
}

// The report on standard output in line mode: only JSON there, one object per hive and the sum
// of the run, the text of the run on standard error. Names missing from the command line are
// hives not checked.
TEST_F(Run, ReportOnStandardOutputLeavesTheTextToStandardError) {
  std::string damaged = Hive("H", Dirty());
  std::string healthy = Hive("G", Healthy());
  std::string list = dir.Path("L");
  ASSERT_TRUE(WriteText(list, damaged + "\n" + healthy + "\n" + dir.Path("MISSING") + "\n"));
  EXPECT_EQ(Go({"/t", "/n", "/r:-", "@" + list}), kExitFaultsLeft | kExitNotChecked);
  // Three hives in the list's order, the missing one in its place, then the summary (their
  // fields are checked with a JSON parser by the shell test).
  std::vector<std::string> lines;
  for (size_t from = 0, end; (end = Out().find('\n', from)) != std::string::npos; from = end + 1) {
    lines.push_back(Out().substr(from, end - from));
  }
  ASSERT_EQ(lines.size(), 4u) << Out();
  std::string missing;
  AppendJsonString(missing, dir.Path("MISSING"));  // as JSON writes it: a Windows path's backslashes escaped
  EXPECT_NE(lines[0].find("\"status\":\"not saved\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"status\":\"clean\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"path\":" + missing + ","), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3].rfind("{\"type\":\"summary\"", 0), 0u) << lines[3];
  EXPECT_NE(device->Stderr().find("Check only: 1 fault found, nothing written\r\n"), std::string::npos);

  // A report that cannot be written: nothing is checked.
  EXPECT_EQ(Go({"/t", "/r:" + dir.Path("no/such/folder/r.jsonl"), healthy}), kExitNotChecked);
  EXPECT_NE(device->Stderr().find("cannot write report file"), std::string::npos);
}

// Keys that repairs cut off come back, and the report names each as the log does: the key, the
// keys below it, and the key it went back under (none for lost+found).
TEST_F(Run, ReportNamesTheKeysBroughtBackAsTheLogDoes) {
  struct Row {
    const char* what;
    const char* json;  // the report's array that holds them
    bool underRoot;
  };
  const std::vector<Row> rows = {
      {"a leaf of the root's index root dropped", "\"reconnected\":[{", true},
      {"a parent's cell freed: its keys under a key made to stand for it", "\"reconnected\":[{", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testing::HiveBuilder builder;
    for (const char* name : {"Alpha", "beta", "Gamma"}) builder.AddKey(builder.Root(), name);
    uint32_t parent = builder.AddKey(builder.Root(), "Parent");
    uint32_t x = builder.AddKey(parent, "X");
    builder.AddKey(x, "Y");
    builder.SetListKind(builder.Root(), testing::ListKind::IndexRoot, 2, testing::ListKind::HashLeaf);
    std::vector<uint8_t> bytes = builder.Build();
    if (row.underRoot) {
      Put32(bytes, testing::CellField(builder.ListOf(builder.Root()), hive::list::kEntries), 0x7FFFFFF8);
    } else {
      Put32(bytes, testing::CellField(parent, 0), 0u - Get32(bytes, testing::CellField(parent, 0)));
    }
    std::string hive = Hive("SOFTWARE", bytes);
    EXPECT_EQ(Go({"/t", "/n", "/r:-", hive}), kExitFaultsLeft);
    std::string report = Out().substr(0, Out().find('\n'));
    std::string text = device->Stderr();
    size_t found = 0;
    for (size_t at = text.find("Key "); at != std::string::npos; at = text.find("Key ", at + 1)) {
      unsigned key = 0, under = 0, keys = 0;
      std::string entry;
      if (std::sscanf(text.c_str() + at, "Key reconnected: 0x%X (%u keys) under 0x%X", &key, &keys, &under) == 3) {
        entry = "{\"key\":" + std::to_string(key) + ",\"keys\":" + std::to_string(keys) + ",\"under\":" + std::to_string(under) + "}";
      } else if (std::sscanf(text.c_str() + at, "Key moved to lost+found: 0x%X (%u keys)", &key, &keys) == 2) {
        entry = "{\"key\":" + std::to_string(key) + ",\"keys\":" + std::to_string(keys) + "}";
      } else {
        continue;
      }
      ++found;
      EXPECT_NE(report.find(entry), std::string::npos) << entry << "\n" << report;
    }
    EXPECT_GT(found, 0u) << text;
    EXPECT_NE(report.find(row.json), std::string::npos) << report;
  }
}

}  // namespace
}  // namespace tarvos::app
