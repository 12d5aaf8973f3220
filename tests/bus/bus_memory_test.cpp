#include <gtest/gtest.h>

#include "bus_memory.h"
#include "bus_memory_internal.h"

namespace {

using bus_memory::kHeldBackUs;
using bus_memory::kMaxUnansweredCalls;
using bus_memory::Sender;

constexpr gint64 kNow = 100 * kHeldBackUs;

struct Case {
  const char *what;
  Sender from;
  bool request;
  bool backlog;
  bool taken;
};

/* Who is answered while the bus is behind, and who waits. */
TEST(BusMemoryTest, OnlyCallersThatPileUpWaitWhileTheBusIsBehind) {
  const Case cases[] = {
      {"a caller that waits for each reply", {0, 0}, false, true, true},
      {"a caller with a call unanswered", {1, 0}, false, true, false},
      {"the same caller once the bus caught up", {1, 0}, false, false, true},
      {"a caller dropped a moment ago", {0, kNow - 1}, false, true, false},
      {"a caller dropped long ago", {0, kNow - kHeldBackUs}, false, true, true},
      {"a caller at the bound", {kMaxUnansweredCalls, 0}, false, false, false},
      {"a tour request at the bound", {kMaxUnansweredCalls, kNow - 1}, true, true, true},
  };
  for (const Case &c : cases) {
    Sender from = c.from;
    EXPECT_EQ(bus_memory::admit(from, c.request, c.backlog, kNow), c.taken) << c.what;
    EXPECT_EQ(from.unanswered, c.from.unanswered + (c.taken ? 1 : 0)) << c.what;
    if (!c.taken && c.backlog) {
      EXPECT_EQ(from.dropped_at, kNow) << c.what;
    }
  }
}

} // namespace
