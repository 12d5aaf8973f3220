#include "bus_memory.h"
#include "bus_memory_internal.h"

#include <sys/ioctl.h>

#include <linux/sockios.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bus_memory {
namespace {

std::atomic<uint64_t> messages{0};
std::atomic<uint64_t> counted_at{0}; /* messages when the timer last looked */
std::atomic<bool> armed{false};
GDBusConnection *watched = nullptr;
GMainContext *context = nullptr;
guint filter_id = 0;
std::atomic<GSource *> pending{nullptr};

/* The connection's socket, for the bytes the bus has not read yet; -1
 * where the transport is not a socket. */
std::atomic<int> socket_fd{-1};

/* Only the filter touches these; the lock is for GDBus versions that run
 * outgoing filters on the sending thread. */
std::mutex senders_lock;
std::unordered_map<std::string, Sender> senders;
unsigned queued = 0; /* the senders' unanswered calls, all together */

unsigned socket_backlog() {
  int bytes = 0;
  const int fd = socket_fd.load(std::memory_order_relaxed);
  if (fd < 0 || ioctl(fd, SIOCOUTQ, &bytes) != 0)
    return 0;
  return static_cast<unsigned>(bytes);
}

/* A flooder's entries outlive its last reply while it is held back; they
 * go once there are many and it has been quiet for a while. At most once
 * a second, so that many held-back senders do not cost a sweep per call. */
gint64 swept_at = 0;

void forget_quiet_senders(gint64 now) {
  if (senders.size() < kSendersSwept || now - swept_at < G_USEC_PER_SEC)
    return;
  swept_at = now;
  std::erase_if(senders, [now](const auto &entry) {
    return entry.second.unanswered == 0 &&
           now - entry.second.dropped_at >= kHeldBackUs;
  });
}

/* false when the call is to be dropped. */
bool admit_call(GDBusMessage *message) {
  const char *sender = g_dbus_message_get_sender(message);
  if (sender == nullptr || (g_dbus_message_get_flags(message) &
                            G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) != 0)
    return true;
  /* A tour request is never lost: its reply is empty, and the policy lets
   * only root and operators send one. */
  const char *interface = g_dbus_message_get_interface(message);
  const bool request =
      interface != nullptr && g_str_has_prefix(interface, "com.vorn.");
  const gint64 now = g_get_monotonic_time();
  const std::lock_guard<std::mutex> hold(senders_lock);
  forget_quiet_senders(now);
  /* A request is taken whatever the backlog: no system call for it. */
  const bool backlog = !request && (queued >= kBacklogReplies ||
                                    socket_backlog() >= kBacklogBytes);
  if (!admit(senders[sender], request, backlog, now))
    return false;
  ++queued;
  return true;
}

void reply_leaves(GDBusMessage *message) {
  const char *destination = g_dbus_message_get_destination(message);
  if (destination == nullptr)
    return;
  const std::lock_guard<std::mutex> hold(senders_lock);
  const auto it = senders.find(destination);
  if (it == senders.end() || it->second.unanswered == 0)
    return;
  --queued;
  if (--it->second.unanswered == 0 && it->second.dropped_at == 0)
    senders.erase(it);
}

/* Main thread only: a flush in progress, and whether another is wanted. */
bool flushing = false;
bool flush_again = false;

void flush_then_trim();

void on_flushed(GObject *connection, GAsyncResult *result, gpointer) {
  g_dbus_connection_flush_finish(G_DBUS_CONNECTION(connection), result,
                                 nullptr);
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
  flushing = false;
  if (std::exchange(flush_again, false))
    flush_then_trim();
  else if (pending.load() == nullptr)
    armed.store(false); /* the burst is over */
}

/* The replies of a burst are freed only once the bus has taken them, which
 * a flooded bus does long after they were made. */
void flush_then_trim() {
  if (flushing) {
    flush_again = true;
    return;
  }
  flushing = true;
  g_dbus_connection_flush(watched, nullptr, on_flushed, nullptr);
}

/* Trims during a long burst too, and once more when it is over. */
gboolean on_quiet_check(gpointer) {
  const uint64_t now = messages.load(std::memory_order_relaxed);
  const bool goes_on = now - counted_at.exchange(now) >= kQuietMessages;
  if (!goes_on)
    pending.store(nullptr);
  flush_then_trim();
  return goes_on ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

GDBusMessage *filter(GDBusConnection *, GDBusMessage *message,
                     gboolean incoming, gpointer) {
  const GDBusMessageType type = g_dbus_message_get_message_type(message);
  if (!incoming) {
    if (type == G_DBUS_MESSAGE_TYPE_METHOD_RETURN ||
        type == G_DBUS_MESSAGE_TYPE_ERROR)
      reply_leaves(message);
    return message;
  }
  if (type == G_DBUS_MESSAGE_TYPE_METHOD_CALL && !admit_call(message)) {
    g_object_unref(message);
    return nullptr;
  }
  const uint64_t now = messages.fetch_add(1, std::memory_order_relaxed) + 1;
  if (now - counted_at.load() >= kBurstMessages && !armed.exchange(true)) {
    counted_at.store(now);
    GSource *source = g_timeout_source_new(kQuietMs);
    g_source_set_callback(source, on_quiet_check, nullptr, nullptr);
    pending.store(source);
    g_source_attach(source, context);
    g_source_unref(source); /* the context holds it until it is removed */
  }
  return message;
}

} // namespace

bool admit(Sender &from, bool request, bool backlog, gint64 now) {
  if (!request) {
    if (from.unanswered >= kMaxUnansweredCalls)
      return false;
    /* Every reply queues behind the ones before it, so while the bus is
     * slow to take them a client that waits for each reply before the next
     * call is answered at once, and one that piles calls up waits: its
     * reads are dropped until the bus has caught up. */
    const bool piling =
        from.unanswered > 0 ||
        (from.dropped_at != 0 && now - from.dropped_at < kHeldBackUs);
    if (backlog && piling) {
      from.dropped_at = now;
      return false;
    }
  }
  ++from.unanswered;
  return true;
}

void start(GDBusConnection *connection) {
  if (watched != nullptr)
    return;
  watched = connection;
  context = g_main_context_ref_thread_default();
  GIOStream *stream = g_dbus_connection_get_stream(connection);
  if (G_IS_SOCKET_CONNECTION(stream))
    socket_fd.store(g_socket_get_fd(
        g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream))));
  counted_at.store(messages.load());
  filter_id =
      g_dbus_connection_add_filter(connection, filter, nullptr, nullptr);
}

void stop() {
  if (watched == nullptr)
    return;
  g_dbus_connection_remove_filter(watched, filter_id);
  if (GSource *source = pending.exchange(nullptr))
    g_source_destroy(source);
  /* The filter may still be running on the worker thread, so the context
   * stays referenced: a late timer attached to it is never dispatched. */
  watched = nullptr;
  socket_fd.store(-1);
  filter_id = 0;
}

} // namespace bus_memory
