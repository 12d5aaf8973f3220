#include "event_subscription.h"

#include <mutex>

namespace ptz_events {

namespace {

constexpr int kBusTimeoutMs = 5000;

/* What GDBus holds for a subscription and frees when it is done with it,
 * which may be after the unsubscribe: the subscription object may be gone
 * (or subscribed anew) by then. */
struct Delivery {
  const GVariantType *type;
  Receiver receiver;
};

void on_signal(GDBusConnection *, const char *, const char *, const char *,
               const char *, GVariant *parameters, gpointer data) {
  const auto *delivery = static_cast<const Delivery *>(data);
  // Anyone on the bus may send these; a body of the wrong shape is noise.
  if (!g_variant_is_of_type(parameters, delivery->type))
    return;
  delivery->receiver.forward(delivery->receiver, parameters);
}

void forward_camera_event(const Receiver &receiver, GVariant *body) {
  gint32 camera_id = 0;
  gint32 value = 0;
  g_variant_get(body, "(ii)", &camera_id, &value);
  if (camera_id == receiver.camera_id)
    reinterpret_cast<CameraEvents::Callback>(receiver.callback)(
        receiver.user_data, value);
}

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

int Subscription::want(const char *member, const char *signature,
                       const Receiver &receiver) {
  g_autoptr(GMainContext) context = g_main_context_ref_thread_default();
  // A subscription on a connection that has since closed hears nothing.
  if (id_ != 0 && !g_dbus_connection_is_closed(connection_) &&
      context == context_ && receiver == receiver_)
    return 0;
  drop();
  GDBusConnection *bus = system_bus();
  if (!bus)
    return -1;
  connection_ = G_DBUS_CONNECTION(g_object_ref(bus));
  context_ = g_main_context_ref(context);
  receiver_ = receiver;
  // GDBus delivers on the calling thread's thread-default main context.
  id_ = g_dbus_connection_signal_subscribe(
      connection_, nullptr, kInterface, member, kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, on_signal,
      new Delivery{G_VARIANT_TYPE(signature), receiver},
      [](gpointer data) { delete static_cast<Delivery *>(data); });
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

void Subscription::drop() {
  if (id_ == 0)
    return;
  g_dbus_connection_signal_unsubscribe(connection_, id_);
  id_ = 0;
  receiver_ = {};
  g_clear_object(&connection_);
  g_clear_pointer(&context_, g_main_context_unref);
}

int CameraEvents::enable(Callback callback, void *user_data, int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot || !callback)
    return -1;
  const Receiver receiver{forward_camera_event,
                          reinterpret_cast<void (*)()>(callback), user_data,
                          camera_id};
  std::lock_guard guard(lock_);
  return cameras_[*slot].want(member_, "(ii)", receiver);
}

void CameraEvents::disable(int camera_id) {
  auto slot = camera_slot(camera_id);
  if (!slot)
    return;
  std::lock_guard guard(lock_);
  cameras_[*slot].drop();
}

int EveryCameraEvents::add(const Receiver &receiver) {
  std::lock_guard guard(lock_);
  auto added = std::make_unique<Subscription>();
  if (added->want(member_, signature_, receiver) != 0)
    return -1;
  registrations_.push_back(std::move(added));
  return 0;
}

void EveryCameraEvents::clear() {
  std::lock_guard guard(lock_);
  for (const auto &registration : registrations_)
    registration->drop();
  registrations_.clear();
}

} // namespace ptz_events
