// The two ways the engine reaches the user, declared here and implemented above it: a decider
// that answers fault prompts, and a progress sink that polls for a stop and shows how far a stage
// got. A third, the engine log, takes the lines that record what the engine did.
#pragma once

#include <cstdint>
#include <string_view>

#include "hive/answers.h"

namespace tarvos::hive {

class FaultDecider {
 public:
  virtual ~FaultDecider() = default;
  // The user's answer to one fault: kAnswerFix, kAnswerFixAll, kAnswerStop (or a skip answer).
  virtual uint32_t AskErrorAction(uint32_t offset, uint32_t code) = 0;
  // A second confirmation before the file signature is rewritten; true to go on.
  virtual bool ConfirmSignatureRepair() = 0;
};

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Shows the file offset reached and polls the input; false once the user has stopped the run.
  virtual bool PollProgress(uint32_t fileOffset) = 0;
  // The gauge of the current stage, 0 to 1000.
  virtual void SetGauge(uint32_t permille) = 0;
  virtual void ShowStatusLine(std::string_view text) = 0;
};

enum class LogMarker { Info, Error, Decision };

struct EventRecord;

class EngineLog {
 public:
  virtual ~EngineLog() = default;
  // One entry: the marker and time stamp go to the log file, the message (which ends with
  // "\r\n") to the log file and, in line mode, to standard output.
  virtual void Entry(LogMarker marker, std::string_view message) = 0;
  // An empty line before a file's first entry.
  virtual void Break() = 0;
  // An event (events.h): its line, as an entry of its marker; a log that keeps records does more.
  virtual void Happened(const EventRecord& record);
};

// Part of whole in per mille, 0 to 1000, without overflowing 32-bit products.
uint32_t PermilleOf(uint32_t part, uint32_t whole);

// PermilleOf for a part that is asked after at every small step: the answer is worked out again
// only when the part leaves the range of parts that give the last one.
class PermilleSteps {
 public:
  uint32_t Of(uint32_t part, uint32_t whole) {
    if (whole != whole_ || part < from_ || part >= until_) Restart(part, whole);
    return value_;
  }

 private:
  void Restart(uint32_t part, uint32_t whole);
  uint32_t whole_ = 0;
  uint32_t value_ = 0;
  uint32_t from_ = 1;  // an empty range
  uint64_t until_ = 0;
};

}  // namespace tarvos::hive
