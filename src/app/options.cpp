#include "app/options.h"

#include "platform/text.h"
#include "save/names.h"

namespace tarvos::app {

bool HiveList::Add(const std::string& name) {
  if (!names_.empty()) singleFileRun_ = false;
  names_.push_back(name);
  return true;
}

UsageText AssembleUsageText() {
  // Three pieces, so that the default log name is stored once.
  static const char kPiece1[] =
      "Usage: TarvosD [<hive_file>|@<listfile> [<switches>]]\r\n"
      "\r\n"
      "<switches>\r\n"
      "  /l            - write log file \"";
  static const char kPiece3[] =
      "\"\r\n"
      "  /ln           - write log file \"<hive_file>.tlg\"\r\n"
      "  /l:<log_file> - write log file with specified name\r\n"
      "  /m            - disable mouse\r\n"
      "  /o:<output>   - write result file with specified name\r\n"
      "  /p:<path>     - write result file to specified folder\r\n"
      "  /s            - full fixed disk(s) search\r\n"
      "  /s:<drv_list> - specified disk(s) search\r\n"
      "  /t            - TTY mode (without manual selection)\r\n"
      "  /h, /?        - print help\r\n";
  UsageText usage;
  usage.help = std::string(kPiece1) + kDefaultLogName + kPiece3;
  usage.box = usage.help;
  for (char& c : usage.box) {
    if (c == '\r') c = ' ';
  }
  return usage;
}

namespace {

bool IsSwitch(const std::string& arg) {
  if (arg.empty()) return false;
  if (arg[0] == '-') return true;
  return arg[0] == '/' && platform::SlashArgumentIsSwitch(arg);
}

char Third(const std::string& arg) { return arg.size() > 2 ? arg[2] : '\0'; }

void Skip(std::vector<std::string>* skipped, const std::string& name, const char* why) {
  if (skipped != nullptr) skipped->push_back(name + ": " + why);
}

void ParseSwitch(const std::string& arg, RunOptions& options) {
  if (arg == "--help") {  // as every other command of a POSIX system understands it
    options.helpRequested = true;
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
        options.outputGiven = 1;
      } else {
        options.helpRequested = true;
      }
      options.selectionNeeded = false;
      break;
    case 'p':
      options.folderSwitch = arg;
      if (Third(arg) == ':' && !rest.empty()) {
        options.outputFolder = rest;
        options.folderGiven = 1;
      } else {
        options.helpRequested = true;
      }
      break;
    case 'm': options.mouseDisabled = true; break;
    case 'h': case '?': options.helpRequested = true; break;
    default: break;
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
      } else {
        options.hiveArgument = arg;
        ExpandHiveArgument(arg, list, &options.skipped);
        options.helpRequested = false;  // a named hive withdraws help asked for before it
      }
      options.selectionNeeded = false;
    }
  }

  if (options.ttySwitch) options.ttyMode = true;
  if (options.ttyMode && options.selectionNeeded) options.helpRequested = true;
  if (!options.hiveArgument && !options.selectionNeeded) options.helpRequested = true;
  if (options.outputGiven && list.Count() > 1) options.helpRequested = true;
  if (options.searchSwitch) options.searchDisks = true;
  if (options.searchDisks && !options.selectionNeeded) options.helpRequested = true;
}

void ExpandHiveArgument(const std::string& pattern, HiveList& list, std::vector<std::string>* skipped) {
  std::string folder = pattern.substr(0, save::FileNameIndex(pattern));
  std::vector<platform::FileInfo> found = platform::FindEntries(pattern);
  size_t added = 0;
  for (const platform::FileInfo& entry : found) {
    if (entry.attributes & (platform::kAttrDirectory | platform::kAttrTemporary)) continue;
    std::string name = folder + entry.name;
    // A name that does not fit the path buffer is skipped: cut short, it could name another file.
    if (name.size() >= kPathBufferSize) continue;
    list.Add(name);
    ++added;
  }
  if (added > 0) return;
  bool folderNamed = found.size() == 1 && (found[0].attributes & platform::kAttrDirectory) &&
                     pattern.find_first_of("*?") == std::string::npos;
  Skip(skipped, pattern, folderNamed ? "is a folder" : "no such file");
}

bool ReadListFile(const std::string& name, HiveList& list, std::vector<std::string>* skipped) {
  platform::File file;
  // A list may come through a pipe (a shell's process substitution), so not only plain files.
  if (!file.OpenRead(name, false)) {
    Skip(skipped, name, "cannot read list file");
    return false;
  }
  char line[kPathBufferSize];
  for (bool first = true;; first = false) {
    int length = ReadLine(file, line);
    if (length == kLineTooLong) continue;
    if (length == -1) {
      Skip(skipped, name, "cannot read list file");
      return false;
    }
    if (length == 0) return true;
    std::string entry(line, static_cast<size_t>(length));
    if (first && entry.rfind("\xEF\xBB\xBF", 0) == 0) {
      entry.erase(0, 3);  // saved by Notepad as UTF-8
      if (entry.empty()) return true;
    }
    if (!platform::FindEntries(entry).empty()) {
      list.Add(entry);
    } else {
      Skip(skipped, entry, "no such file");
    }
  }
}

int ReadLine(platform::File& file, char* buffer) {
  size_t length = 0;
  bool tooLong = false;
  bool carriageReturnAfterFull = false;  // a full buffer may still end with "\r\n"
  for (;;) {
    char byte = 0;
    size_t got = 0;
    if (!file.Read(&byte, 1, got)) return -1;
    if (got == 0 || byte == '\n') break;
    if (length + 1 < kPathBufferSize && !carriageReturnAfterFull) {
      buffer[length++] = byte;
    } else if (byte == '\r' && !carriageReturnAfterFull) {
      carriageReturnAfterFull = true;
    } else {
      tooLong = true;  // read on to the line end, keep nothing
    }
  }
  if (tooLong) return kLineTooLong;
  if (length > 0 && buffer[length - 1] == '\r') --length;
  buffer[length] = '\0';
  return static_cast<int>(length);
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
