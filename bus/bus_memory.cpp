#include "bus_memory.h"

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

/* Calls per sender that await their reply's turn on the socket. Only the
 * filter touches it; the lock is for GDBus versions that run outgoing
 * filters on the sending thread. */
std::mutex unanswered_lock;
std::unordered_map<std::string, unsigned> unanswered;

/* false when the call is to be dropped: its sender is over the limit. */
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
  const std::lock_guard<std::mutex> hold(unanswered_lock);
  unsigned &count = unanswered[sender];
  if (count >= kMaxUnansweredCalls && !request)
    return false;
  ++count;
  return true;
}

void reply_leaves(GDBusMessage *message) {
  const char *destination = g_dbus_message_get_destination(message);
  if (destination == nullptr)
    return;
  const std::lock_guard<std::mutex> hold(unanswered_lock);
  const auto it = unanswered.find(destination);
  if (it != unanswered.end() && --it->second == 0)
    unanswered.erase(it);
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

void start(GDBusConnection *connection) {
  if (watched != nullptr)
    return;
  watched = connection;
  context = g_main_context_ref_thread_default();
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
  filter_id = 0;
}

} // namespace bus_memory
