// The command line: switches, hive names (wildcards, list files) and the usage text.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace tarvos::app {

inline constexpr const char* kDefaultLogName = "tarvos.tlg";
inline constexpr const char* kVersion = TARVOS_VERSION;

// "TarvosD <version> (<system> <processor>)" and a line end: what /v and --version print.
std::string VersionLine();

// A name the command line gave that the run cannot check, and why ("no such file").
struct SkippedInput {
  std::string name;
  std::string why;
  std::string Text() const { return name + ": " + why; }
};

// The hive files of the run, in their order: the names given or found, then the lines of a list
// file, read as the run reaches them, so that a list of any length holds no more than a few
// names at a time.
class HiveList {
 public:
  HiveList();
  ~HiveList();
  HiveList(const HiveList&) = delete;
  HiveList& operator=(const HiveList&) = delete;

  // Adds a copy of the name after those waiting; a second name makes the run a several-file run.
  bool Add(const std::string& name);
  // The lines of a list file, once opened, follow the names added so far (see ReadListFile).
  void Follow(const std::string& listName, std::unique_ptr<platform::File> file);
  // Reads on in the list file until count names wait or it ends. The lines that name nothing
  // are noted in skipped when given.
  void ReadAhead(size_t count, std::vector<SkippedInput>* skipped = nullptr);
  // Takes the next name, reading on as needed; false once none is left.
  bool Next(std::string& name, std::vector<SkippedInput>* skipped = nullptr);
  size_t Waiting() const { return waiting_.size(); }
  bool SingleFileRun() const { return singleFileRun_; }

 private:
  struct ListSource;
  std::deque<std::string> waiting_;
  std::unique_ptr<ListSource> source_;
  bool anyAdded_ = false;
  bool singleFileRun_ = true;
};

// The report's destination that stands for standard output.
inline constexpr const char* kReportToStdout = "-";

struct RunOptions {
  std::optional<std::string> hiveArgument;
  std::string logFileName;  // set by every /l form
  std::optional<std::string> outputFileName;
  std::optional<std::string> outputFolder;
  std::optional<std::string> driveList;
  // Each switch argument as typed.
  std::optional<std::string> ttySwitch, outputSwitch, folderSwitch, searchSwitch;
  bool outputGiven = false;  // /o: with a name
  bool folderGiven = false;  // /p: with a folder
  bool perFileLog = false;
  bool helpRequested = false;
  bool versionRequested = false;
  bool selectionNeeded = true;
  bool mouseDisabled = false;
  // Run flags decided by the command line.
  bool ttyMode = false;
  bool logEnabled = false;
  bool searchDisks = false;
  // Check only (/n): the hive is only read, every fault is repaired in memory without a question,
  // and nothing is ever written.
  bool checkOnly = false;
  // /y: every question of line mode answered without reading the input (Fix All, Overwrite).
  bool answerEvery = false;
  // /f: the hives that a run without a hive name would check are printed, one a line, and none
  // is checked.
  bool findOnly = false;
  // The report (/r:, --report=): a file, or kReportToStdout.
  std::optional<std::string> reportName;
  // Switches that cannot go together, or a switch without what it needs: the run does not start,
  // and this is said on standard error.
  std::string usageError;
  // Why the usage is printed when the command line asks for what cannot be done (two hive
  // names, /o: with a list, /t with no hive); empty when help was asked for.
  std::string helpReason;
  // What the command line named but the run skips, one line each ("<name>: no such file"), for
  // standard error.
  std::vector<SkippedInput> skipped;
};

// The usage text, assembled once: with carriage-return/line-feed line ends for standard output,
// and with blanks for the carriage returns for the help box.
struct UsageText {
  std::string help;
  std::string box;
};
UsageText AssembleUsageText();

// Parses the arguments after the program name. Every malformed combination ends in
// helpRequested; nothing is printed.
void ParseCommandLine(const std::vector<std::string>& args, RunOptions& options, HiveList& list);

// Adds the entries that a name pattern matches (files only) to the list; what it skips is
// noted in skipped when given.
// What keeps the targets of /o: and /p: from taking a hive, checked before any hive is touched:
// /o: naming a folder, or a file where no file can be written; /p: naming a file, or a folder
// that neither is nor can be made where files can be written. Empty when they can.
std::string SaveTargetProblem(const RunOptions& options);

void ExpandHiveArgument(const std::string& pattern, HiveList& list, std::vector<SkippedInput>* skipped = nullptr);

// Makes the lines of a list file that name something existing, up to the first empty line, the
// next names of the list, read as they are taken. The file is UTF-8, or UTF-16 of either byte
// order after its byte-order mark (as Notepad saves "Unicode"); a byte-order mark is not part of
// the first line. Lines skipped are noted in skipped as they are read. False when the file
// cannot be opened.
bool ReadListFile(const std::string& name, HiveList& list, std::vector<SkippedInput>* skipped = nullptr);

// The text of a list file as UTF-8 bytes, one at a time, whatever form of Unicode it was saved in.
class ListReader {
 public:
  static constexpr int kEnd = -1;
  static constexpr int kFailed = -2;
  explicit ListReader(platform::File& file) : file_(file) {}
  // The next byte, kEnd after the last, kFailed when a read fails.
  int Next();

 private:
  enum class Form : uint8_t { Unknown, Utf8, Utf16Le, Utf16Be };
  // The next byte of the file itself.
  int Raw();
  // Makes at least count bytes of the file ready where the file has them.
  bool Ready(size_t count);
  platform::File& file_;
  Form form_ = Form::Unknown;
  std::string data_;  // read from the file, not yet taken
  size_t at_ = 0;
  std::string character_;  // the UTF-8 bytes of the last UTF-16 character, not yet taken
  size_t next_ = 0;
  bool failed_ = false;
};

// One line of a list file, without its line end, into line: its length, 0 for an empty line or
// the end of the file, -1 when the read fails, kLineTooLong when the line is longer than limit
// bytes (it is then skipped whole, and never held).
inline constexpr int kLineTooLong = -2;
int ReadLine(ListReader& reader, std::string& line, size_t limit);

// Letters separated by commas ("C,D,E"); upper-cased in place when valid.
bool ValidateDriveList(std::string& text);

}  // namespace tarvos::app
