// The log file: header, start and stop lines, entry forms, per-file names, and the echo of line
// mode.
#include <gtest/gtest.h>

#include "app/log.h"
#include "platform/headless_console.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::app {
namespace {

platform::LocalTime FixedTime() { return platform::LocalTime{2026, 3, 7, 9, 5, 1}; }

std::string Content(const std::string& path) {
  std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

const char kHeader[] = "\r\n=========================\r\n Castellan Log \r\n=========================\r\n";

struct LogRig {
  LogRig(bool tty, bool enabled, bool perFile, std::string name)
      : console(device), log(console, tty, enabled, perFile, std::move(name), FixedTime) {}
  platform::HeadlessConsole device;
  console::ConsoleState console;
  RunLog log;
};

TEST(RunLog, EntriesCarryMarkerAndTimeStamp) {
  testing::TempDir dir;
  std::string path = dir.Path("tarvos.tlg");
  LogRig rig(false, true, false, path);
  rig.log.OpenLog("ignored");
  rig.log.Break();
  rig.log.Entry(hive::LogMarker::Info, "Processing file: SYSTEM...\r\n");
  rig.log.Entry(hive::LogMarker::Error, "Error found: <Broken hive header>\r\n");
  rig.log.Entry(hive::LogMarker::Decision, "Attempt to fix last error\r\n");
  rig.log.CloseLog();
  std::string expected = std::string(kHeader) +
                         "\r\n+ 07-03-2026 09:05:01 - Castellan started\r\n"
                         "\r\n"
                         "* 07-03-2026 09:05:01 - Processing file: SYSTEM...\r\n"
                         "! 07-03-2026 09:05:01 - Error found: <Broken hive header>\r\n"
                         "# 07-03-2026 09:05:01 - Attempt to fix last error\r\n"
                         "\r\n+ 07-03-2026 09:05:01 - Castellan stopped\r\n";
  EXPECT_EQ(Content(path), expected);
  EXPECT_EQ(rig.device.Stdout(), "") << "nothing is echoed outside line mode";
}

TEST(RunLog, LineModeEchoesMessagesOnlyAndWritesNoFileWithoutL) {
  testing::TempDir dir;
  std::string path = dir.Path("tarvos.tlg");
  LogRig rig(true, false, false, path);
  rig.log.OpenLog("x");
  rig.log.Break();
  rig.log.Entry(hive::LogMarker::Info, "Hive file loading...\r\n");
  rig.log.CloseLog();
  EXPECT_EQ(rig.device.Stdout(), "\r\nHive file loading...\r\n");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(RunLog, RepeatedRunsAppendBehindTheirOwnHeaders) {
  testing::TempDir dir;
  std::string path = dir.Path("tarvos.tlg");
  for (int run = 0; run < 2; ++run) {
    LogRig rig(true, true, false, path);
    rig.log.OpenLog("x");
    rig.log.Entry(hive::LogMarker::Info, "Header checked\r\n");
    rig.log.CloseLog();
  }
  std::string content = Content(path);
  auto count = [&content](const std::string& what) {
    int n = 0;
    for (size_t at = content.find(what); at != std::string::npos; at = content.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(" Castellan Log "), 2);
  EXPECT_EQ(count("Castellan started"), 2);
  EXPECT_EQ(count("Castellan stopped"), 2);
  EXPECT_EQ(count("Header checked"), 2);
}

TEST(RunLog, PerFileLogIsNamedAfterTheHive) {
  testing::TempDir dir;
  LogRig rig(false, true, true, "tarvos.tlg");
  for (const char* hive : {"ntuser.dat", "SYSTEM", "a.b"}) {
    rig.log.OpenLog(dir.Path(hive));
    rig.log.Entry(hive::LogMarker::Info, std::string(hive) + "\r\n");
    rig.log.CloseLog();
    EXPECT_EQ(rig.log.Name(), "tarvos.tlg") << "the name returns to the default between files";
  }
  EXPECT_NE(Content(dir.Path("ntuser.tlg")).find("* 07-03-2026 09:05:01 - ntuser.dat\r\n"), std::string::npos);
  EXPECT_NE(Content(dir.Path("SYSTEM.tlg")).find("Castellan stopped"), std::string::npos);
  EXPECT_NE(Content(dir.Path("a.tlg")).find(kHeader), std::string::npos);
}

TEST(RunLog, UnopenableLogIsNamedOnceAndTheEchoGoesOn) {
  testing::TempDir dir;
  LogRig rig(true, true, false, dir.Path("missing-folder/run.txt"));
  rig.log.OpenLog("x");
  rig.log.Entry(hive::LogMarker::Info, "Header checked\r\n");
  rig.log.CloseLog();
  rig.log.CloseLog();
  EXPECT_EQ(rig.device.Stdout(), "Header checked\r\n");
  EXPECT_EQ(rig.device.Stderr(), "TarvosD: " + dir.Path("missing-folder/run.txt") + ": cannot open log file\n");
  EXPECT_FALSE(std::filesystem::exists(dir.Path("missing-folder")));
}

TEST(RunLog, CloseWithoutOpenWritesNothing) {
  testing::TempDir dir;
  std::string path = dir.Path("tarvos.tlg");
  LogRig rig(false, true, false, path);
  rig.log.CloseLog();
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tarvos::app
