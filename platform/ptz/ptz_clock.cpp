// The clock of libptzcommon: monotonic, in seconds and microseconds.
#include "ptz_common.h"

#include <cstdint>
#include <time.h>

extern "C" {

int get_time(TimeValue *now) {
  if (!now)
    return -1;
  // Monotonic, so deadlines survive wall-clock changes made by NTP or users.
  struct timespec ts {};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
    return -1;
  now->sec = static_cast<int32_t>(ts.tv_sec);
  now->usec = static_cast<int32_t>(ts.tv_nsec / 1000);
  return 0;
}

} // extern "C"
