// Time values of libptzcommon: a monotonic clock in seconds and microseconds.
#include "ptz_common.h"

#include <cstdint>
#include <time.h>

namespace {

constexpr int64_t kUsecPerSec = 1000000;

// Working in one 64-bit count makes carry, borrow and negative results fall
// out of a single floor division, whatever shape the inputs came in.
constexpr int64_t to_usec(const TimeValue &t) {
  return int64_t{t.sec} * kUsecPerSec + t.usec;
}

constexpr TimeValue from_usec(int64_t total) {
  int64_t sec = total / kUsecPerSec;
  int64_t usec = total % kUsecPerSec;
  if (usec < 0) {
    usec += kUsecPerSec;
    sec -= 1;
  }
  return TimeValue{static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
}

static_assert(from_usec(-1).sec == -1 && from_usec(-1).usec == 999999);
static_assert(from_usec(to_usec({3, 1500000})).usec == 500000);

} // namespace

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

int time_cmp(const TimeValue *a, const TimeValue *b) {
  // A missing value sorts before any real one, so a NULL never looks due.
  if (!a || !b)
    return (a != nullptr) - (b != nullptr);
  int64_t x = to_usec(*a);
  int64_t y = to_usec(*b);
  return (x > y) - (x < y);
}

void time_sub(TimeValue *a, const TimeValue *b) {
  if (a && b)
    *a = from_usec(to_usec(*a) - to_usec(*b));
}

void time_add(TimeValue *a, const TimeValue *b) {
  if (a && b)
    *a = from_usec(to_usec(*a) + to_usec(*b));
}

} // extern "C"
