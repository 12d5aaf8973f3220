#include "event_subscription.h"

#include <algorithm>
#include <mutex>

namespace ptz_events {

namespace {
constexpr int kBusTimeoutMs = 5000;
} // namespace

GDBusConnection *system_bus() {
  static std::mutex lock;
  static GDBusConnection *connection = nullptr;

  std::lock_guard guard(lock);
  // A bus that went away leaves a closed connection behind; GIO hands out a
  // fresh one after that, so ask again rather than subscribing on a corpse.
  if (connection && g_dbus_connection_is_closed(connection))
    g_clear_object(&connection);
  if (!connection)
    connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  return connection;
}

int SignalSubscription::want() {
  // A subscription on a connection that has since closed hears nothing.
  if (id_ != 0 && g_dbus_connection_is_closed(connection_))
    drop();
  if (id_ != 0)
    return 0;
  GDBusConnection *bus = system_bus();
  if (!bus)
    return -1;
  connection_ = G_DBUS_CONNECTION(g_object_ref(bus));
  // GDBus delivers on the calling thread's thread-default main context,
  // which is what puts the callbacks on the subscriber's main loop.
  id_ = g_dbus_connection_signal_subscribe(
      connection_, nullptr, kInterface, member_, kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, &SignalSubscription::on_signal, this, nullptr);
  // GDBus sends the AddMatch without waiting for it. The bus handles one
  // connection's messages in order, so once a round trip returns the rule is
  // in place: a signal sent after a successful registration is never missed.
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
      "org.freedesktop.DBus", "GetId", nullptr, G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, nullptr);
  if (!reply) {
    drop();
    return -1;
  }
  return 0;
}

void SignalSubscription::drop() {
  if (id_ == 0)
    return;
  g_dbus_connection_signal_unsubscribe(connection_, id_);
  id_ = 0;
  g_clear_object(&connection_);
}

void SignalSubscription::on_signal(GDBusConnection *, const char *,
                                   const char *, const char *, const char *,
                                   GVariant *parameters, gpointer self) {
  auto *subscription = static_cast<SignalSubscription *>(self);
  // Anyone on the bus may send these; a body of the wrong shape is noise.
  if (!g_variant_is_of_type(parameters,
                            G_VARIANT_TYPE(subscription->signature_)))
    return;
  subscription->handler_(parameters);
}

int CameraEvents::enable(Callback callback, void *user_data, int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot || !callback)
    return -1;
  std::lock_guard guard(lock_);
  if (signal_.want() != 0)
    return -1;
  cameras_[*slot] = {callback, user_data};
  return 0;
}

void CameraEvents::disable(int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  std::lock_guard guard(lock_);
  cameras_[*slot] = {};
  if (std::none_of(cameras_.begin(), cameras_.end(),
                   [](const Registration &r) { return r.callback; }))
    signal_.drop();
}

void CameraEvents::deliver(GVariant *parameters) {
  gint32 camera_id = 0;
  gint32 value = 0;
  g_variant_get(parameters, "(ii)", &camera_id, &value);
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  Registration target;
  {
    std::lock_guard guard(lock_);
    target = cameras_[*slot];
  }
  if (target.callback)
    target.callback(target.user_data, value);
}

} // namespace ptz_events
