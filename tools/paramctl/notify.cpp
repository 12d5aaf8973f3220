/*
 * Running-state notification: the daemon learns of a Running value changed
 * behind its back through SetPresetTourRunning. Fire and forget: no daemon
 * or no bus must never make a committed write look failed, and a bus that
 * does not answer delays the exit by kBoundMs at most.
 */
#include "paramctl.h"
#include "patrold_names.h"

#include <cctype>
#include <cstdio>
#include <string_view>

#include <gio/gio.h>

namespace paramctl {
namespace {

constexpr std::string_view kPrefix = "root.RezazErar.";
constexpr std::string_view kSuffix = ".Running";

/* "G<n>" when `name` is root.RezazErar.G<n>.Running, else empty. */
std::string_view tour_group_of(std::string_view name) {
  if (name.size() <= kPrefix.size() + kSuffix.size() ||
      name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix)
    return {};
  std::string_view group = name.substr(
      kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (group.size() < 2 || group[0] != 'G')
    return {};
  for (char ch : group.substr(1))
    if (!std::isdigit(static_cast<unsigned char>(ch)))
      return {};
  return group;
}

void send_running(GDBusConnection *bus, const std::string &value,
                  std::string_view group) {
  if (!g_utf8_validate(value.c_str(), -1, nullptr))
    return;
  g_autoptr(GDBusMessage) message = g_dbus_message_new_method_call(
      PATROLD_BUS_NAME, PATROLD_OBJECT_PATH, PATROLD_CONFHUB_INTERFACE,
      "SetPresetTourRunning");
  std::string group_text(group);
  g_dbus_message_set_body(
      message, g_variant_new("(ss)", value.c_str(), group_text.c_str()));
  g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
  g_dbus_connection_send_message(bus, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                 nullptr, nullptr);
}

/* Connecting runs on a context of its own, given up after kBound: a bus
 * that accepts the connection and never answers must not hold paramctl
 * (and whatever script runs it) after the write has committed. */
constexpr guint kBoundMs = 3000;

struct Wait {
  GMainLoop *loop;
  GDBusConnection *bus = nullptr;
  bool finished = false;
};

/* Also called when the flush ends; the result of a flush is not needed. */
void connected(GObject *, GAsyncResult *result, gpointer data) {
  auto *wait = static_cast<Wait *>(data);
  if (!wait->bus && !wait->finished)
    wait->bus = g_dbus_connection_new_for_address_finish(result, nullptr);
  wait->finished = true;
  g_main_loop_quit(wait->loop);
}

gboolean give_up(gpointer data) {
  g_main_loop_quit(static_cast<Wait *>(data)->loop);
  return G_SOURCE_REMOVE;
}

/* Runs the loop until the pending step finishes or the deadline passes. */
bool run_until(Wait *wait, GMainContext *context, gint64 deadline) {
  wait->finished = false;
  gint64 left = deadline - g_get_monotonic_time();
  if (left <= 0)
    return false;
  g_autoptr(GSource) timer =
      g_timeout_source_new(static_cast<guint>(left / 1000 + 1));
  g_source_set_callback(timer, give_up, wait, nullptr);
  g_source_attach(timer, context);
  g_main_loop_run(wait->loop);
  g_source_destroy(timer);
  return wait->finished;
}

} // namespace

void notify_running_changes(const std::vector<Assignment> &written,
                            const std::vector<int> &changed) {
  std::vector<size_t> announce;
  for (size_t i = 0; i < written.size() && i < changed.size(); ++i)
    if (changed[i] && !tour_group_of(written[i].name).empty())
      announce.push_back(i);
  if (announce.empty())
    return;
  g_autofree char *address =
      g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (!address)
    return;
  g_autoptr(GMainContext) context = g_main_context_new();
  g_main_context_push_thread_default(context);
  g_autoptr(GMainLoop) loop = g_main_loop_new(context, FALSE);
  g_autoptr(GCancellable) cancel = g_cancellable_new();
  // `wait` is only touched from `context`, which is never run again once
  // this function has returned, so a late answer cannot reach it.
  Wait wait{loop};
  const gint64 deadline =
      g_get_monotonic_time() + kBoundMs * G_TIME_SPAN_MILLISECOND;
  g_dbus_connection_new_for_address(
      address,
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancel, connected, &wait);
  bool done = run_until(&wait, context, deadline);
  if (done && wait.bus) {
    for (size_t i : announce)
      send_running(wait.bus, written[i].value, tour_group_of(written[i].name));
    g_dbus_connection_flush(wait.bus, cancel, connected, &wait);
    done = run_until(&wait, context, deadline);
  }
  if (!done) {
    g_cancellable_cancel(cancel);
    std::fprintf(
        stderr,
        "paramctl: warning: the system bus did not answer within %u s; "
        "the Running change was written but not announced\n",
        kBoundMs / 1000);
  }
  g_clear_object(&wait.bus);
  g_main_context_pop_thread_default(context);
}

} // namespace paramctl
