#include "app/run.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/log.h"
#include "app/options.h"
#include "console/console_state.h"
#include "console/dialogs.h"
#include "console/full_screen.h"
#include "discovery/selection.h"
#include "console/progress.h"
#include "hive/faults.h"
#include "hive/check.h"
#include "hive/image.h"
#include "hive/recovery.h"
#include "save/names.h"
#include "save/save.h"
#include "platform/memory.h"
#include "platform/termination.h"

namespace tarvos::app {

namespace {

// Run-wide state: the command line, the list of files, the fix decisions and the run flags.
struct RunState {
  RunOptions options;
  HiveList list;
  UsageText usage;
  hive::FixModeTable fixModes;
  hive::KeyPathBuffer keyPath;
  save::SaveTargets targets;
  bool abortRequested = false;
  // TARVOS_PRIVATE_MEMORY: the most private memory the run held at the end of a walk, for the
  // benchmarks (written on standard error at the end of the run).
  bool sampleMemory = false;
  uint64_t privateAtWalkEnd = 0;
  // Of the last file started.
  bool hiveChanged = false;
  hive::ErrorRecord lastError;
};

// The stages of a loaded hive, in their order: the base block and the frames, the key tree
// (salvage and the final fix-ups when no fault is left), then the save of what was repaired. Each
// ends the file's check when the run is stopped or a fault is left unfixed.
void CheckAndSave(RunState& run, const std::string& name, RunLog& log, console::Dialogs& dialogs,
                  console::ProgressScreen& progress, hive::FaultReporter& faults, hive::HiveImage& image,
                  hive::FrameScan& scan, const std::optional<platform::FileInfo>& info) {
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
  check.Walk();
  if (run.sampleMemory) run.privateAtWalkEnd = std::max(run.privateAtWalkEnd, platform::PrivateMemoryBytes());
  if (!lost() && !faults.IsErrorLeft() && !run.abortRequested && faults.Changed()) check.SalvageAndWalkAgain();
  if (!lost() && !faults.IsErrorLeft() && !run.abortRequested) check.FinalFixUps();
  // Marks never outlive the checks: removed on every path, before anything is saved.
  check.RemoveMarks();
  if (lost()) return;
  if (run.abortRequested) {
    log.Entry(hive::LogMarker::Info, "Checking process cancelled\r\n");
    return;
  }
  if (!faults.IsErrorLeft()) log.Entry(hive::LogMarker::Info, "Hive structure checked\r\n");
  // Fixes already applied are saved also when the user stopped at a later fault.
  if (!faults.Changed()) return;
  progress.SetStage(console::kStageSaving);
  save::HiveSaver saver(image, faults, dialogs, run.targets, info);
  saver.SaveChangedHive(name);
  lost();
}

// What one hive file goes through; the per-file state lives and dies here.
void ProcessFile(RunState& run, std::string& name, RunLog& log, console::Dialogs& dialogs,
                 console::ProgressScreen& progress, bool& endList) {
  hive::HiveImage image;
  // The image may be a view of the file: the work on it ends at the first page the file lost.
  hive::WatchedProgress watched(progress, image);
  hive::FaultReporter faults(hive::EngineServices{run.fixModes, dialogs, watched, log});
  faults.WatchImage(&image);

  if (run.options.perFileLog) log.OpenLog(name);
  std::optional<platform::FileInfo> info = save::ReadFileInfo(name);
  progress.ShowFileHeader(name);
  progress.SetStage(console::kStageLoading);

  // A log beside its hive (a wildcard over a registry folder names them all) is never checked as
  // a hive, whatever its first sector holds: checked as one, it would be saved as one.
  if (!run.abortRequested && hive::IsLogBesideItsHive(name)) {
    log.Entry(hive::LogMarker::Info, "Transaction log skipped: " + name + "\r\n");
  } else if (!run.abortRequested) {
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
    }
    // A dirty hive takes what its logs hold first, as Windows would when it loads it.
    if (loaded > 0 && hive::IsDirty(image)) {
      scan.Discard();  // the logs change the image
      if (hive::RecoverFromLogs(image, hive::ReadTransactionLogs(name), log)) faults.MarkChanged();
    }
    if (loaded > 0) CheckAndSave(run, name, log, dialogs, progress, faults, image, scan, info);
    image.Release();
  }

  // End of the file: outside line mode a file with no fault left is closed with a box; a stopped
  // run says so instead, and ends the list.
  if (!faults.IsErrorLeft() && !run.options.ttyMode) {
    if (run.abortRequested) {
      dialogs.ShowInformation(console::kInfoAborted, 0);
      endList = true;
    } else {
      dialogs.ShowInformation(console::kInfoComplete, 0);
    }
  }
  progress.ClearStageMarkers();
  if (run.options.perFileLog) log.CloseLog();
  run.hiveChanged = faults.Changed();
  run.lastError = faults.Error();
}

}  // namespace

int RunTarvos(const std::vector<std::string>& args, platform::ConsoleDevice& device) {
  platform::InstallTerminationCleanup();
  RunState run;
  const char* sample = std::getenv("TARVOS_PRIVATE_MEMORY");
  run.sampleMemory = sample != nullptr && *sample != '\0';
  run.usage = AssembleUsageText();
  ParseCommandLine(args, run.options, run.list);

  if (run.options.outputFileName) run.targets.outputName = *run.options.outputFileName;
  if (run.options.outputFolder) run.targets.outputFolder = *run.options.outputFolder;
  run.targets.outputGiven = run.options.outputGiven;
  run.targets.folderGiven = run.options.folderGiven;
  if (run.options.outputSwitch && run.options.outputSwitch->size() > 1) run.targets.outputLetter = (*run.options.outputSwitch)[1];
  if (run.options.folderSwitch && run.options.folderSwitch->size() > 1) run.targets.folderLetter = (*run.options.folderSwitch)[1];

  if (run.options.versionRequested && !run.options.helpRequested) {
    device.WriteStdout(VersionLine());
    return kExitNothingChanged;
  }
  // A terminal that takes no control sequences gets the line form of the run, as with /t.
  if (!run.options.ttyMode && !run.options.helpRequested) {
    std::string why = device.WhyNoScreen();
    if (!why.empty()) {
      device.WriteStderr("TarvosD: " + why + ": line mode, as with /t\n");
      run.options.ttyMode = true;
      if (run.options.selectionNeeded) run.options.helpRequested = true;
    }
  }
  console::ConsoleState console(device);
  // Until the full-screen interface is drawn, every prompt has its line form; a run without /t
  // still needs the terminal it will draw on.
  bool screen = !run.options.ttyMode && !run.options.helpRequested;
  if (!console.OpenConsoleState(screen, run.options.mouseDisabled)) {
    console.CloseConsoleState();
    return kExitNothingChanged;
  }
  if (run.options.helpRequested) {
    console.PrintHelpBanner(run.usage.help);
    console.CloseConsoleState();
    return kExitHelp;
  }
  for (const std::string& skipped : run.options.skipped) console.Notice(skipped);

  RunLog log(console, run.options.ttyMode, run.options.logEnabled, run.options.perFileLog,
             run.options.logFileName.empty() ? kDefaultLogName : run.options.logFileName);
  console::Dialogs dialogs(console, run.abortRequested, run.options.ttyMode);
  dialogs.SetHelpText(&run.usage.box);
  // Outside line mode the run is the full-screen program; where no screen can be had it asks
  // its questions as lines.
  std::unique_ptr<console::FullScreen> ui;
  if (!run.options.ttyMode && console.PrepareRunScreen()) {
    ui = std::make_unique<console::FullScreen>(device, run.abortRequested);
    dialogs.AttachScreen(ui.get());
  }
  console::ProgressScreen progress(dialogs);
  progress.CreateProgressScreen();

  if (!run.options.perFileLog) log.OpenLog(std::string());
  run.fixModes.Reset();

  // No hive named: the hives of the Windows installations in sight, and the user's choice.
  if (run.options.selectionNeeded && ui != nullptr) {
    discovery::DiscoverAndSelectHives(
        dialogs, run.options.searchDisks, run.options.driveList.value_or(std::string()),
        [&](const std::string& name) { run.list.Add(name); },
        [&](const std::string& pattern) { ExpandHiveArgument(pattern, run.list); });
  }
  if (run.list.Count() > 0) progress.DrawProgressScreen();
  bool endList = false;
  for (size_t i = 0; i < run.list.Count() && !endList; ++i) {
    ProcessFile(run, run.list[i], log, dialogs, progress, endList);
  }

  progress.CloseProgressScreen();
  if (!run.options.perFileLog) log.CloseLog();
  dialogs.AttachScreen(nullptr);
  console.FinishRunScreen();

  bool single = run.list.SingleFileRun();
  if (!run.abortRequested && !run.options.ttyMode && single && run.lastError.code != hive::kNoError) {
    hive::ErrorRecord shown = run.lastError;
    if (shown.code >= hive::kErrorCodeCount) shown.code = hive::kUnknownError;
    console.WriteStdout(hive::FormatError(shown));
    dialogs.WaitEnterToExit();
  }
  console.CloseConsoleState();
  if (run.sampleMemory) {
    device.WriteStderr("TarvosD: private memory at the end of the walk: " + std::to_string(run.privateAtWalkEnd / 1024) +
                       " KiB\n");
  }
  return (run.hiveChanged && single) ? kExitHiveChanged : kExitNothingChanged;
}

}  // namespace tarvos::app
