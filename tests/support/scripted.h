// Stand-ins for the user and the screen, for tests of the engine: a decider with scripted
// answers, a progress sink that can stop the run, and a log that keeps its entries.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "hive/engine_io.h"
#include "hive/faults.h"

namespace tarvos::testing {

class ScriptedDecider final : public hive::FaultDecider {
 public:
  explicit ScriptedDecider(std::deque<uint32_t> answers = {}, bool confirm = true)
      : answers_(std::move(answers)), confirm_(confirm) {}
  uint32_t AskErrorAction(uint32_t offset, uint32_t code) override {
    asked.emplace_back(code, offset);
    if (answers_.empty()) return kAnswerStop;
    uint32_t answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  bool ConfirmSignatureRepair() override {
    ++confirmations;
    return confirm_;
  }
  std::vector<std::pair<uint32_t, uint32_t>> asked;  // code, offset
  int confirmations = 0;

 private:
  std::deque<uint32_t> answers_;
  bool confirm_;
};

class ScriptedProgress final : public hive::ProgressSink {
 public:
  // Polls answer "stop" from the poll numbered stopAt (1-based) on; 0 never stops.
  explicit ScriptedProgress(int stopAt = 0) : stopAt_(stopAt) {}
  bool PollProgress(uint32_t fileOffset) override {
    offsets.push_back(fileOffset);
    if (onPoll) onPoll(fileOffset);
    return stopAt_ == 0 || static_cast<int>(offsets.size()) < stopAt_;
  }
  void SetGauge(uint32_t permille) override { gauge.push_back(permille); }
  // Keeps the start of the text (a status line shows no more) and its whole length.
  void ShowStatusLine(std::string_view text) override {
    status.assign(text.substr(0, 0x10000));
    statusLength = text.size();
  }
  std::vector<uint32_t> offsets;
  std::function<void(uint32_t)> onPoll;  // what else happens while the run goes on
  std::vector<uint32_t> gauge;
  std::string status;
  size_t statusLength = 0;

 private:
  int stopAt_;
};

class RecordingLog final : public hive::EngineLog {
 public:
  void Entry(hive::LogMarker marker, std::string_view message) override {
    if (!keep) return;
    const char* mark = marker == hive::LogMarker::Error ? "! " : marker == hive::LogMarker::Decision ? "# " : "* ";
    lines.push_back(mark + std::string(message));
  }
  void Break() override {
    if (keep) lines.emplace_back("\r\n");
  }
  bool Has(const std::string& line) const {
    for (const std::string& l : lines) {
      if (l == line) return true;
    }
    return false;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // The lines that begin with any of the prefixes, in their order.
  std::vector<std::string> Starting(std::initializer_list<const char*> prefixes) const {
    std::vector<std::string> found;
    for (const std::string& l : lines) {
      for (const char* prefix : prefixes) {
        if (l.rfind(prefix, 0) == 0) {
          found.push_back(l);
          break;
        }
      }
    }
    return found;
  }
  std::vector<std::string> lines;
  bool keep = true;  // false: the entries are dropped as they come (the fuzz targets read none)
};

// Everything one engine test needs, wired together.
struct EngineRig {
  explicit EngineRig(std::deque<uint32_t> answers = {}, int stopAt = 0)
      : decider(std::move(answers)), progress(stopAt), faults(hive::EngineServices{modes, decider, progress, log}) {}
  hive::FixModeTable modes;
  ScriptedDecider decider;
  ScriptedProgress progress;
  RecordingLog log;
  hive::FaultReporter faults;
};

}  // namespace tarvos::testing
