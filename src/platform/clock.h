// The local time, for the time stamps of the log.
#pragma once

namespace tarvos::platform {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

LocalTime NowLocal();

}  // namespace tarvos::platform
