#include "app/run.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "app/log.h"
#include "app/options.h"
#include "app/report.h"
#include "console/console_state.h"
#include "console/dialogs.h"
#include "console/full_screen.h"
#include "discovery/selection.h"
#include "console/progress.h"
#include "hive/faults.h"
#include "hive/check.h"
#include "hive/image.h"
#include "hive/log_files.h"
#include "hive/recovery.h"
#include "save/names.h"
#include "save/save.h"
#include "platform/memory.h"
#include "platform/termination.h"

namespace tarvos::app {

namespace {

// Check only answers every fault as Fix All would, in memory: nothing asked, nothing written
// (the fix modes say Fix All already; this answers what asks all the same).
class CheckOnlyDecider final : public hive::FaultDecider {
 public:
  uint32_t AskErrorAction(uint32_t, uint32_t) override { return kAnswerFixAll; }
  bool ConfirmSignatureRepair() override { return true; }
};

// Run-wide state: the command line, the list of files, the fix decisions and the run flags.
struct RunState {
  RunOptions options;
  bool inputEnded = false;  // a prompt was answered for want of input: nothing the user chose
  // What became of each hive, said again once the run ends, and the sums for the last line.
  std::vector<std::string> verdicts;
  std::vector<size_t> byStatus = std::vector<size_t>(static_cast<size_t>(HiveStatus::Clean) + 1);
  size_t faultsFound = 0, faultsFixed = 0;
  HiveList list;
  UsageText usage;
  hive::FixModeTable fixModes;
  hive::KeyPathBuffer keyPath;
  save::SaveTargets targets;
  // The folder whose entries were last looked at for transaction logs.
  hive::FolderListing folder;
  RunReport report;
  bool abortRequested = false;
  int exitCode = kExitNothingChanged;
  size_t notStarted = 0;  // files of the list passed over once the run was stopped
  // TARVOS_PRIVATE_MEMORY: the most private memory the run held at the end of a walk, for the
  // benchmarks (written on standard error at the end of the run).
  bool sampleMemory = false;
  uint64_t privateAtWalkEnd = 0;
  // Of the last file started.
  hive::ErrorRecord lastError;
  // Who answers the faults of every file: the dialogs, or in a check-only run the answers set
  // once for the whole run.
  CheckOnlyDecider checkOnlyAnswers;
  hive::FaultDecider* fixedAnswers = nullptr;
};

// The stages of a loaded hive, in their order: the base block and the frames, the key tree
// (salvage and the final fix-ups when no fault is left), then the save of what was repaired. Each
// ends the file's check when the run is stopped or a fault is left unfixed. A check-only run
// never saves. The saver's account, when it ran, is left in saved.
void CheckAndSaveWhole(RunState& run, const std::string& name, RunLog& log, console::Dialogs& dialogs,
                       console::ProgressScreen& progress, hive::FaultReporter& faults, hive::HiveImage& image,
                       hive::FrameScan& scan, const std::optional<platform::FileInfo>& info,
                       std::optional<save::SaveOutcome>& saved) {
  // A mapped file cut short by another process: what the image holds is no longer the file. The
  // check ends there with the read error, and nothing is saved.
  auto lost = [&faults] { return faults.ReportLostImage(); };
  progress.SetStage(console::kStageStructure);
  if (run.abortRequested) return;
  log.Entry(hive::LogMarker::Info, "Processing frame structure...\r\n");
  hive::HiveCheck check(image, faults, run.keyPath);
  if (!hive::CheckBaseBlock(image, faults) || !check.CheckFrames(&scan) || lost()) {
    lost();
    return;
  }
  progress.SetStage(console::kStageData);
  if (run.abortRequested) return;
  log.Entry(hive::LogMarker::Info, "Processing hive structure...\r\n");
  if (!check.SetUpSecurity()) return;
  run.report.WatchWalk(&image, &check.walk);
  check.walk.keepRecords = run.report.Writing();  // the report counts the values of the walked tree
  check.Walk();
  if (run.sampleMemory) run.privateAtWalkEnd = std::max(run.privateAtWalkEnd, platform::PrivateMemoryBytes());
  if (!lost() && !faults.IsErrorLeft() && !run.abortRequested && faults.Changed()) check.SalvageAndWalkAgain();
  run.report.WatchWalk(&image, nullptr);
  if (!lost() && !faults.IsErrorLeft() && !run.abortRequested) check.FinalFixUps();
  if (!lost() && !faults.IsErrorLeft() && !run.abortRequested && run.report.Writing()) {
    run.report.Counted(check.walk, image);
  }
  // Marks never outlive the checks: removed on every path, before anything is saved.
  check.RemoveMarks();
  if (lost()) return;
  if (run.abortRequested) {
    log.Entry(hive::LogMarker::Info, "Checking process cancelled\r\n");
    return;
  }
  if (!faults.IsErrorLeft()) log.Entry(hive::LogMarker::Info, "Hive structure checked\r\n");
  // Fixes already applied are saved also when the user stopped at a later fault.
  if (!faults.Changed() || run.options.checkOnly) return;
  progress.SetStage(console::kStageSaving);
  save::HiveSaver saver(image, faults, dialogs, run.targets, info);
  saver.SaveWithFallback(name);
  saved = saver.Outcome();
  // A save in place has let go of the image by now; a page lost while it was written is known.
  lost();
}

// The check and save of one hive, within the engine's one rule for memory: memory that runs out
// anywhere in the check ends that hive as not checked (code 13, with a line that says so), with
// nothing saved, and the run goes on with the next hive.
void CheckAndSave(RunState& run, const std::string& name, RunLog& log, console::Dialogs& dialogs,
                  console::ProgressScreen& progress, hive::FaultReporter& faults, hive::HiveImage& image,
                  hive::FrameScan& scan, const std::optional<platform::FileInfo>& info,
                  std::optional<save::SaveOutcome>& saved) {
  try {
    CheckAndSaveWhole(run, name, log, dialogs, progress, faults, image, scan, info, saved);
  } catch (const std::bad_alloc&) {
    run.report.WatchWalk(&image, nullptr);
    log.Entry(hive::LogMarker::Error, "Not enough memory to check the hive\r\n");
    if (!faults.IsErrorLeft()) faults.ReportFault(hive::kMemoryAllocationError, hive::kNullOffset, hive::FieldRef::None(), 0);
  }
}

// What a file's processing came to, and the bits of the exit code it sets.
HiveEnd EndOfHive(const RunState& run, const hive::FaultReporter& faults, bool logSkipped,
                  const std::optional<save::SaveOutcome>& saved) {
  HiveEnd end;
  const bool checkOnly = run.options.checkOnly;
  const bool found = run.report.FaultCount() != 0;
  const hive::ErrorRecord& left = faults.Error();
  if (saved) {
    end.written = saved->written;
    end.backup = saved->backup;
  }
  // A save that failed leaves its fault behind: the hive is not saved.
  const bool saveFailed = faults.IsErrorLeft() && hive::FaultOf(left.code).ends == hive::Ends::NotSaved;
  if (logSkipped) {
    end.status = HiveStatus::Skipped;
    end.reason = "a transaction log";
  } else if (faults.IsErrorLeft() && RunReport::LeavesHiveUnchecked(left.code)) {
    end.status = HiveStatus::NotChecked;
    end.reason = FaultText(left.code);
  } else if (run.abortRequested) {
    end.status = HiveStatus::Stopped;
    end.reason = "stopped by the user";
  } else if (faults.IsErrorLeft() && !saveFailed) {
    end.status = HiveStatus::FaultLeft;
    end.reason = FaultText(left.code);
  } else if (faults.Changed() && (!checkOnly || found)) {
    bool written = saved && saved->Saved();
    end.status = written ? HiveStatus::Saved : HiveStatus::NotSaved;
    end.reason = checkOnly ? "check only" : saved ? saved->notSaved : "";
  }
  switch (end.status) {
    case HiveStatus::NotChecked: end.exitBits = kExitNotChecked; break;
    case HiveStatus::Stopped: case HiveStatus::FaultLeft: case HiveStatus::NotSaved:
      end.exitBits = kExitFaultsLeft;
      break;
    case HiveStatus::Saved: end.exitBits = kExitHiveChanged; break;
    default: break;
  }
  // Repairs written count also when a later fault was left; and what the exit code always said:
  // the single hive of the run was changed, saved or not, when the user answered the save
  // question. Input that ran out before the question saved nothing, and the bits say so.
  if (saved && saved->Saved()) end.exitBits |= kExitHiveChanged;
  if (!checkOnly && faults.Changed() && run.list.SingleFileRun() && !run.inputEnded) end.exitBits |= kExitHiveChanged;
  return end;
}

// What became of a file before its end: passed over as a log, no hive, or what its save did.
struct FileOutcome {
  bool logSkipped = false;
  std::string notHive;  // what the file holds instead, when it is no hive
  std::optional<save::SaveOutcome> saved;
};

// A dirty hive takes what its logs hold first, as Windows would when it loads it.
void ApplyTransactionLogs(RunState& run, const std::string& name, RunLog& log, hive::FaultReporter& faults,
                          hive::HiveImage& image, hive::FrameScan& scan) {
  scan.Discard();  // the logs change the image
  std::vector<hive::TransactionLog> logs = hive::ReadTransactionLogs(name, &run.folder);
  const uint32_t primary = hive::Le32(image.BaseBlock() + hive::base::kPrimarySequence);
  const uint32_t secondary = hive::Le32(image.BaseBlock() + hive::base::kSecondarySequence);
  if (logs.empty() && primary != secondary) {
    log.Entry(hive::LogMarker::Info, "Sequence numbers " + std::to_string(primary) + " and " + std::to_string(secondary) +
                                         " differ and no transaction log was found beside it: the last writes may be lost\r\n");
  }
  if (hive::RecoverFromLogs(image, logs, log)) faults.MarkChanged();
}

// Reads the file into the image and, when it is a hive and no transaction log, checks it and
// saves what was repaired.
void LoadCheckAndSave(RunState& run, const std::string& name, RunLog& log, console::Dialogs& dialogs,
                      console::ProgressScreen& progress, hive::FaultReporter& faults, hive::HiveImage& image,
                      const std::optional<platform::FileInfo>& info, FileOutcome& outcome) {
  hive::FileHiveSource source;
  std::optional<uint64_t> knownSize;
  if (info) knownSize = info->size;
  // The frames are scanned on a second core while the file is read.
  hive::FrameScan scan;
  int loaded = hive::LoadHive(image, faults, source, name, knownSize, &scan);
  // A transaction log named as a hive (a wildcard over a registry folder names them all) is
  // not one: checked as a hive, its file type would be "repaired" and the log saved as a hive.
  if (loaded > 0 && hive::IsTransactionLogFile(name, image)) {
    log.Entry(hive::LogMarker::Info, "Transaction log skipped: " + name + "\r\n");
    loaded = hive::kLoadNotOpened;
    outcome.logSkipped = true;
  }
  // A file that is no hive at all (a program, an image, zeros) is never repaired into one:
  // nothing is asked and nothing written.
  if (loaded > 0) outcome.notHive = hive::NotAHive(image);
  if (!outcome.notHive.empty()) {
    log.Entry(hive::LogMarker::Error, "Not a hive file: " + name + "\r\n");
    log.Entry(hive::LogMarker::Error, "Reason: it " + outcome.notHive + " and no page of it is a hive bin\r\n");
    loaded = hive::kLoadNotOpened;
  }
  if (loaded > 0) run.report.Loaded(image);
  if (loaded > 0 && hive::IsDirty(image)) ApplyTransactionLogs(run, name, log, faults, image, scan);
  if (loaded > 0) CheckAndSave(run, name, log, dialogs, progress, faults, image, scan, info, outcome.saved);
  image.Release();
}

// End of the file: outside line mode a file with no fault left is closed with a box (in a
// check-only run, every file, with its count); a stopped run says so instead, and ends the list.
void CloseFileOnScreen(const RunState& run, console::Dialogs& dialogs, const hive::FaultReporter& faults,
                       const FileOutcome& outcome, bool stopped, uint32_t shownCount, bool& endList) {
  if (run.options.ttyMode) return;
  if (stopped) {
    if (!faults.IsErrorLeft()) {
      dialogs.ShowInformation(console::kInfoAborted, 0);
      endList = true;
    }
  } else if (run.options.checkOnly && !outcome.logSkipped) {
    dialogs.ShowInformation(console::kInfoCheckOnly, shownCount);
  } else if (!faults.IsErrorLeft() && outcome.notHive.empty()) {
    dialogs.ShowInformation(console::kInfoComplete, 0);
  }
}

// Adds a file that was checked to the run's verdicts, sums, exit code and report.
void CountFile(RunState& run, const std::string& name, const HiveEnd& end, const std::optional<platform::FileInfo>& info) {
  run.exitCode |= end.exitBits;
  run.verdicts.push_back(VerdictLine(name, end, run.report.FaultCount(), run.report.FixedCount()));
  ++run.byStatus[static_cast<size_t>(end.status)];
  run.faultsFound += run.report.FaultCount();
  run.faultsFixed += run.report.FixedCount();
  run.report.EndHive(end, info ? std::optional<uint64_t>(info->size) : std::nullopt);
}

// What one hive file goes through; the per-file state lives and dies here.
void ProcessFile(RunState& run, std::string& name, RunLog& log, console::Dialogs& dialogs,
                 console::ProgressScreen& progress, bool& endList) {
  const bool alreadyStopped = run.abortRequested;
  hive::FaultDecider& decider = run.fixedAnswers != nullptr ? *run.fixedAnswers : dialogs;
  hive::HiveImage image;
  // The image may be a view of the file: the work on it ends at the first page the file lost.
  hive::WatchedProgress watched(progress, image);
  hive::FaultReporter faults(hive::EngineServices{run.fixModes, decider, watched, log});
  faults.Watch(&run.report);
  faults.WatchImage(&image);
  // The hives of a run that named none were found: the report says where each belongs.
  run.report.BeginHive(name, run.options.selectionNeeded ? discovery::InstallationOf(name) : std::string());
  dialogs.BeginHive();
  run.report.WatchWalk(&image, nullptr);
  progress.ShowFault(0, {});

  if (run.options.perFileLog) log.OpenLog(name);
  std::optional<platform::FileInfo> info = save::ReadFileInfo(name);
  progress.ShowFileHeader(name);
  progress.SetStage(console::kStageLoading);

  FileOutcome outcome;
  // A log beside its hive (a wildcard over a registry folder names them all) is never checked as
  // a hive, whatever its first sector holds: checked as one, it would be saved as one.
  if (!run.abortRequested && hive::IsLogBesideItsHive(name, &run.folder)) {
    log.Entry(hive::LogMarker::Info, "Transaction log skipped: " + name + "\r\n");
    outcome.logSkipped = true;
  } else if (!run.abortRequested) {
    LoadCheckAndSave(run, name, log, dialogs, progress, faults, image, info, outcome);
  }
  run.report.WatchWalk(nullptr, nullptr);

  run.inputEnded = dialogs.InputEnded();
  HiveEnd end = EndOfHive(run, faults, outcome.logSkipped, outcome.saved);
  if (!outcome.notHive.empty()) {
    end.status = HiveStatus::NotChecked;
    end.reason = "not a hive file: " + outcome.notHive;
    end.exitBits = kExitNotChecked;
  }
  const bool stopped = run.abortRequested;
  // A check-only run ends each hive it checked with a line that counts its faults.
  const auto shownCount = end.status == HiveStatus::NotChecked ? console::kCheckOnlyNotChecked
                                                                : static_cast<uint32_t>(run.report.FaultCount());
  if (run.options.checkOnly && !outcome.logSkipped && !stopped) {
    log.Entry(hive::LogMarker::Info, console::CheckOnlyText(shownCount) + "\r\n");
  }
  CloseFileOnScreen(run, dialogs, faults, outcome, stopped, shownCount, endList);
  progress.ClearStageMarkers();
  progress.ShowFault(0, {});
  if (run.options.perFileLog) log.CloseLog();
  run.lastError = faults.Error();
  // A file taken up after the run was stopped is passed over: neither checked nor counted.
  if (alreadyStopped) {
    ++run.notStarted;
    return;
  }
  CountFile(run, name, end, info);
}

// The hives a run without a hive name takes in line mode, as the selection window would list
// them; none found is said on standard error, and counts as a hive not checked.
std::vector<std::string> FindHivesOrSay(RunState& run, discovery::SearchProgress& progress,
                                        console::ConsoleState& console) {
  std::vector<std::string> hives =
      discovery::FindHives(progress, run.options.searchDisks, run.options.driveList.value_or(std::string()));
  if (hives.empty()) {
    console.Notice("no hive found");
    run.exitCode |= kExitNotChecked;
  }
  return hives;
}

// No hive named: on the full screen the user's choice among the hives of the Windows
// installations in sight; in line mode every one of them.
void FillListWithoutName(RunState& run, console::Dialogs& dialogs, console::ConsoleState& console, bool screen) {
  if (!run.options.selectionNeeded) return;
  if (screen) {
    discovery::DiscoverAndSelectHives(
        dialogs, run.options.searchDisks, run.options.driveList.value_or(std::string()),
        [&](const std::string& name) { run.list.Add(name); },
        [&](const std::string& pattern) { ExpandHiveArgument(pattern, run.list); });
  } else if (run.options.ttyMode) {
    for (const std::string& name : FindHivesOrSay(run, dialogs, console)) run.list.Add(name);
  }
}

// The save targets the command line names (/o, /p and the drive letters after them).
void SetSaveTargets(const RunOptions& options, save::SaveTargets& targets) {
  if (options.outputFileName) targets.outputName = *options.outputFileName;
  if (options.outputFolder) targets.outputFolder = *options.outputFolder;
  if (options.outputGiven) targets.outputGiven = save::SwitchTarget::Elsewhere;
  if (options.folderGiven) targets.folderGiven = save::SwitchTarget::Elsewhere;
  if (options.outputSwitch && options.outputSwitch->size() > 1) targets.outputLetter = (*options.outputSwitch)[1];
  if (options.folderSwitch && options.folderSwitch->size() > 1) targets.folderLetter = (*options.folderSwitch)[1];
}

// Reads the command line into the run; an exit code when the run ends with it (a usage error, or
// the version asked for).
std::optional<int> ReadCommandLine(const std::vector<std::string>& args, platform::ConsoleDevice& device, RunState& run) {
  ParseCommandLine(args, run.options, run.list);
  if (run.options.usageError.empty()) run.options.usageError = SaveTargetProblem(run.options);
  if (!run.options.usageError.empty()) {
    device.WriteStderr("TarvosD: " + run.options.usageError + "\n");
    return kExitUsage;
  }
  SetSaveTargets(run.options, run.targets);
  if (run.options.versionRequested && !run.options.helpRequested) {
    device.WriteStdout(VersionLine());
    return kExitNothingChanged;
  }
  return std::nullopt;
}

// A terminal that takes no control sequences gets the line form of the run, as with /t.
void FallBackToLineMode(RunState& run, platform::ConsoleDevice& device) {
  if (run.options.ttyMode || run.options.helpRequested) return;
  std::string why = device.WhyNoScreen();
  if (why.empty()) return;
  device.WriteStderr("TarvosD: " + why + ": line mode, as with /t\n");
  run.options.ttyMode = true;
  if (run.options.selectionNeeded) run.options.helpRequested = true;
}

// A command line that cannot be followed: what is wrong, then the usage, which never goes into
// a report written to standard output.
int ShowHelp(const RunState& run, platform::ConsoleDevice& device, console::ConsoleState& console) {
  if (!run.options.helpReason.empty()) device.WriteStderr("TarvosD: " + run.options.helpReason + "\n");
  if (run.options.reportName == kReportToStdout) console.SendTextToStderr(true);
  console.PrintHelpBanner(run.usage.help);
  console.CloseConsoleState();
  return kExitHelp;
}

// The report: a file of its own, emptied, or standard output, which line mode's text then
// leaves to standard error. False when the report file cannot be written.
bool OpenReport(RunState& run, platform::ConsoleDevice& device, console::ConsoleState& console,
                platform::File& reportFile) {
  if (run.options.reportName == kReportToStdout) {
    console.SendTextToStderr(true);
    run.report.SetWriter([&device](std::string_view line) {
      device.WriteStdout(line);
      return true;
    });
  } else if (run.options.reportName) {
    if (!reportFile.OpenEmptied(*run.options.reportName)) {
      console.Notice(*run.options.reportName + ": cannot write report file (" + reportFile.Failure() + ")");
      return false;
    }
    run.report.SetWriter([&reportFile](std::string_view line) { return reportFile.Write(line.data(), line.size()); });
  }
  run.report.SetCheckOnly(run.options.checkOnly);
  return true;
}

// What the command line or a list file names but the run cannot check: said, reported and
// counted as it is met.
void NoteSkipped(RunState& run, console::ConsoleState& console) {
  for (const SkippedInput& skipped : run.options.skipped) {
    console.Notice(skipped.Text());
    run.verdicts.push_back(skipped.name + ": not checked: " + skipped.why);
    ++run.byStatus[static_cast<size_t>(HiveStatus::NotChecked)];
    run.report.SkippedInput(skipped.name, skipped.why);
    run.exitCode |= kExitNotChecked;
  }
  run.options.skipped.clear();
}

// /f: the hives found, one path a line (for an @<listfile>, xargs, or a look before a repair).
int PrintHivesFound(RunState& run, platform::ConsoleDevice& device, console::Dialogs& dialogs,
                    console::ConsoleState& console) {
  for (const std::string& name : FindHivesOrSay(run, dialogs, console)) device.WriteStdout(name + "\n");
  console.CloseConsoleState();
  return run.exitCode;
}

// Outside line mode the run is the full-screen program; where no screen can be had it asks
// its questions as lines (and there is no full screen).
std::unique_ptr<console::FullScreen> OpenFullScreen(RunState& run, platform::ConsoleDevice& device,
                                                    console::ConsoleState& console, console::Dialogs& dialogs) {
  std::unique_ptr<console::FullScreen> ui;
  if (!run.options.ttyMode && console.PrepareRunScreen()) {
    ui = std::make_unique<console::FullScreen>(device, run.abortRequested);
    dialogs.AttachScreen(ui.get());
  }
  return ui;
}

// Check only, decided here for the whole run: every fault that would be asked is fixed as Fix
// All fixes it, in memory, and what asks all the same (a signature's repair) is answered without
// a question; the progress window, which asks nothing now, shows the faults as they come.
void AnswerEveryFaultWithFixAll(RunState& run, console::ProgressScreen& progress) {
  for (uint32_t code = 0; code < hive::kErrorCodeCount; ++code) {
    if (run.fixModes.Get(code) == hive::kFixAsk) run.fixModes.Set(code, hive::kFixAll);
  }
  run.fixedAnswers = &run.checkOnlyAnswers;
  run.report.onFault = [&progress](const ReportedFault& fault, size_t count) {
    std::string text = hive::FormatError(fault.record);
    progress.ShowFault(count, text.substr(0, text.size() - 2));
  };
}

// Every file of the list in turn, until the list ends or a stopped run ends it; the files left
// then are counted as not started.
void ProcessEveryFile(RunState& run, RunLog& log, console::Dialogs& dialogs, console::ProgressScreen& progress,
                      console::ConsoleState& console) {
  if (run.list.Waiting() > 0) progress.DrawProgressScreen();
  bool endList = false;
  std::string name;
  while (!endList && run.list.Next(name, &run.options.skipped)) {
    NoteSkipped(run, console);
    ProcessFile(run, name, log, dialogs, progress, endList);
  }
  NoteSkipped(run, console);
  while (endList && run.list.Next(name)) ++run.notStarted;
}

// Once the full screen is gone: a line a hive, then the sums, where the log's lines went.
void PrintVerdicts(const RunState& run, platform::ConsoleDevice& device) {
  if (run.verdicts.empty()) return;
  std::string lines = "\r\n";
  for (const std::string& verdict : run.verdicts) lines += verdict + "\r\n";
  lines += TotalsLine(run.byStatus, run.faultsFound, run.faultsFixed) + "\r\n";
  run.options.reportName == kReportToStdout ? device.WriteStderr(lines) : device.WriteStdout(lines);
}

// The full-screen run of a single hive ends on the fault it left, until the user presses Enter.
void ShowFaultLeft(const RunState& run, console::ConsoleState& console, console::Dialogs& dialogs) {
  bool single = run.list.SingleFileRun();
  if (run.abortRequested || run.options.ttyMode || !single || run.lastError.code == hive::kNoError) return;
  hive::ErrorRecord shown = run.lastError;
  if (shown.code >= hive::kErrorCodeCount) shown.code = hive::kUnknownError;
  console.WriteStdout(hive::FormatError(shown));
  dialogs.WaitEnterToExit();
}

}  // namespace

int RunTarvos(const std::vector<std::string>& args, platform::ConsoleDevice& device) {
  platform::InstallTerminationCleanup();
  RunState run;
  const char* sample = std::getenv("TARVOS_PRIVATE_MEMORY");
  run.sampleMemory = sample != nullptr && *sample != '\0';
  run.usage = AssembleUsageText();
  if (std::optional<int> ended = ReadCommandLine(args, device, run)) return *ended;
  FallBackToLineMode(run, device);
  console::ConsoleState console(device);
  // Until the full-screen interface is drawn, every prompt has its line form; a run without /t
  // still needs the terminal it will draw on.
  bool screen = !run.options.ttyMode && !run.options.helpRequested;
  if (!console.OpenConsoleState(screen, run.options.mouseDisabled)) {
    console.CloseConsoleState();
    return kExitNotChecked;
  }
  if (run.options.helpRequested) return ShowHelp(run, device, console);
  platform::File reportFile;
  if (!OpenReport(run, device, console, reportFile)) {
    console.CloseConsoleState();
    return kExitNotChecked;
  }
  NoteSkipped(run, console);

  RunLog log(console, run.options.ttyMode, run.options.logEnabled, run.options.perFileLog,
             run.options.logFileName.empty() ? kDefaultLogName : run.options.logFileName);
  console::Dialogs dialogs(console, run.abortRequested, run.options.ttyMode);
  dialogs.SetHelpText(&run.usage.box);
  dialogs.AnswerEveryPrompt(run.options.answerEvery);
  if (run.options.findOnly) return PrintHivesFound(run, device, dialogs, console);
  std::unique_ptr<console::FullScreen> ui = OpenFullScreen(run, device, console, dialogs);
  console::ProgressScreen progress(dialogs);
  progress.CreateProgressScreen();
  log.onEvent = [&run](const hive::EventRecord& event) { run.report.Happened(event); };

  if (!run.options.perFileLog) log.OpenLog(std::string());
  run.fixModes.Reset();
  if (run.options.checkOnly) AnswerEveryFaultWithFixAll(run, progress);
  FillListWithoutName(run, dialogs, console, ui != nullptr);
  ProcessEveryFile(run, log, dialogs, progress, console);

  progress.CloseProgressScreen();
  if (!run.options.perFileLog) log.CloseLog();
  dialogs.AttachScreen(nullptr);
  console.FinishRunScreen();
  PrintVerdicts(run, device);
  ShowFaultLeft(run, console, dialogs);
  console.CloseConsoleState();
  if (run.sampleMemory) {
    device.WriteStderr("TarvosD: private memory at the end of the walk: " + std::to_string(run.privateAtWalkEnd / 1024) +
                       " KiB\n");
  }
  run.report.Finish(run.abortRequested, run.notStarted, run.exitCode);
  return run.exitCode;
}

}  // namespace tarvos::app
