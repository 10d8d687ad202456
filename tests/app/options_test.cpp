// The command line: switch rules, hive names, list files and the usage text.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "app/options.h"
#include "platform/screen_model.h"
#include "support/temp_dir.h"

namespace tarvos::app {
namespace {

using testing::TempDir;

void Touch(const std::string& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

// The names of a list, all taken, as a run takes them.
std::vector<std::string> TakeAll(HiveList& list, std::vector<SkippedInput>* skipped = nullptr) {
  std::vector<std::string> names;
  for (std::string name; list.Next(name, skipped);) names.push_back(name);
  return names;
}

// A command line parsed, and every name it gives taken.
struct Parsed {
  explicit Parsed(std::vector<std::string> args) {
    ParseCommandLine(args, options, list);
    names = TakeAll(list, &options.skipped);
  }
  RunOptions options;
  HiveList list;
  std::vector<std::string> names;
};

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    hive = dir.Path("SYSTEM");
    Touch(hive);
  }
  TempDir dir;
  std::string hive;
};

TEST(UsageText, SwitchesThenExitCodesInThreePieces) {
  UsageText usage = AssembleUsageText();
  EXPECT_EQ(usage.help.rfind("Usage: TarvosD [<hive_file>|@<listfile> [<switches>]]\r\n\r\n<switches>\r\n", 0), 0u);
  EXPECT_NE(usage.help.find("\r\n  /l            - write log file \"tarvos.tlg\"\r\n"), std::string::npos)
      << "the default log name in its place";
  EXPECT_NE(usage.help.find("\r\n  /h, /?        - print help\r\n\r\nExit code: 0 clean, "), std::string::npos);
  // Every line ends in CR LF, every option line has its dash in the 17th column, and every line
  // fits the help window's text (its width less frame and margins).
  ASSERT_GE(usage.help.size(), 2u);
  EXPECT_EQ(usage.help.substr(usage.help.size() - 2), "\r\n");
  const int width = 60 - 4;
  for (size_t from = 0, end; (end = usage.help.find("\r\n", from)) != std::string::npos; from = end + 2) {
    const std::string line = usage.help.substr(from, end - from);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_LE(line.size(), static_cast<size_t>(width)) << line;
    if (line.rfind("  /", 0) == 0) {
      EXPECT_EQ(line[16], '-') << line;
    }
  }
  // The window's text is the same, with line feeds only.
  std::string box = usage.help;
  box.erase(std::remove(box.begin(), box.end(), '\r'), box.end());
  std::string shown = usage.box;
  shown.erase(std::remove(shown.begin(), shown.end(), ' '), shown.end());
  box.erase(std::remove(box.begin(), box.end(), ' '), box.end());
  EXPECT_EQ(shown, box);
}

TEST_F(CommandLine, TtySwitchInAnyCaseAndLength) {
  for (const char* tty : {"/t", "/T", "-t", "/tty"}) {
    Parsed p({tty, hive});
    EXPECT_TRUE(p.options.ttyMode) << tty;
    EXPECT_FALSE(p.options.helpRequested) << tty;
    ASSERT_EQ(p.names.size(), 1u);
    EXPECT_EQ(p.names[0], hive);
  }
}

TEST_F(CommandLine, LogSwitchForms) {
  Parsed l({"/l", hive});
  EXPECT_TRUE(l.options.logEnabled);
  EXPECT_EQ(l.options.logFileName, "tarvos.tlg");
  EXPECT_FALSE(l.options.perFileLog);

  Parsed ln({"/ln", hive});
  EXPECT_TRUE(ln.options.perFileLog);
  EXPECT_EQ(ln.options.logFileName, "tarvos.tlg");

  Parsed upper({"/LN", hive});
  EXPECT_TRUE(upper.options.logEnabled);
  EXPECT_FALSE(upper.options.perFileLog) << "only a lower-case n asks for a log per file";

  Parsed named({"/l:/var/log/x.tlg", hive});
  EXPECT_EQ(named.options.logFileName, "/var/log/x.tlg");
  EXPECT_FALSE(named.options.helpRequested);

  Parsed empty({hive, "/l:"});
  EXPECT_TRUE(empty.options.helpRequested);
}

TEST_F(CommandLine, SwitchesWithMissingTextAskForHelp) {
  for (const char* bad : {"/l:", "/o", "/o:", "/p:", "/p", "/s:", "/h", "/?", "-H"}) {
    Parsed p({hive, bad});
    EXPECT_TRUE(p.options.helpRequested) << bad;
  }
  Parsed ok({hive, "/p:out", "/o:x.dat", "/m", "/z", "-"});
  EXPECT_FALSE(ok.options.helpRequested);
  EXPECT_EQ(ok.options.outputFolder, "out");
  EXPECT_TRUE(ok.options.folderGiven);
  EXPECT_EQ(ok.options.outputFileName, "x.dat");
  EXPECT_TRUE(ok.options.outputGiven);
  EXPECT_TRUE(ok.options.mouseDisabled);
}

TEST_F(CommandLine, DriveListsOfASearch) {
  Parsed cd({"/s:c,d"});
  EXPECT_FALSE(cd.options.helpRequested);
  EXPECT_TRUE(cd.options.searchDisks);
  EXPECT_EQ(cd.options.driveList, "C,D");
  for (const char* bad : {"/s:C,", "/s:CDE", "/s:1,2", "/s:C;D", "/s:"}) {
    Parsed p({bad});
    EXPECT_TRUE(p.options.helpRequested) << bad;
  }
  Parsed plain({"/s"});
  EXPECT_FALSE(plain.options.helpRequested);
  EXPECT_TRUE(plain.options.searchDisks);
  EXPECT_FALSE(plain.options.driveList);

  Parsed other({"/sx"});
  EXPECT_TRUE(other.options.searchDisks) << "any other third character is a plain /s";

  Parsed withHive({"/s", hive});
  EXPECT_TRUE(withHive.options.helpRequested);
}

// Check only, the report, /y and /f: their forms, and the combinations that are usage errors
// (the run does not start) rather than help.
TEST_F(CommandLine, CheckOnlyAndReportSwitches) {
  struct Row {
    std::vector<std::string> args;
    bool checkOnly;
    std::optional<std::string> report;
    std::string errorHas;  // empty: no usage error
  };
  const std::vector<Row> rows = {
      {{"/n", "/t", hive}, true, {}, ""},
      {{"-N", hive}, true, {}, ""},
      {{hive, "/r:out.jsonl"}, false, "out.jsonl", ""},
      {{hive, "--report=a b.jsonl", "/n"}, true, "a b.jsonl", ""},
      {{"/t", hive, "/r:-"}, false, "-", ""},
      {{"/t", hive, "--report=-"}, false, "-", ""},
      {{"/n", "/o:x", hive}, true, {}, "/o or /p"},
      {{"/p:folder", "-n", hive}, true, {}, "/o or /p"},
      {{"/t", hive, "/r:"}, false, "", "needs a file name"},
      {{"/t", hive, "/r"}, false, "", "needs a file name"},
      {{hive, "/r:-"}, false, "-", "only line mode"},
      {{"/t", "-Y", hive}, false, {}, ""},
      {{"/t", "/y", "/n", hive}, true, {}, "not go with /n"},
      {{"/y", hive}, false, {}, "needs /t"},
      {{"/f", hive}, false, {}, "no hive name"},
  };
  for (const Row& row : rows) {
    Parsed p(row.args);
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    EXPECT_EQ(p.options.checkOnly, row.checkOnly);
    EXPECT_EQ(p.options.reportName, row.report);
    if (row.errorHas.empty()) {
      EXPECT_EQ(p.options.usageError, "");
    } else {
      EXPECT_NE(p.options.usageError.find(row.errorHas), std::string::npos) << p.options.usageError;
    }
    EXPECT_FALSE(p.options.helpRequested);
    EXPECT_EQ(p.names.size(), 1u);
  }
  EXPECT_TRUE(Parsed({"/ln", hive}).options.perFileLog);
  EXPECT_FALSE(Parsed({"/ln", hive}).options.checkOnly) << "the n of /ln is the log's";
}

TEST(ValidateDriveList, RulesAndUpperCase) {
  std::string ok = "a,b,z";
  EXPECT_TRUE(ValidateDriveList(ok));
  EXPECT_EQ(ok, "A,B,Z");
  for (std::string bad : {"", "AB", "A,", ",A,", "A,,", "A,1", "[,A"}) EXPECT_FALSE(ValidateDriveList(bad)) << bad;
  std::string single = "q";
  EXPECT_TRUE(ValidateDriveList(single));
}

TEST_F(CommandLine, HelpRulesAfterTheArguments) {
  EXPECT_FALSE(Parsed({"/t", "/s"}).options.helpRequested) << "line mode with no hive checks every hive found";
  EXPECT_FALSE(Parsed({}).options.helpRequested);
  EXPECT_TRUE(Parsed({}).options.selectionNeeded);
  EXPECT_TRUE(Parsed({"/o:x"}).options.helpRequested) << "an output name needs a named file";
  EXPECT_TRUE(Parsed({hive, hive}).options.helpRequested) << "two hive names";

  Parsed helpFirst({"/h", hive});
  EXPECT_FALSE(helpFirst.options.helpRequested) << "the hive name withdraws the help";
  EXPECT_EQ(helpFirst.names.size(), 1u);
  EXPECT_TRUE(Parsed({hive, "/h"}).options.helpRequested);
  EXPECT_TRUE(Parsed({"/t", "/h", hive, "/l:"}).options.helpRequested) << "later arguments can ask again";
}

TEST_F(CommandLine, WildcardsAndOutputName) {
  Touch(dir.Path("SAM"));
  Touch(dir.Path("SOFTWARE"));
  std::filesystem::create_directory(dir.Path("SUBDIR"));
  std::string pattern = dir.Path("S*");
  Parsed p({pattern});
  std::vector<std::string> names = p.names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{dir.Path("SAM"), dir.Path("SOFTWARE"), dir.Path("SYSTEM")}))
      << "the folder is skipped, each name keeps the pattern's folder";
  EXPECT_FALSE(p.list.SingleFileRun());

  EXPECT_TRUE(Parsed({pattern, "/o:out.dat"}).options.helpRequested) << "one output for three hives";
  Parsed one({dir.Path("SY?TEM"), "/o:out.dat"});
  EXPECT_FALSE(one.options.helpRequested);
  EXPECT_EQ(one.names.size(), 1u);
  EXPECT_TRUE(one.list.SingleFileRun());

  Parsed none({dir.Path("NOTHING*")});
  EXPECT_EQ(none.names.size(), 0u);
  EXPECT_FALSE(none.options.helpRequested) << "no match is silent";
  EXPECT_FALSE(none.options.selectionNeeded);
}

TEST_F(CommandLine, ListFiles) {
  Touch(dir.Path("SAM"));
  std::filesystem::create_directory(dir.Path("folder"));
  std::string list = dir.Path("hives.lst");
  std::string text;
  for (const std::string& line : {hive + "\r", dir.Path("missing"), dir.Path("SAM") + "\r", dir.Path("folder"),
                                  dir.Path("S*"), std::string(), std::string("\r"), hive}) {
    text.append(line).append("\n");
  }
  Touch(list, text);
  Parsed p({"/t", "@" + list});
  EXPECT_FALSE(p.options.helpRequested);
  EXPECT_TRUE(p.options.ttyMode);
  std::vector<std::string> expected = {hive, dir.Path("SAM"), dir.Path("folder"), dir.Path("S*")};
  EXPECT_EQ(p.names, expected) << "missing names are skipped; folders and patterns are kept as written; "
                                         "the empty line ends the list";

  EXPECT_TRUE(Parsed({"@"}).options.helpRequested);
  EXPECT_TRUE(Parsed({hive, "@" + list}).options.helpRequested);
  EXPECT_TRUE(Parsed({"@" + list, hive}).options.helpRequested);

  Parsed missing({"@" + dir.Path("nolist")});
  EXPECT_EQ(missing.names.size(), 0u);
  EXPECT_FALSE(missing.options.helpRequested);

  Touch(list, hive);  // a last line without a line end
  Parsed single({"@" + list});
  EXPECT_EQ(single.names.size(), 1u);
  EXPECT_TRUE(single.list.SingleFileRun());
}

// Hives named in any script, in a list file saved as UTF-8 (with or without its byte-order mark)
// or as UTF-16 of either byte order, or by a wildcard: the names arrive whole.
TEST_F(CommandLine, NamesInAnyScriptFromListsAndWildcards) {
  const std::string base = dir.Path("");
  const std::vector<std::string> names = {base + "\xD0\xAE\xD0\xBB\xD0\xB8\xD1\x8F.DAT",  // Юлия.DAT
                                          base + "\xE6\x97\xA5\xE6\x9C\xAC",              // 日本
                                          base + "\xF0\x9F\x97\x9D.dat"};                  // 🗝.dat, a pair in UTF-16
  for (const std::string& name : names) {
    platform::File file;
    ASSERT_TRUE(file.CreateNew(name)) << name;
  }
  std::string text;
  for (const std::string& name : names) text += name + "\r\n";
  text += "\r\n" + hive + "\r\n";  // after the empty line: not read
  auto utf16 = [&](bool little) {
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    auto put = [&](uint32_t unit) {
      char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
      out += little ? std::string{low, high} : std::string{high, low};
    };
    for (size_t at = 0; at < text.size();) {
      auto lead = static_cast<uint8_t>(text[at]);
      size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      uint32_t ch = length == 1 ? lead : platform::DecodeUtf8(text.substr(at, length))[0];
      at += length;
      if (ch >= 0x10000) {
        put(0xD800 + ((ch - 0x10000) >> 10));
        put(0xDC00 + ((ch - 0x10000) & 0x3FF));
      } else {
        put(ch);
      }
    }
    return out;
  };
  std::string list = dir.Path("hives.lst");
  for (const std::string& content : {text, "\xEF\xBB\xBF" + text, utf16(true), utf16(false)}) {
    Touch(list, content);
    Parsed p({"@" + list});
    EXPECT_EQ(p.names, names) << "list starting " << static_cast<int>(static_cast<uint8_t>(content[0]));
    EXPECT_TRUE(p.options.skipped.empty());
  }
  Parsed wildcard({base + "\xD0\xAE*"});
  EXPECT_EQ(wildcard.names, std::vector<std::string>{names[0]});
}

TEST_F(CommandLine, ThirdLineEmptyEndsTheList) {
  Touch(dir.Path("A"));
  Touch(dir.Path("B"));
  Touch(dir.Path("C"));
  std::string list = dir.Path("l.lst");
  Touch(list, dir.Path("A") + "\n" + dir.Path("B") + "\n\n" + dir.Path("C") + "\n");
  EXPECT_EQ(Parsed({"@" + list}).names.size(), 2u);
}

// A line longer than the limit is skipped whole, however far it goes, and its "\r\n" never counts.
TEST(ReadLine, LongLinesAreSkippedWhole) {
  TempDir dir;
  std::string path = dir.Path("long.lst");
  const size_t limit = 300;
  std::string fits(limit, 'a');
  std::string tooLong(limit + 1, 'b');
  Touch(path, fits + "\r\n" + tooLong + "\n" + "short\n" + std::string(limit * 3, 'c') + "\r\nend");
  platform::File file;
  ASSERT_TRUE(file.OpenRead(path));
  ListReader reader(file);
  std::string line;
  EXPECT_EQ(ReadLine(reader, line, limit), static_cast<int>(fits.size()));
  EXPECT_EQ(line, fits);
  EXPECT_EQ(ReadLine(reader, line, limit), kLineTooLong);
  EXPECT_EQ(line, "");
  EXPECT_EQ(ReadLine(reader, line, limit), 5);
  EXPECT_EQ(line, "short");
  EXPECT_EQ(ReadLine(reader, line, limit), kLineTooLong);
  EXPECT_EQ(ReadLine(reader, line, limit), 3);
  EXPECT_EQ(line, "end");
  EXPECT_EQ(ReadLine(reader, line, limit), 0);
}

TEST(ReadListFile, OverlongLineIsSkippedNotCut) {
  TempDir dir;
  Touch(dir.Path("A"));
  std::string longName = dir.Path(std::string(platform::MaxPathLength() + 1, 'x'));
  std::string list = dir.Path("l.lst");
  Touch(list, longName + "\n" + dir.Path("A") + "\n");
  HiveList hives;
  EXPECT_TRUE(ReadListFile(list, hives));
  EXPECT_EQ(TakeAll(hives), std::vector<std::string>{dir.Path("A")});
}

// A list file is read as its names are taken: however long it is, a few names wait at a time,
// and a line that names nothing is noted when it is reached.
TEST(ReadListFile, ReadAsTheNamesAreTaken) {
  TempDir dir;
  Touch(dir.Path("A"));
  std::string list = dir.Path("l.lst");
  std::string text;
  for (int i = 0; i < 1000; ++i) text += (i == 500 ? dir.Path("gone") : dir.Path("A")) + "\n";
  Touch(list, text);
  RunOptions options;
  HiveList hives;
  ParseCommandLine({"/t", "@" + list}, options, hives);
  EXPECT_EQ(hives.Waiting(), 2u) << "two names tell a several-file run";
  EXPECT_FALSE(hives.SingleFileRun());
  EXPECT_TRUE(options.skipped.empty());
  std::string name;
  size_t taken = 0;
  for (; hives.Next(name, &options.skipped); ++taken) {
    EXPECT_LE(hives.Waiting(), 1u);
    if (taken == 499) {
      EXPECT_TRUE(options.skipped.empty());
    }
  }
  EXPECT_EQ(taken, 999u);
  ASSERT_EQ(options.skipped.size(), 1u);
  EXPECT_EQ(options.skipped[0].Text(), dir.Path("gone") + ": no such file");
}

TEST(HiveList, SecondNameEndsTheSingleFileRun) {
  HiveList list;
  EXPECT_TRUE(list.SingleFileRun());
  list.Add("a");
  EXPECT_TRUE(list.SingleFileRun());
  list.Add("b");
  EXPECT_FALSE(list.SingleFileRun());
}

}  // namespace
}  // namespace tarvos::app
