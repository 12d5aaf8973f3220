/*
 * tour_schedule, the bus object: Reload() on /com/vorn/PresetTourSchedule,
 * on the connection that owns the service name. Who may call it is the bus
 * policy's business, as for the tour requests.
 */
#include "tour_schedule.h"

#include <gio/gio.h>
#include <syslog.h>

/* The compiled-in interface files; the generated header is C. */
extern "C" {
#include "tour-interfaces.h"
}

namespace {

constexpr const char OBJECT_PATH[] = "/com/vorn/PresetTourSchedule";

/* data/com.vorn.PresetTourSchedule.xml, compiled in; kept for the life of
 * the process like a static table. */
GDBusInterfaceInfo *interface_info() {
  static GDBusNodeInfo *node = [] {
    g_autoptr(GBytes) xml = g_resource_lookup_data(
        tour_interfaces_get_resource(),
        "/com/vorn/patrold/com.vorn.PresetTourSchedule.xml",
        G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    g_assert(xml != nullptr);
    return g_dbus_node_info_new_for_xml(
        static_cast<const gchar *>(g_bytes_get_data(xml, nullptr)), nullptr);
  }();
  return node->interfaces[0];
}

void method_call(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                 const gchar *, GVariant *, GDBusMethodInvocation *invocation,
                 gpointer data) {
  /* The only method the interface has; GDBus refuses any other. */
  tour_schedule_reload(static_cast<TourSchedule *>(data));
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable VTABLE = {method_call, nullptr, nullptr, {}};

} // namespace

guint tour_schedule_bus_export(TourSchedule *self) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  guint id = 0;
  if (bus != nullptr)
    id = g_dbus_connection_register_object(bus, OBJECT_PATH, interface_info(),
                                           &VTABLE, self, nullptr, &error);
  if (id == 0)
    syslog(LOG_ERR, "Failed to export the tour schedule: %s", error->message);
  return id;
}

void tour_schedule_bus_unexport(guint registration_id) {
  if (registration_id == 0)
    return;
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (bus != nullptr)
    g_dbus_connection_unregister_object(bus, registration_id);
}
