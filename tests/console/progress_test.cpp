// The progress window and the questions in their windows, on the headless device.
#include <gtest/gtest.h>

#include "console/progress.h"
#include "hive/faults.h"
#include "platform/headless_console.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"
#include "support/walked_hive.h"

namespace tarvos::console {
namespace {

struct ScreenRun {
  explicit ScreenRun(std::string keys = {}) : device(std::move(keys)) {
    state.OpenConsoleState(true, false);
    state.PrepareRunScreen();
    dialogs.AttachScreen(&ui);
    progress.CreateProgressScreen();
    progress.DrawProgressScreen();
  }
  std::string Row(int y, int from = 0, int count = 80) {
    std::string text;
    for (int x = from; x < from + count; ++x) {
      uint32_t ch = device.Screen().At(x, y).ch;
      if (ch < 0x80) {
        text += static_cast<char>(ch);
      } else {
        platform::AppendUtf8(text, ch);
      }
    }
    return text;
  }
  platform::HeadlessConsole device;
  ConsoleState state{device};
  bool abortRequested = false;
  Dialogs dialogs{state, abortRequested, false};
  FullScreen ui{device, abortRequested};
  ProgressScreen progress{dialogs};
};

TEST(ProgressWindow, GaugeOffsetStagesAndFileName) {
  ScreenRun run;
  ASSERT_EQ(run.progress.GaugeLength(), 60);
  struct Gauge {
    uint32_t permille;
    int filled;
    const char* percent;
  };
  // Within a stage the gauge never goes back (a walk done again starts from nothing).
  for (Gauge g : {Gauge{500, 30, "50% "}, Gauge{20, 30, "50% "}, Gauge{1000, 60, "100%"}}) {
    run.progress.SetGauge(g.permille);
    run.progress.DrawPending();
    EXPECT_EQ(run.progress.GaugeFilled(), g.filled);
    EXPECT_EQ(run.Row(22, 74, 4), g.percent);
  }
  run.progress.SetGauge(kGaugeReset);
  EXPECT_EQ(run.progress.GaugeFilled(), 0);
  EXPECT_EQ(run.Row(22, 74, 4), "    ") << "the reset blanks the percentage";
  EXPECT_EQ(run.device.Screen().At(13, 22).ch, 0x2591u);
  run.progress.SetGauge(1);
  run.progress.DrawPending();
  EXPECT_EQ(run.progress.GaugeFilled(), 0);
  EXPECT_EQ(run.Row(22, 74, 4), "0%  ");

  run.progress.PollProgress(0x1A2B);
  run.progress.DrawPending();
  EXPECT_EQ(run.Row(2, 68, 10), "0x00001A2B");
  run.progress.PollProgress(0);
  run.progress.DrawPending();
  EXPECT_EQ(run.Row(2, 68, 10), "          ");

  std::string name = "/mnt/c/Windows/System32/config/" + std::string(60, 'x') + "/SOFTWARE";
  run.progress.ShowFileHeader(name);
  EXPECT_EQ(run.Row(5, 6, 32), "Castellan is now checking file: ");
  EXPECT_EQ(run.Row(5, 38, 36), "/mnt/…" + name.substr(name.size() - 30)) << "the path cut in its middle, to the field";
  for (uint32_t stage = 0; stage < 4; ++stage) run.progress.SetStage(stage);
  EXPECT_EQ(run.Row(7, 10, 1) + run.Row(8, 10, 1) + run.Row(9, 10, 1) + run.Row(10, 10, 1), "♦♦♦►");
  EXPECT_EQ(run.Row(10, 13, 6), "Saving");
  run.progress.ClearStageMarkers();
  EXPECT_EQ(run.Row(7, 10, 1) + run.Row(10, 10, 1), "  ");

  // P and R focus the first button whatever it reads; P pauses, R resumes, neither toggles.
  struct Key {
    char ch;
    bool paused;
  };
  WindowRecord& main = run.ui.windows.Record(kProgressWindow);
  for (Key k : {Key{'r', false}, Key{'p', true}, Key{'P', true}, Key{'R', false}, Key{'r', false}}) {
    run.ui.windows.FocusSlot(1);
    run.ui.input.DispatchEvent(InputEvent{0, static_cast<uint8_t>(k.ch), 0, 0, {}});
    EXPECT_EQ(main.focusedSlot, 0) << k.ch;
    EXPECT_EQ(run.dialogs.RunPaused(), k.paused) << k.ch;
    EXPECT_EQ(run.Row(main.buttons[0].pos.y, main.buttons[0].pos.x, 7), k.paused ? " Resume" : " Pause ") << k.ch;
  }
}

// The gauge's values of a real check whose walk on two cores gives up on a fault and starts
// again on one: they go back, and the window never shows it.
TEST(ProgressWindow, GaugeOfAWalkDoneAgainNeverGoesBack) {
  std::string shared = testing::SharedHivesDir();
  if (shared.empty()) GTEST_SKIP() << testing::kNoSharedHives;
  testing::WalkedHive walked(testing::ReadFileBytes(shared + "/damaged/BadListHive"), testing::FixAllAnswers());
  const std::vector<uint32_t>& values = walked.rig.progress.gauge;
  bool wentBack = false;
  for (size_t i = 1; i < values.size(); ++i) wentBack = wentBack || values[i] < values[i - 1];
  ASSERT_TRUE(wentBack) << "the walk was done again";
  ScreenRun run;
  int shown = 0;
  for (uint32_t value : values) {
    run.progress.SetGauge(value);
    run.progress.DrawPending();
    int now = std::stoi(run.Row(22, 74, 4));
    EXPECT_GE(now, shown) << value;
    shown = now;
  }
}

TEST(ConsoleDialogs, WindowsOfTheQuestions) {
  {
    ScreenRun run("\x1b");
    EXPECT_EQ(run.dialogs.AskErrorAction(hive::kNullOffset, hive::kBrokenHeader), kAnswerCancel);
    EXPECT_NE(run.device.Sent().find("Error on offset: 0x???????? "), std::string::npos);
    EXPECT_NE(run.device.Sent().find("<Broken hive header>"), std::string::npos);
  }
  {
    ScreenRun run("f");
    EXPECT_EQ(run.dialogs.AskErrorAction(0x2468, hive::kInvalidOffset), kAnswerFix);
    EXPECT_NE(run.device.Sent().find("Error on offset: 0x00002468 "), std::string::npos);
  }
  {
    // The drive list: the first Enter gives the list the keyboard, Down moves, Enter chooses.
    ScreenRun run("\r");
    run.device.AddKey(platform::KeyEvent{0, platform::kVkDown, 0});
    run.device.AddKeys("\r");
    std::vector<platform::Drive> drives(3);
    for (int i = 0; i < 3; ++i) drives[static_cast<size_t>(i)].letter = static_cast<char>('C' + i);
    drives[0].root = "C:\\";  // a Windows drive: its root is shown
    drives[1].label = "/media/usb";
    size_t chosen = 9;
    EXPECT_EQ(run.dialogs.AskDriveLetter(drives, chosen), kAnswerChosen);
    EXPECT_EQ(chosen, 1u);
    EXPECT_EQ(run.ui.windows.Record(kDriveSelection).text, "C:\\\nD: /media/usb\nE:");
    EXPECT_EQ(run.device.KeysLeft(), 0u);
  }
  struct Text {
    uint32_t variant;
    const char* text;
  };
  for (Text t : {Text{0, "Please insert disk into drive A:"}, Text{1, "Please insert new disk into drive A:"},
                 Text{2, "Not enough space. Please insert another disk into drive A:"}}) {
    ScreenRun run("\r");
    EXPECT_EQ(run.dialogs.AskInsertDisk('A', t.variant), kAnswerOk);
    EXPECT_EQ(run.ui.windows.Record(kInsertDisk).text, t.text);
  }
  // An information box has room for its text: every line drawn, no scroll bar.
  struct Box {
    uint32_t type, argument;
    std::vector<std::string> lines;
  };
  for (const Box& b : {Box{kInfoSavingFailed, 'p', {"Saving failed.", "Command line switch /p ignored: the ", "hive file itself will be overwritten ", "after a backup"}},
                       Box{kInfoPartsSaved, 3, {"Now You have 3 parts of hive file.", "You can join it together by commandfile ",
                                                "REDIVIV.IRE enclosed with last", "volume"}}}) {
    ScreenRun run("\r");
    run.dialogs.ShowInformation(b.type, b.argument);
    WindowRecord& box = run.ui.windows.Record(kInformation);
    EXPECT_EQ(box.lines, b.lines);
    EXPECT_FALSE(box.scrollShown) << b.type;
    EXPECT_NE(run.device.Sent().find(b.lines.back()), std::string::npos) << "the last line is drawn";
  }
}

// The selection of hive files: a list chosen from, a path typed, a search cancelled.
TEST(ConsoleDialogs, SelectionPathAndSearch) {
  std::string listing;
  for (int i = 0; i < 25; ++i) listing += (i > 0 ? "\n" : "") + std::string("Hivefile: C:/hive") + std::to_string(i);
  {
    ScreenRun run("\r");
    for (int i = 0; i < 12; ++i) run.device.AddKey(platform::KeyEvent{0, platform::kVkDown, 0});
    run.device.AddKeys("\r");
    size_t chosen = 0;
    std::string typed;
    EXPECT_EQ(run.dialogs.RunBrowserDialog(listing, 25, chosen, typed), kAnswerChosen);
    EXPECT_EQ(chosen, 12u) << "ten rows shown, the list scrolled by the last Down keys";
  }
  {
    ScreenRun run;
    run.device.AddKey(platform::KeyEvent{0, platform::kVkRight, 0});
    // Esc leaves the field; opened again, it holds what was typed.
    run.device.AddKeys("\rC:/x\bhi\x1b\rve\r");
    size_t chosen = 0;
    std::string typed;
    EXPECT_EQ(run.dialogs.RunBrowserDialog(listing, 25, chosen, typed), kAnswerTyped);
    EXPECT_EQ(typed, "C:/hive");
  }
  {
    ScreenRun run("\x1b");
    run.device.SetKeysSeenByPolls(true);
    run.dialogs.OpenSearchWindow();
    std::string folder = "/mnt/c/Windows";
    uint32_t result = kAnswerNone;
    for (int i = 0; i < 5 && result == kAnswerNone; ++i) result = run.dialogs.UpdateSearchWindow(&folder);
    EXPECT_EQ(result, kAnswerCancel);
    EXPECT_NE(run.device.Sent().find("/mnt/c/Windows"), std::string::npos);
    run.dialogs.CloseSearchWindow();
  }
  // Nothing found: the box offers " Manual ", the path field, or " Cancel " (Right, Enter) and Esc.
  for (std::string keys : {"\rC:/typed\r", "R\r", "\x1b"}) {
    ScreenRun run(keys[0] == 'R' ? "" : keys);
    if (keys[0] == 'R') {
      run.device.AddKey(platform::KeyEvent{0, platform::kVkRight, 0});
      run.device.AddKeys("\r");
    }
    std::string typed;
    EXPECT_EQ(run.dialogs.ShowNothingFound(typed), keys[0] == '\r' ? kAnswerTyped : kAnswerCancel) << keys;
    EXPECT_EQ(typed, keys[0] == '\r' ? "C:/typed" : "");
    for (const char* shown : {"No hive files found", " Manual ", " Cancel "}) {
      EXPECT_NE(run.device.Sent().find(shown), std::string::npos);
    }
    EXPECT_EQ(run.ui.windows.Record(kInformation).buttons[0].label, "   Ok   ") << "the box's own label back";
  }
}

}  // namespace
}  // namespace tarvos::console
