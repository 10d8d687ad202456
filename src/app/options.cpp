#include "app/options.h"

#include "platform/file.h"
#include "platform/screen_model.h"
#include "platform/text.h"
#include "save/names.h"

namespace tarvos::app {

// The list file being read: the file, its reader, and its name for what is noted.
struct HiveList::ListSource {
  explicit ListSource(std::string listName, std::unique_ptr<platform::File> listFile)
      : name(std::move(listName)), file(std::move(listFile)), reader(*file) {}
  std::string name;
  std::unique_ptr<platform::File> file;
  ListReader reader;
  std::string line;
};

HiveList::HiveList() = default;
HiveList::~HiveList() = default;

bool HiveList::Add(const std::string& name) {
  if (anyAdded_) singleFileRun_ = false;
  anyAdded_ = true;
  waiting_.push_back(name);
  return true;
}

void HiveList::Follow(const std::string& listName, std::unique_ptr<platform::File> file) {
  source_ = std::make_unique<ListSource>(listName, std::move(file));
}

void HiveList::ReadAhead(size_t count, std::vector<SkippedInput>* skipped) {
  while (source_ != nullptr && waiting_.size() < count) {
    int length = ReadLine(source_->reader, source_->line, platform::MaxPathLength());
    if (length == kLineTooLong) continue;
    if (length == -1 && skipped != nullptr) skipped->push_back({source_->name, "cannot read list file"});
    if (length <= 0) {  // the end of the list: an empty line, the end of the file, or a failed read
      source_.reset();
      break;
    }
    if (!platform::FindEntries(source_->line).empty()) {
      Add(source_->line);
    } else if (skipped != nullptr) {
      skipped->push_back({source_->line, "no such file"});
    }
  }
}

bool HiveList::Next(std::string& name, std::vector<SkippedInput>* skipped) {
  ReadAhead(1, skipped);
  if (waiting_.empty()) return false;
  name = std::move(waiting_.front());
  waiting_.pop_front();
  return true;
}

UsageText AssembleUsageText() {
  // Three pieces, so that the default log name is stored once.
  static const char kPiece1[] =
      "Usage: TarvosD [<hive_file>|@<listfile> [<switches>]]\r\n"
      "\r\n"
      "<switches>\r\n"
      "  /f            - print the hives found, one a line\r\n"
      "  /l            - write log file \"";
  static const char kPiece3[] =
      "\"\r\n"
      "  /ln           - write log file \"<hive_file>.tlg\"\r\n"
      "  /l:<log_file> - write log file with specified name\r\n"
      "  /m            - disable mouse\r\n"
      "  /n            - check only, write nothing\r\n"
      "  /o:<output>   - write result file with specified name\r\n"
      "  /p:<path>     - write result file to specified folder\r\n"
      "  /r:<report>   - write JSON Lines report (- = stdout)\r\n"
      "  /s            - full fixed disk(s) search\r\n"
      "  /s:<drv_list> - specified disk(s) search\r\n"
      "  /t            - TTY mode; no hive: check all found\r\n"
      "  /y            - fix all, overwrite, ask nothing (/t)\r\n"
      "  /v, --version - print version\r\n"
      "  /h, /?        - print help\r\n"
      "\r\n"
      "Exit code: 0 clean, else a sum of 1 repaired and saved,\r\n"
      "2 help printed, 4 faults left, 8 a hive not checked,\r\n"
      "16 usage error\r\n";
  UsageText usage;
  usage.help = std::string(kPiece1) + kDefaultLogName + kPiece3;
  usage.box = usage.help;
  for (char& c : usage.box) {
    if (c == '\r') c = ' ';
  }
  return usage;
}

std::string VersionLine() {
#if defined(_WIN32)
  const char* system = "Windows";
#elif defined(__linux__)
  const char* system = "Linux";
#else
  const char* system = "POSIX";
#endif
#if defined(__x86_64__) || defined(_M_X64)
  const char* processor = "x86-64";
#elif defined(__aarch64__)
  const char* processor = "arm64";
#elif defined(__i386__) || defined(_M_IX86)
  const char* processor = "x86";
#else
  const char* processor = "other";
#endif
  return std::string("TarvosD ") + kVersion + " (" + system + " " + processor + ")\n";
}

namespace {

bool IsSwitch(const std::string& arg) {
  if (arg.empty()) return false;
  if (arg[0] == '-') return true;
  return arg[0] == '/' && platform::SlashArgumentIsSwitch(arg);
}

char Third(const std::string& arg) { return arg.size() > 2 ? arg[2] : '\0'; }

void Skip(std::vector<SkippedInput>* skipped, const std::string& name, const char* why) {
  if (skipped != nullptr) skipped->push_back({name, why});
}

void ParseSwitch(const std::string& arg, RunOptions& options) {
  if (arg == "--help") {  // as every other command of a POSIX system understands it
    options.helpRequested = true;
    return;
  }
  if (arg == "--version") {
    options.versionRequested = true;
    return;
  }
  static constexpr std::string_view kReportLong = "--report=";
  if (arg.compare(0, kReportLong.size(), kReportLong) == 0) {
    options.reportName = arg.substr(kReportLong.size());
    return;
  }
  char letter = platform::LowerChar(arg.size() > 1 ? arg[1] : '\0');
  std::string rest = arg.size() > 3 ? arg.substr(3) : std::string();
  switch (letter) {
    case 't': options.ttySwitch = arg; break;
    case 's':
      options.searchSwitch = arg;
      if (Third(arg) == ':') {
        if (!rest.empty() && ValidateDriveList(rest)) {
          options.driveList = rest;
        } else {
          options.helpRequested = true;
        }
      }
      break;
    case 'l':
      if (Third(arg) == ':') {
        options.logFileName = rest;
        if (rest.empty()) options.helpRequested = true;
      } else {
        options.logFileName = kDefaultLogName;
        if (Third(arg) == 'n') options.perFileLog = true;
      }
      options.logEnabled = true;
      break;
    case 'o':
      options.outputSwitch = arg;
      if (Third(arg) == ':' && !rest.empty()) {
        options.outputFileName = rest;
        options.outputGiven = true;
      } else {
        options.helpRequested = true;
      }
      options.selectionNeeded = false;
      break;
    case 'p':
      options.folderSwitch = arg;
      if (Third(arg) == ':' && !rest.empty()) {
        options.outputFolder = rest;
        options.folderGiven = true;
      } else {
        options.helpRequested = true;
      }
      break;
    case 'm': options.mouseDisabled = true; break;
    case 'v': options.versionRequested = true; break;
    case 'n': options.checkOnly = true; break;
    case 'y': options.answerEvery = true; break;
    case 'f': options.findOnly = true; break;
    case 'r':
      // An empty name is caught with the other combinations, once every switch is read.
      options.reportName = Third(arg) == ':' ? rest : std::string();
      break;
    case 'h': case '?': options.helpRequested = true; break;
    default:
      if (options.usageError.empty()) options.usageError = "unknown switch: " + arg;
      break;
  }
}

}  // namespace

void ParseCommandLine(const std::vector<std::string>& args, RunOptions& options, HiveList& list) {
  for (const std::string& arg : args) {
    if (IsSwitch(arg)) {
      ParseSwitch(arg, options);
    } else if (!arg.empty() && arg[0] == '@') {
      if (arg.size() == 1 || options.hiveArgument) {
        options.helpRequested = true;
      } else {
        options.hiveArgument = arg;
        ReadListFile(arg.substr(1), list, &options.skipped);
      }
      options.selectionNeeded = false;
    } else {
      if (options.hiveArgument) {
        options.helpRequested = true;
        options.helpReason = "two hive names: " + *options.hiveArgument + " and " + arg +
                             " (quote a wildcard, or name the hives in an @<listfile>)";
      } else {
        options.hiveArgument = arg;
        ExpandHiveArgument(arg, list, &options.skipped);
        options.helpRequested = false;  // a named hive withdraws help asked for before it
      }
      options.selectionNeeded = false;
    }
  }

  // Line mode with no hive name checks every hive found; /f only lists them, in line mode too.
  if (options.ttySwitch || options.findOnly) options.ttyMode = true;
  if (!options.hiveArgument && !options.selectionNeeded) options.helpRequested = true;
  // Two names read ahead tell a single-file run from a several-file one; the rest of a list file
  // is read as the run goes.
  list.ReadAhead(2, &options.skipped);
  if (options.outputGiven && !list.SingleFileRun()) {
    options.helpRequested = true;
    options.helpReason = "/o: writes one file: it takes one hive, not several";
  }
  if (options.searchSwitch) options.searchDisks = true;
  if (options.searchDisks && !options.selectionNeeded) options.helpRequested = true;

  if (options.checkOnly && (options.outputSwitch || options.folderSwitch)) {
    options.usageError = "/n checks only and writes no hive: it does not go with /o or /p";
  } else if (options.reportName && options.reportName->empty()) {
    options.usageError = "/r needs a file name: /r:<report>, or /r:- for standard output";
  } else if (options.reportName == kReportToStdout && !options.ttyMode) {
    options.usageError = "/r:- writes the report on standard output, which only line mode (/t) leaves free";
  } else if (options.findOnly && (options.hiveArgument || options.outputSwitch || options.folderSwitch ||
                                  options.reportName || options.answerEvery)) {
    options.usageError = "/f lists the hives found and checks none: no hive name, /o, /p, /r or /y goes with it";
  } else if (options.answerEvery && options.checkOnly) {
    options.usageError = "/y repairs and saves without asking: it does not go with /n (check only)";
  } else if (options.answerEvery && !options.ttySwitch) {
    options.usageError = "/y answers the questions of line mode: it needs /t";
  }
}

namespace {

// Whether a file can be written beside path (in its folder): one is made there and removed.
std::string WriteProblemBeside(const std::string& path) {
  platform::File probe;
  std::string made;
  if (!probe.CreateBeside(path, made)) {
    if (probe.Failure() == "no such file") return "no such folder";
    return probe.Failure().empty() ? "cannot be written" : probe.Failure();
  }
  probe.Close();
  platform::RemoveFile(made);
  return {};
}

}  // namespace

std::string SaveTargetProblem(const RunOptions& options) {
  if (options.helpRequested || options.checkOnly) return {};
  if (options.outputFileName) {
    const std::string& name = *options.outputFileName;
    if (platform::IsFolder(name)) return "/o: names a folder, not a file: " + name;
    std::string problem = WriteProblemBeside(name);
    if (!problem.empty()) return "/o: " + name + " cannot be written (" + problem + ")";
  }
  if (options.outputFolder) {
    std::string folder = *options.outputFolder;
    while (folder.size() > 1 && platform::IsPathSeparator(folder.back())) folder.pop_back();
    platform::FileInfo info;
    const bool exists = platform::LookUp(folder, info);
    if (exists && (info.attributes & platform::kAttrDirectory) == 0) return "/p: names a file, not a folder: " + folder;
    // A folder that is there takes a file inside; one that is not is made in its parent.
    const std::string probe = exists ? folder + platform::PathSeparator() + "probe" : folder;
    std::string problem = WriteProblemBeside(probe);
    if (!problem.empty()) return "/p: " + folder + " cannot be written (" + problem + ")";
  }
  return {};
}

void ExpandHiveArgument(const std::string& pattern, HiveList& list, std::vector<SkippedInput>* skipped) {
  std::string folder = pattern.substr(0, save::FileNameIndex(pattern));
  std::vector<platform::FileInfo> found = platform::FindEntries(pattern);
  size_t added = 0;
  for (const platform::FileInfo& entry : found) {
    if (entry.attributes & (platform::kAttrDirectory | platform::kAttrTemporary)) continue;
    std::string name = folder + entry.name;
    // A name that does not fit the path buffer is skipped: cut short, it could name another file.
    if (name.size() > platform::MaxPathLength()) continue;
    list.Add(name);
    ++added;
  }
  if (added > 0) return;
  bool folderNamed = found.size() == 1 && (found[0].attributes & platform::kAttrDirectory) &&
                     pattern.find_first_of("*?") == std::string::npos;
  Skip(skipped, pattern, folderNamed ? "is a folder" : "no such file");
}

bool ReadListFile(const std::string& name, HiveList& list, std::vector<SkippedInput>* skipped) {
  auto file = std::make_unique<platform::File>();
  // A list may come through a pipe (a shell's process substitution), so not only plain files.
  if (!file->OpenRead(name, false)) {
    Skip(skipped, name, "cannot read list file");
    return false;
  }
  list.Follow(name, std::move(file));
  return true;
}

bool ListReader::Ready(size_t count) {
  while (data_.size() - at_ < count && !failed_) {
    if (at_ > 0) {
      data_.erase(0, at_);
      at_ = 0;
    }
    char chunk[4096];
    size_t got = 0;
    if (!file_.Read(chunk, sizeof chunk, got)) failed_ = true;
    if (got == 0) break;
    data_.append(chunk, got);
  }
  return data_.size() - at_ >= count;
}

int ListReader::Raw() {
  if (!Ready(1)) return failed_ ? kFailed : kEnd;
  return static_cast<uint8_t>(data_[at_++]);
}

int ListReader::Next() {
  if (form_ == Form::Unknown) {
    Ready(3);
    std::string_view head = std::string_view(data_).substr(at_, 3);
    if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") {
      form_ = head[0] == '\xFF' ? Form::Utf16Le : Form::Utf16Be;
      at_ += 2;
    } else {
      form_ = Form::Utf8;
      if (head == "\xEF\xBB\xBF") at_ += 3;  // saved by Notepad as UTF-8
    }
  }
  if (form_ == Form::Utf8) return Raw();
  if (next_ < character_.size()) return static_cast<uint8_t>(character_[next_++]);
  // One UTF-16 character: a unit, or a pair of surrogates; a half without its other is "?".
  auto unit = [&]() -> int {
    int a = Raw();
    if (a < 0) return a;
    int b = Raw();
    if (b < 0) return b == kFailed ? kFailed : kEnd;  // an odd byte at the end is no character
    return form_ == Form::Utf16Le ? a | b << 8 : a << 8 | b;
  };
  int first = unit();
  if (first < 0) return first;
  uint32_t ch = static_cast<uint32_t>(first);
  if (ch >= 0xD800 && ch <= 0xDBFF) {
    Ready(2);
    size_t before = at_;
    int second = unit();
    if (second >= 0xDC00 && second <= 0xDFFF) {
      ch = 0x10000 + ((ch - 0xD800) << 10) + (static_cast<uint32_t>(second) - 0xDC00);
    } else {
      ch = '?';
      at_ = before;  // not the other half: a character of its own
    }
  } else if (ch >= 0xDC00 && ch <= 0xDFFF) {
    ch = '?';
  }
  character_.clear();
  next_ = 0;
  platform::AppendUtf8(character_, ch);
  return static_cast<uint8_t>(character_[next_++]);
}

int ReadLine(ListReader& reader, std::string& line, size_t limit) {
  line.clear();
  bool tooLong = false;
  for (;;) {
    int byte = reader.Next();
    if (byte == ListReader::kFailed) return -1;
    if (byte == ListReader::kEnd || byte == '\n') break;
    // One byte more than the limit is kept: it may be the "\r" of the line end.
    if (line.size() <= limit) {
      line.push_back(static_cast<char>(byte));
    } else {
      tooLong = true;  // read on to the line end, keep nothing more
    }
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (tooLong || line.size() > limit) {
    line.clear();
    return kLineTooLong;
  }
  return static_cast<int>(line.size());
}

bool ValidateDriveList(std::string& text) {
  if (text.size() % 2 == 0) return false;
  for (size_t i = 1; i < text.size(); i += 2) {
    if (text[i] != ',') return false;
  }
  platform::UpperInPlace(text);
  for (size_t i = 0; i < text.size(); i += 2) {
    if (text[i] < 'A' || text[i] > 'Z') return false;
  }
  return true;
}

}  // namespace tarvos::app
