// The local time, for the time stamps of the log.
#pragma once

#include <cstdint>

namespace tarvos::platform {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

LocalTime NowLocal();

// Milliseconds of a clock that only goes forward, for pacing what is drawn.
uint64_t MonotonicMs();

}  // namespace tarvos::platform
