// The log file: appended text that records each run, each file and each fault. In line mode the
// message of every entry is also written to standard output.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "console/console_state.h"
#include "hive/engine_io.h"
#include "hive/events.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace tarvos::app {

class RunLog final : public hive::EngineLog {
 public:
  using Clock = platform::LocalTime (*)();

  // logName is the name from the command line ("tarvos.tlg" unless /l: named one).
  RunLog(console::ConsoleState& console, bool ttyMode, bool logEnabled, bool perFileLog, std::string logName,
         Clock clock = platform::NowLocal);
  ~RunLog() override { file_.Close(); }

  // Opens the log (with /ln, the one named after the hive) and writes the header and the
  // "started" line. A log that cannot be opened drops every write, silently.
  void OpenLog(const std::string& currentHiveName);
  // Writes the "stopped" line and closes; nothing when no log was opened.
  void CloseLog();

  void LogWrite(std::string_view text);
  void LogEcho(std::string_view text);

  void Entry(hive::LogMarker marker, std::string_view message) override;
  void Break() override { LogEcho("\r\n"); }

  const std::string& Name() const { return name_; }
  // Sees every event, as the run's report does.
  std::function<void(const hive::EventRecord&)> onEvent;
  void Happened(const hive::EventRecord& event) override;

 private:
  enum class Handle { None, Open, Invalid };
  std::string TimeStamp() const;
  void StartStopLine(const char* what);

  console::ConsoleState& console_;
  bool ttyMode_;
  bool logEnabled_;
  bool perFileLog_;
  std::string defaultName_;
  std::string name_;
  Clock clock_;
  platform::File file_;
  Handle handle_ = Handle::None;
};

}  // namespace tarvos::app
