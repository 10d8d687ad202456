// The answers to every question of the program, from the fault prompt to the drive list and the
// selection window: one type and one set of values. A button's answer is the same whichever
// window shows it (Fix and Overwrite are the first button's, Stop and Cancel the last's).
#pragma once

#include <cstdint>

namespace tarvos {

enum Answer : uint32_t {
  kAnswerNone = 0,  // nothing answered yet
  kAnswerFix = 0x01000000,
  kAnswerOverwrite = kAnswerFix,
  kAnswerDisk = 0x02000000,
  kAnswerSkip = 0x04000000,
  kAnswerFixAll = 0x11000000,
  kAnswerSkipAll = 0x14000000,
  kAnswerOk = 0x81000000,  // Ok, Select, Enter
  kAnswerManual = 0x82000000,
  kAnswerHelp = 0x83000000,
  kAnswerTyped = 0xFD000000,   // a path was typed
  kAnswerChosen = 0xFE000000,  // a line of a list was chosen
  kAnswerStop = 0xFF000000,    // Stop, Cancel, Esc
  kAnswerCancel = kAnswerStop,
};

}  // namespace tarvos
