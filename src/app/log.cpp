#include "app/log.h"

#include <cstdio>

#include "console/console_state.h"
#include "save/names.h"

namespace tarvos::app {

RunLog::RunLog(console::ConsoleState& console, bool ttyMode, bool logEnabled, bool perFileLog, std::string logName,
               Clock clock)
    : console_(console),
      ttyMode_(ttyMode),
      logEnabled_(logEnabled),
      perFileLog_(perFileLog),
      defaultName_(logName),
      name_(std::move(logName)),
      clock_(clock) {}

std::string RunLog::TimeStamp() const {
  platform::LocalTime t = clock_();
  char text[64];
  std::snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                t.second);
  return text;
}

void RunLog::StartStopLine(const char* what) {
  LogWrite("\r\n+ " + TimeStamp() + " - " + console::kProductTitle + what);
}

void RunLog::OpenLog(const std::string& currentHiveName) {
  if (!logEnabled_) return;
  if (perFileLog_) name_ = save::ReplaceExtension(currentHiveName, ".tlg");
  handle_ = file_.OpenAppend(name_) ? Handle::Open : Handle::Invalid;
  // The run goes on without its log, but not without a word.
  if (handle_ == Handle::Invalid) console_.Notice(name_ + ": cannot open log file");
  LogWrite("\r\n=========================\r\n");
  LogWrite(" ");
  LogWrite(console::kProductTitle);
  LogWrite(" Log ");
  LogWrite("\r\n=========================\r\n");
  StartStopLine(" started\r\n");
}

void RunLog::CloseLog() {
  if (!logEnabled_ || handle_ == Handle::None) return;
  StartStopLine(" stopped\r\n");
  file_.Close();
  handle_ = Handle::None;
  if (perFileLog_) name_ = defaultName_;
}

void RunLog::LogWrite(std::string_view text) {
  if (logEnabled_ && handle_ == Handle::Open) file_.Write(text.data(), text.size());
}

void RunLog::LogEcho(std::string_view text) {
  if (ttyMode_) console_.WriteStdout(text);
  LogWrite(text);
}

void RunLog::Entry(hive::LogMarker marker, std::string_view message) {
  const char* mark = marker == hive::LogMarker::Error ? "! " : marker == hive::LogMarker::Decision ? "# " : "* ";
  if (logEnabled_ && handle_ == Handle::Open) LogWrite(mark + TimeStamp() + " - ");  // the clock read only for the file
  LogEcho(message);
}

void RunLog::Happened(const hive::EventRecord& event) {
  EngineLog::Happened(event);
  if (onEvent) onEvent(event);
}

}  // namespace tarvos::app
