// Time arithmetic of libptzcommon, apart from its clock so that a test clock
// can be paired with this very arithmetic.
#include "ptz_common.h"

#include <cstdint>

namespace {

constexpr int64_t kUsecPerSec = 1000000;

// Working in one 64-bit count makes carry, borrow and negative results fall
// out of a single floor division, whatever shape the inputs came in.
constexpr int64_t to_usec(const TimeValue &t) {
  return int64_t{t.sec} * kUsecPerSec + t.usec;
}

// A result past either end of the 32-bit seconds is held at that end, so a
// deadline too far ahead stays far ahead instead of wrapping into the past.
constexpr TimeValue from_usec(int64_t total) {
  int64_t sec = total / kUsecPerSec;
  int64_t usec = total % kUsecPerSec;
  if (usec < 0) {
    usec += kUsecPerSec;
    sec -= 1;
  }
  if (sec > INT32_MAX)
    return TimeValue{INT32_MAX, static_cast<int32_t>(kUsecPerSec - 1)};
  if (sec < INT32_MIN)
    return TimeValue{INT32_MIN, 0};
  return TimeValue{static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
}

static_assert(from_usec(-1).sec == -1 && from_usec(-1).usec == 999999);
static_assert(from_usec(to_usec({3, 1500000})).usec == 500000);
static_assert(from_usec(to_usec({INT32_MAX, 0}) + kUsecPerSec).sec ==
              INT32_MAX);

} // namespace

extern "C" {

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
