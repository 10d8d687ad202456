// What the check does that is not a fault: transaction logs applied or refused, keys and values
// brought back, security blocks set right, pages put back. One row an event, as faults have
// theirs: its log marker and the field of the report it fills. The log line and the report's
// object are both written from the event's record; nothing reads a log line back.
#pragma once

#include <cstdint>
#include <string>

#include "hive/engine_io.h"
#include "hive/layout.h"

namespace tarvos::hive {

// name, marker, report field
#define TARVOS_EVENTS(X)                                                    \
  X(LogApplied, Info, "logs.applied")                                       \
  X(LogRefused, Error, "logs.refused")                                      \
  X(Recovered, Info, "logs.recovered")                                      \
  X(KeyReconnected, Info, "reconnected")                                    \
  X(KeyToLostAndFound, Info, "lost_and_found")                              \
  X(KeyStandsForLost, Info, "events")                                       \
  X(KeysKept, Info, "events")                                               \
  X(ValuesBroughtBack, Info, "events")                                      \
  X(ValuesToLostAndFound, Info, "events")                                   \
  X(SecurityBlockMade, Info, "events")                                      \
  X(SecurityRingRelinked, Info, "events")                                   \
  X(ReferenceCountSet, Info, "events")                                      \
  X(PagePutBack, Info, "events")

enum class Event : uint8_t {
#define TARVOS_EVENT_CODE(name, marker, field) name,
  TARVOS_EVENTS(TARVOS_EVENT_CODE)
#undef TARVOS_EVENT_CODE
};

struct EventRow {
  Event event;
  const char* name;  // as the report names it
  LogMarker marker;
  const char* reportField;  // the field of a hive's report object that holds it
};

inline constexpr EventRow kEventTable[] = {
#define TARVOS_EVENT_ROW(name, marker, field) {Event::name, #name, LogMarker::marker, field},
    TARVOS_EVENTS(TARVOS_EVENT_ROW)
#undef TARVOS_EVENT_ROW
};
inline constexpr size_t kEventCount = sizeof kEventTable / sizeof kEventTable[0];

// One event as it happened. Which fields hold what, by event:
//   LogApplied            text: the log's name; count: what was applied, of unit
//   LogRefused            text: the log's name; reason: why
//   KeyReconnected        at: the key; count: keys hanging from it; other: the key it went under
//   KeyToLostAndFound     at: the key; count: keys hanging from it
//   KeyStandsForLost      at: the key made; other: the lost key it stands for; under: where it was made
//   KeysKept              at: the key; count: keys kept under it; text: its path
//   ValuesBroughtBack     at: the key; count: values; text: its path
//   ValuesToLostAndFound  count: values
//   SecurityBlockMade     at: the block; count: the keys given it
//   SecurityRingRelinked  count: the blocks of the ring
//   ReferenceCountSet     at: the block; count: the count set; was: what it was
//   PagePutBack           at: the page's place; other: where it was found
struct EventRecord {
  explicit EventRecord(Event what, uint32_t atOffset = kNullOffset, uint32_t otherOffset = kNullOffset,
                       uint32_t underOffset = kNullOffset)
      : event(what), at(atOffset), other(otherOffset), under(underOffset) {}
  Event event = Event::Recovered;
  uint32_t at = kNullOffset;
  uint32_t other = kNullOffset;
  uint32_t under = kNullOffset;
  uint64_t count = 0;
  uint64_t was = 0;
  std::string text;
  std::string reason;  // LogRefused's reason; LogApplied's unit
};

const EventRow& EventOf(Event event);
// "0x0000ABCD", as offsets are written in the log.
std::string Hex(uint32_t value);
// "1 key", "3 keys".
std::string Counted(uint64_t count, const char* what);
// The log line of an event, ended with "\r\n".
std::string EventLine(const EventRecord& record);

}  // namespace tarvos::hive
