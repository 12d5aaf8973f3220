#include "mqtt_follower.h"

#include "tour_confhub.h"

#include <cstring>
#include <string_view>

namespace {

/* After DriverUninstalled, patrold deletes the camera's tours in its next
 * request run; the list is read once that has surely happened. */
constexpr guint kUninstallRereadMs = 1000;
constexpr int kCallTimeoutMs = 10000;

/* The camera an object path names ("/com/vorn/PresetTourStatus/Camera3"),
 * or 0. */
int camera_of(const char *path) {
  const std::string prefix = std::string(MQTT_STATUS_ROOT) + "/Camera";
  if (!path || !g_str_has_prefix(path, prefix.c_str()))
    return 0;
  const char *digits = path + prefix.size();
  if (std::strlen(digits) != 1 || digits[0] < '1' ||
      digits[0] > '0' + MQTT_CAMERA_COUNT)
    return 0;
  return digits[0] - '0';
}

} // namespace

Follower::Follower(GDBusConnection *bus, FollowerEvents events)
    : bus_(bus), events_(events) {
  for (int i = 0; i < MQTT_CAMERA_COUNT; ++i)
    cameras_[i].camera = i + 1;
  changed_ = g_dbus_connection_signal_subscribe(
      bus_, MQTT_PATROLD_NAME, "org.freedesktop.DBus.Properties",
      "PropertiesChanged", nullptr, MQTT_STATUS_INTERFACE,
      G_DBUS_SIGNAL_FLAGS_NONE, on_changed, this, nullptr);
  added_ = g_dbus_connection_signal_subscribe(
      bus_, MQTT_PATROLD_NAME, "org.freedesktop.DBus.ObjectManager",
      "InterfacesAdded", MQTT_STATUS_ROOT, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      on_added, this, nullptr);
  uninstalled_ = g_dbus_connection_signal_subscribe(
      bus_, nullptr, MQTT_COORDINATOR_INTERFACE, "DriverUninstalled", nullptr,
      nullptr, G_DBUS_SIGNAL_FLAGS_NONE, on_uninstalled, this, nullptr);
  watch_ = g_bus_watch_name_on_connection(
      bus_, MQTT_PATROLD_NAME, G_BUS_NAME_WATCHER_FLAGS_NONE, on_appeared,
      on_vanished, this, nullptr);
}

Follower::~Follower() {
  if (pending_) {
    g_cancellable_cancel(pending_);
    g_clear_object(&pending_);
  }
  if (reread_timer_)
    g_source_remove(reread_timer_);
  g_bus_unwatch_name(watch_);
  g_dbus_connection_signal_unsubscribe(bus_, changed_);
  g_dbus_connection_signal_unsubscribe(bus_, added_);
  g_dbus_connection_signal_unsubscribe(bus_, uninstalled_);
}

void Follower::read_tours() {
  std::vector<TourEntry> tours;
  int32_t *ids = nullptr;
  const int count = tour_confhub_get_guard_tour_ids(&ids);
  if (count < 0) {
    mqtt_log("cannot list the tours in the parameter store; keeping the list "
             "as it was");
    return;
  }
  for (int i = 0; i < count; ++i) {
    TourParam camera{};
    camera.type = GUARD_CAM_NBR;
    camera.tour_id = ids[i];
    if (ids[i] < 0 || tour_confhub_get_parameter(&camera) != 0)
      continue;
    g_autofree char *name = tour_confhub_get_tour_name(ids[i]);
    tours.push_back({ids[i], camera.int_value, name ? name : ""});
  }
  g_free(ids);
  tours_ = std::move(tours);
  events_.tours(events_.data);
}

void Follower::apply(int camera, GVariant *properties) {
  tour_status_record_apply(cameras_[camera - 1], properties);
}

void Follower::read_status() {
  if (pending_)
    g_cancellable_cancel(pending_);
  g_clear_object(&pending_);
  pending_ = g_cancellable_new();
  g_dbus_connection_call(
      bus_, MQTT_PATROLD_NAME, MQTT_STATUS_ROOT,
      "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
      G_VARIANT_TYPE("(a{oa{sa{sv}}})"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
      kCallTimeoutMs, pending_, on_objects, this);
}

void Follower::on_objects(GObject *source, GAsyncResult *result,
                          gpointer data) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    return; /* the follower is gone, or a newer read replaced this one */
  auto *self = static_cast<Follower *>(data);
  g_clear_object(&self->pending_);
  if (!reply) {
    g_dbus_error_strip_remote_error(error);
    mqtt_log("cannot read patrold's live status: %s", error->message);
    return;
  }
  g_autoptr(GVariant) objects = g_variant_get_child_value(reply, 0);
  GVariantIter iter;
  const char *path = nullptr;
  GVariant *interfaces = nullptr;
  g_variant_iter_init(&iter, objects);
  while (g_variant_iter_loop(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    const int camera = camera_of(path);
    g_autoptr(GVariant) properties = g_variant_lookup_value(
        interfaces, MQTT_STATUS_INTERFACE, G_VARIANT_TYPE("a{sv}"));
    if (camera != 0 && properties)
      self->apply(camera, properties);
  }
  const bool was_present = self->present_;
  self->present_ = true;
  self->read_tours();
  if (!was_present)
    self->events_.presence(self->events_.data, true);
  for (int camera = 1; camera <= MQTT_CAMERA_COUNT; ++camera)
    self->events_.camera(self->events_.data, camera);
}

void Follower::on_appeared(GDBusConnection *, const char *, const char *,
                           gpointer data) {
  static_cast<Follower *>(data)->read_status();
}

void Follower::on_vanished(GDBusConnection *, const char *, gpointer data) {
  auto *self = static_cast<Follower *>(data);
  if (self->pending_) {
    g_cancellable_cancel(self->pending_);
    g_clear_object(&self->pending_);
  }
  if (!self->present_)
    return;
  self->present_ = false;
  self->events_.presence(self->events_.data, false);
}

void Follower::on_added(GDBusConnection *, const char *, const char *,
                        const char *, const char *, GVariant *, gpointer data) {
  static_cast<Follower *>(data)->read_status();
}

void Follower::on_changed(GDBusConnection *, const char *, const char *path,
                          const char *, const char *, GVariant *parameters,
                          gpointer data) {
  auto *self = static_cast<Follower *>(data);
  const int camera = camera_of(path);
  if (camera == 0 || !self->present_ ||
      !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
    return;
  g_autoptr(GVariant) changed = g_variant_get_child_value(parameters, 1);
  g_autoptr(GVariant) invalidated = g_variant_get_child_value(parameters, 2);
  if (g_variant_n_children(invalidated) > 0) {
    self->read_status();
    return;
  }
  const CameraState before = self->cameras_[camera - 1];
  self->apply(camera, changed);
  const CameraState &after = self->cameras_[camera - 1];
  if (before.tour_id != after.tour_id || before.tour_name != after.tour_name)
    self->read_tours();
  self->events_.camera(self->events_.data, camera);
}

void Follower::on_uninstalled(GDBusConnection *, const char *, const char *,
                              const char *, const char *, GVariant *,
                              gpointer data) {
  auto *self = static_cast<Follower *>(data);
  if (self->reread_timer_)
    return;
  self->reread_timer_ = g_timeout_add(
      kUninstallRereadMs,
      [](gpointer d) {
        auto *follower = static_cast<Follower *>(d);
        follower->reread_timer_ = 0;
        follower->read_tours();
        return G_SOURCE_REMOVE;
      },
      self);
}
