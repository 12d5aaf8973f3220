// Random numbers of libptzcommon: one GRand per process, seeded from the
// system's entropy source, shared by every thread under a lock.
#include "ptz_common.h"

#include <climits>
#include <mutex>

#include <glib.h>

namespace {

std::mutex rand_lock;
GRand *rand_source = nullptr; // lives as long as the process

GRand *source() {
  static gsize once = 0;
  if (g_once_init_enter(&once)) {
    rand_source = g_rand_new(); // seeded from /dev/urandom
    g_once_init_leave(&once, 1);
  }
  return rand_source;
}

} // namespace

extern "C" {

void initialize_random(void) { source(); }

int get_random(int low, int high, int *value) {
  if (!value || low > high)
    return -1;
  GRand *rand = source();
  std::lock_guard guard(rand_lock);
  // g_rand_int_range takes an exclusive end and draws without modulo bias;
  // shift the range where high + 1 would overflow.
  if (high < INT_MAX)
    *value = g_rand_int_range(rand, low, high + 1);
  else if (low > INT_MIN)
    *value = g_rand_int_range(rand, low - 1, high) + 1;
  else
    *value = static_cast<int>(g_rand_int(rand));
  return 0;
}

} // extern "C"
