#include <array>
#include <syslog.h>

#include "preset_tour.h"
#include "preset_tour_internal.h"

namespace {

/* The coordinator's own code for "no such position yet": expected, not
 * logged. The number is the coordinator's; do not "fix" it. */
constexpr gint kPositionUnavailableCode = 125;

/* The stopping Move: three groups of 0, 0, 0, 3 after a leading 0, then
 * sixteen zeros, as the coordinator expects a stop (odd as it looks). */
constexpr std::array<gint32, 29> kStopMoveValues = {
    0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

GVariant *call_blocking(PresetTour *self, const char *method, GVariant *args,
                        GError **error) {
  return g_dbus_proxy_call_sync(self->proxy, method, args,
                                G_DBUS_CALL_FLAGS_NONE,
                                PRESET_TOUR_DBUS_TIMEOUT_MS, nullptr, error);
}

} // namespace

int preset_tour_control_queue(PresetTour *self, int action) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->proxy == nullptr)
    return -1;

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = call_blocking(
      self, "Queue", g_variant_new("(sii)", self->client_name, 0, action),
      &error);
  if (reply == nullptr ||
      !g_variant_is_of_type(reply, G_VARIANT_TYPE("(iii)"))) {
    if (error != nullptr)
      preset_tour_log_failure(self, LOG_WARNING,
                              "DBus call Queue failed, error: %s",
                              error->message);
    else
      preset_tour_log_failure(self, LOG_WARNING, "DBus call Queue failed");
    return -1;
  }

  gint32 first = 0, second = 0, third = 0;
  g_variant_get(reply, "(iii)", &first, &second, &third);
  return first;
}

int preset_tour_get_position(PresetTour *self, int32_t position[3]) {
  g_assert(IS_PRESET_TOUR(self));
  g_assert(position);
  if (self->proxy == nullptr) {
    preset_tour_log_failure(
        self, LOG_ERR,
        "No DBus proxy connection when trying to call QueryPosition");
    return 0;
  }

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      call_blocking(self, "QueryPosition",
                    g_variant_new("(si)", self->client_name, 0), &error);
  if (reply == nullptr ||
      !g_variant_is_of_type(reply, G_VARIANT_TYPE("(iiiiiiii)"))) {
    if (error == nullptr)
      preset_tour_log_failure(self, LOG_WARNING,
                              "DBus call QueryPosition failed");
    else if (error->code != kPositionUnavailableCode)
      preset_tour_log_failure(self, LOG_WARNING,
                              "DBus call QueryPosition failed, error: %s",
                              error->message);
    return 0;
  }

  std::array<gint32, 8> members{};
  g_variant_get(reply, "(iiiiiiii)", &members[0], &members[1], &members[2],
                &members[3], &members[4], &members[5], &members[6],
                &members[7]);
  for (int i = 0; i < 3; ++i)
    position[i] = members[size_t(i)];
  return 1;
}

void preset_tour_update_position(PresetTour *self) {
  int32_t position[3];
  if (preset_tour_get_position(self, position) == 1)
    for (int i = 0; i < 3; ++i)
      self->target_position[i] = position[i];
}

int preset_tour_match_position(PresetTour *self) {
  int32_t position[3];
  if (preset_tour_get_position(self, position) != 1)
    return 0;
  for (int i = 0; i < 3; ++i)
    if (position[i] != self->target_position[i])
      return 0;
  return 1;
}

void preset_tour_stop_ptz(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  if (self->proxy != nullptr) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_TUPLE);
    g_variant_builder_add(&builder, "s", self->client_name);
    for (gint32 value : kStopMoveValues)
      g_variant_builder_add(&builder, "i", value);

    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        call_blocking(self, "Move", g_variant_builder_end(&builder), &error);
    if (reply != nullptr)
      preset_tour_push_keepalive(self);
  }
  preset_tour_control_queue(self, QUEUE_ACTION_LEAVE);
}

void preset_tour_register_to_dbus(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  g_clear_object(&self->proxy);
  if (self->connection == nullptr)
    return;

  g_autofree char *path =
      g_strdup_printf("%s%d", COORDINATOR_PATH_PREFIX, self->camera_id);
  g_autoptr(GError) error = nullptr;
  self->proxy = g_dbus_proxy_new_sync(
      self->connection, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES, nullptr,
      COORDINATOR_BUS_NAME, path, COORDINATOR_INTERFACE, nullptr, &error);
}

void preset_tour_deregister_from_dbus(PresetTour *self) {
  g_assert(IS_PRESET_TOUR(self));
  g_clear_object(&self->proxy);
}
