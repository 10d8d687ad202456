// What saving asks the user; the console answers it, in a window or as a line prompt.
#pragma once

#include <cstdint>
#include <vector>

#include "hive/answers.h"
#include "platform/volumes.h"

namespace tarvos::save {


// Information messages that saving shows.
inline constexpr uint32_t kNotEnoughSpace = 0;
inline constexpr uint32_t kPartsSaved = 1;
inline constexpr uint32_t kBackupImpossible = 2;
inline constexpr uint32_t kSavingFailed = 5;

class SaveQuestions {
 public:
  virtual ~SaveQuestions() = default;
  // kAnswerOverwrite, kAnswerDisk or kAnswerCancel.
  virtual uint32_t AskSaveMode() = 0;
  // kAnswerChosen with the drive's index in chosen, or kAnswerCancel.
  virtual uint32_t AskDriveLetter(const std::vector<platform::Drive>& drives, size_t& chosen) = 0;
  // variant 0: insert a disk; 1: a new disk; 2: not enough space, another disk. kAnswerOk or kAnswerCancel.
  virtual uint32_t AskInsertDisk(char letter, uint32_t variant) = 0;
  virtual uint32_t ShowInformation(uint32_t type, uint32_t argument) = 0;
};

}  // namespace tarvos::save
