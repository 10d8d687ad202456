#include "hive/events.h"

#include <cstdio>

namespace tarvos::hive {

std::string Counted(uint64_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

const EventRow& EventOf(Event event) { return kEventTable[static_cast<size_t>(event)]; }

std::string EventLine(const EventRecord& e) {
  const std::string count = std::to_string(e.count);
  std::string line;
  switch (e.event) {
    case Event::LogApplied: line = "Transaction log applied: " + e.text + ", " + count + " " + e.reason; break;
    case Event::LogRefused: line = "Transaction log refused: " + e.text + " (" + e.reason + ")"; break;
    case Event::Recovered: line = "Hive recovered from transaction logs"; break;
    case Event::KeyReconnected:
      line = "Key reconnected: " + Hex(e.at) + " (" + count + " keys) under " + Hex(e.other);
      break;
    case Event::KeyToLostAndFound: line = "Key moved to lost+found: " + Hex(e.at) + " (" + count + " keys)"; break;
    case Event::KeyStandsForLost:
      line = "Key made to stand for lost key " + Hex(e.other) + ": " + Hex(e.at) + " under " + Hex(e.under);
      break;
    case Event::KeysKept: line = "Keys kept under " + Hex(e.at) + ": " + count + ", at " + e.text; break;
    case Event::ValuesBroughtBack: line = "Values brought back to key " + Hex(e.at) + ": " + count + ", at " + e.text; break;
    case Event::ValuesToLostAndFound: line = "Values moved to lost+found: " + count; break;
    case Event::SecurityBlockMade: line = "Security block " + Hex(e.at) + " made for " + Counted(e.count, "key"); break;
    case Event::SecurityRingRelinked: line = "Security block ring relinked (" + Counted(e.count, "block") + ")"; break;
    case Event::ReferenceCountSet:
      line = "Reference count of security block " + Hex(e.at) + " set to " + count + " (was " + std::to_string(e.was) + ")";
      break;
    case Event::PagePutBack: line = "Page " + Hex(e.at) + " put back in its place from " + Hex(e.other); break;
  }
  return line + "\r\n";
}

void EngineLog::Happened(const EventRecord& record) { Entry(EventOf(record.event).marker, EventLine(record)); }

}  // namespace tarvos::hive
