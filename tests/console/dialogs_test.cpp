// The line forms of the prompts: what they print, which keys answer them, and the end of input.
#include <gtest/gtest.h>

#include "console/dialogs.h"
#include "console/progress.h"
#include "hive/faults.h"
#include "platform/headless_console.h"

namespace tarvos::console {
namespace {

struct DialogRig {
  explicit DialogRig(std::string keys, bool tty = true) : device(std::move(keys)), console(device), dialogs(console, abort, tty) {}
  platform::HeadlessConsole device;
  ConsoleState console;
  bool abort = false;
  Dialogs dialogs;
};

TEST(ErrorPrompt, FixFixAllAndStopEchoInLowerCase) {
  struct Case {
    const char* keys;
    uint32_t result;
    const char* echo;
  };
  for (const Case& c : {Case{"F", kAnswerFix, "f\r\n"}, Case{"a", kAnswerFixAll, "a\r\n"},
                        Case{"S", kAnswerCancel, "s\r\n"}, Case{"\x1b", kAnswerCancel, "\r\n"},
                        Case{"xkl\r0f", kAnswerFix, "f\r\n"}}) {
    DialogRig rig(c.keys);
    EXPECT_EQ(rig.dialogs.AskErrorAction(0x1000, hive::kInvalidCellSize), c.result) << c.keys;
    EXPECT_EQ(rig.device.Stdout(), std::string("Press key to Fix/fix All/Stop [F|A|S]:") + c.echo) << c.keys;
    EXPECT_EQ(rig.dialogs.CurrentKind(), kProgressWindow);
    EXPECT_FALSE(rig.abort);
  }
}

TEST(ErrorPrompt, CtrlLettersAreIgnored) {
  DialogRig rig("");
  platform::KeyEvent ctrlF = platform::KeyFromByte('f');
  ctrlF.control = platform::kLeftCtrl;
  rig.device.AddKey(ctrlF);
  rig.device.AddKeys("s");
  EXPECT_EQ(rig.dialogs.AskErrorAction(0, 5), kAnswerCancel);
}

// The drive prompt takes letters only: the bytes of a character typed beyond ASCII arrive as
// keys of their own, and 0xD0 (the lead byte of "\xD0\xAE", Cyrillic) is no "P".
TEST(DrivePrompt, BytesBeyondAsciiAreNoLetters) {
  DialogRig rig("\xD0\xAE" "d");
  std::vector<platform::Drive> drives(3);
  for (size_t i = 0; i < drives.size(); ++i) drives[i].letter = "CDP"[i];
  size_t chosen = 9;
  EXPECT_EQ(rig.dialogs.AskDriveLetter(drives, chosen), kAnswerChosen);
  EXPECT_EQ(chosen, 1u);
  EXPECT_EQ(rig.device.Stdout(), "Press drive letter to save file [C,D,P]:D\r\n");
}

TEST(ErrorPrompt, OutsideLineModeTheFaultIsNamedFirst) {
  DialogRig rig("f", false);
  EXPECT_EQ(rig.dialogs.AskErrorAction(0x2000, hive::kInvalidFrameSignature), kAnswerFix);
  EXPECT_EQ(rig.device.Stdout(),
            "\r\n<Invalid frame signature> - 0x00002000\r\nPress key to Fix/fix All/Stop [F|A|S]:f\r\n");
}

TEST(EndOfInput, AnswersEveryWaitingPromptAsEsc) {
  DialogRig rig("");
  EXPECT_EQ(rig.dialogs.AskErrorAction(0, 11), kAnswerCancel);
  EXPECT_EQ(rig.dialogs.ShowInformation(kInfoBackupImpossible, 0), kAnswerCancel);
  rig.dialogs.AskExitConfirmation();
  EXPECT_FALSE(rig.abort) << "Esc at the exit confirmation continues";
  rig.dialogs.SetCurrentKind(kNoWindow);
  rig.dialogs.WaitEnterToExit();  // returns instead of hanging
  EXPECT_EQ(rig.device.Stdout(),
            "Press key to Fix/fix All/Stop [F|A|S]:\r\n"
            "\r\nImpossible to backup original hive file. Press Enter to continue...\r\n\r\n"
            "Press key to Continue/Exit [C|X]:\r\n"
            "\r\nPress Enter to exit...\r\n");
}

TEST(ExitConfirmation, XStopsTheRunAndCContinues) {
  DialogRig rig("qc");
  rig.dialogs.AskExitConfirmation();
  EXPECT_FALSE(rig.abort);
  EXPECT_EQ(rig.device.Stdout(), "Press key to Continue/Exit [C|X]:c\r\n");
  DialogRig stop("X");
  stop.dialogs.AskExitConfirmation();
  EXPECT_TRUE(stop.abort);
  EXPECT_EQ(stop.device.Stdout(), "Press key to Continue/Exit [C|X]:x\r\n");
  EXPECT_EQ(stop.dialogs.CurrentKind(), kProgressWindow);
}

TEST(ProgressPolling, EscOpensTheExitConfirmationInsideAPoll) {
  DialogRig rig("\x1bx");
  rig.device.SetKeysSeenByPolls(true);
  ProgressScreen progress(rig.dialogs);
  EXPECT_FALSE(progress.PollProgress(0x1000));
  EXPECT_TRUE(rig.abort);
  EXPECT_FALSE(progress.PollProgress(0x2000)) << "every later poll answers stop";
  EXPECT_EQ(rig.device.Stdout(), "Press key to Continue/Exit [C|X]:x\r\n");

  DialogRig goOn("\x1b" "c");
  goOn.device.SetKeysSeenByPolls(true);
  ProgressScreen more(goOn.dialogs);
  EXPECT_TRUE(more.PollProgress(0));
  EXPECT_FALSE(goOn.abort);
}

TEST(ProgressPolling, PromptAnswersAreNotTakenByPollsOfAPipe) {
  DialogRig rig("f");
  ProgressScreen progress(rig.dialogs);
  EXPECT_TRUE(progress.PollProgress(0));
  EXPECT_EQ(rig.device.KeysLeft(), 1u) << "the answer waits for its prompt";
  EXPECT_EQ(rig.dialogs.AskErrorAction(0, 11), kAnswerFix);
}

// In line mode an information is one prompt that shows its argument in its place and waits for
// Enter alone.
TEST(Information, TextsAndEnter) {
  struct Case {
    uint32_t type, argument;
    const char* shows;
  };
  const Case cases[] = {
      {kInfoNotEnoughSpace, 'D', "on drive D:."},
      {kInfoPartsSaved, 3, "have 3 parts"},
      {kInfoSavingFailed, 'o', "switch /o ignored: the hive file itself will be overwritten after a backup."},
      {kInfoComplete, 0, "complete."},
      {kInfoAborted, 0, "aborted."},
  };
  for (const Case& c : cases) {
    DialogRig rig("z\r");
    EXPECT_EQ(rig.dialogs.ShowInformation(c.type, c.argument), kAnswerOk);
    const std::string out = rig.device.Stdout(), end = " Press Enter to continue...\r\n\r\n";
    EXPECT_EQ(out.rfind("\r\n", 0), 0u) << out;
    EXPECT_NE(out.find(c.shows), std::string::npos) << out;
    ASSERT_GE(out.size(), end.size());
    EXPECT_EQ(out.substr(out.size() - end.size()), end) << out;
  }
}

TEST(Information, SignatureConfirmationOnlyOutsideLineMode) {
  DialogRig tty("");
  EXPECT_TRUE(tty.dialogs.ConfirmSignatureRepair());
  EXPECT_EQ(tty.device.Stdout(), "");
  DialogRig yes("\r", false);
  EXPECT_TRUE(yes.dialogs.ConfirmSignatureRepair());
  DialogRig no("\x1b", false);
  EXPECT_FALSE(no.dialogs.ConfirmSignatureRepair());
  EXPECT_NE(no.device.Stdout().find("You must be sure that You correct the file You need."), std::string::npos);
}

TEST(WaitEnterToExit, OnlyEnterEndsIt) {
  DialogRig rig("xa\x1b\r");
  rig.dialogs.SetCurrentKind(kNoWindow);
  rig.dialogs.WaitEnterToExit();
  EXPECT_EQ(rig.device.KeysLeft(), 0u);
  EXPECT_EQ(rig.device.Stdout(), "\r\nPress Enter to exit...\r\n");
}

TEST(ConsoleState, OpenCloseAndTheCtrlHandler) {
  EXPECT_TRUE(ConsoleCtrlHandler(0));
  EXPECT_TRUE(ConsoleCtrlHandler(1));
  EXPECT_FALSE(ConsoleCtrlHandler(2));
  EXPECT_FALSE(ConsoleCtrlHandler(5));

  platform::HeadlessConsole device;
  ConsoleState console(device);
  ASSERT_TRUE(console.OpenConsoleState(false, false));
  EXPECT_TRUE(device.HandlerInstalled());
  EXPECT_EQ(device.Title(), "Castellan");
  console.CloseConsoleState();
  console.CloseConsoleState();
  EXPECT_FALSE(device.HandlerInstalled());
  EXPECT_FALSE(device.IsOpen());
  console.WriteStdout("after");
  EXPECT_EQ(device.Stdout(), "after");

  platform::HeadlessConsole small;
  small.SetOpenResult(platform::ConsoleOpen::TooSmall);
  ConsoleState tooSmall(small);
  EXPECT_FALSE(tooSmall.OpenConsoleState(true, false));
  EXPECT_EQ(small.Stdout(), "Console screen is too small\r\n");
  tooSmall.CloseConsoleState();

  platform::HeadlessConsole none;
  none.SetOpenResult(platform::ConsoleOpen::NoConsole);
  ConsoleState noConsole(none);
  EXPECT_FALSE(noConsole.OpenConsoleState(true, false));
  EXPECT_EQ(none.Stdout(), "");
  EXPECT_NE(none.Stderr().find("/t"), std::string::npos);
}

}  // namespace
}  // namespace tarvos::console
