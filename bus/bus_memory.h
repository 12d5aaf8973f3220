/*
 * bus_memory: bounds the memory bus clients can make the daemon hold, and
 * gives it back after a burst.
 *
 * A client can pipeline calls and never read the replies. Each reply waits
 * in GDBus's outgoing queue, then in the socket, until the bus takes it, and
 * a flooded bus takes them slowly, so the queue (and every reply queued
 * after it, root's included) grew with the flood. A filter on the
 * connection counts, per sender, the calls whose reply has not yet reached
 * the socket. A read (introspection, properties, Peer, the status objects)
 * is dropped unanswered when its sender has kMaxUnansweredCalls of them, or
 * while the bus is behind (kBacklogReplies queued or kBacklogBytes unread
 * in the socket) when its sender has a call unanswered or had one dropped
 * in the last kHeldBackUs. A client that waits for each reply before its
 * next call is never dropped, so its reply queues behind a few others at
 * most. Tour requests are counted but always taken, since a dropped play or
 * stop would be lost. A flooder's dropped calls hold the slots the bus
 * grants it for pending replies (128 on the system bus), so the bus soon
 * refuses its calls itself. Calls flagged no-reply-expected are not
 * counted.
 *
 * Freed, the replies' memory would stay with the heap. The filter also
 * counts incoming messages; after kBurstMessages of them a timer on the
 * main context, every kQuietMs, flushes the outgoing queue and then calls
 * malloc_trim, until a period brings fewer than kQuietMessages (busy tours
 * never do). Without traffic nothing runs: an idle daemon gains no wake-up.
 *
 * State: module-level, one connection per process. Threads: start and stop
 * on the main loop's thread (whose thread-default context runs the timer);
 * the filter runs on GDBus's worker thread.
 */
#pragma once

#include <gio/gio.h>

#include <cstdint>

namespace bus_memory {

constexpr unsigned kMaxUnansweredCalls = 32;
/* The bus is behind when this many replies wait in GDBus's queue, or this
 * many bytes in the socket; a sender with a call dropped then is held back
 * for kHeldBackUs after its last dropped call. A sender piles up from its
 * second unanswered call: letting each have two let every flooder keep one
 * more reply ahead of root's, and root's read took half as long again. */
constexpr unsigned kBacklogReplies = 4;
constexpr unsigned kBacklogBytes = 4096;
constexpr gint64 kHeldBackUs = 30 * G_USEC_PER_SEC;
constexpr size_t kSendersSwept = 64;
constexpr uint64_t kBurstMessages = 512;
constexpr uint64_t kQuietMessages = 128;
constexpr guint kQuietMs = 2000;

/* Starts watching the connection (a borrowed reference; the connection
 * outlives stop()). A second start is ignored. */
void start(GDBusConnection *connection);
/* Stops watching; a pending trim is dropped. */
void stop();

} // namespace bus_memory
