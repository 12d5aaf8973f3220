/*
 * bus_memory's admission rule apart from the connection, for its tests.
 */
#pragma once

#include <glib.h>

namespace bus_memory {

struct Sender {
  unsigned unanswered = 0; /* calls whose reply has not reached the socket */
  gint64 dropped_at = 0;   /* when a call of its was last dropped, or 0 */
};

/* Whether a call from `from` is taken, given whether it is a tour request
 * and whether the bus is behind (see bus_memory.h). A taken call is counted
 * in from.unanswered; a dropped one marks the sender at `now`. */
bool admit(Sender &from, bool request, bool backlog, gint64 now);

} // namespace bus_memory
