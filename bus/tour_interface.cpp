#include "tour_interface.h"

#include <cstring>
#include <syslog.h>

#include "bus_memory.h"
#include "patrold_names.h"
#include "tour_handler.h"
/* The compiled-in interface files; the generated header is C. */
extern "C" {
#include "tour-interfaces.h"
}

namespace {

constexpr const char *BUS_NAME = PATROLD_BUS_NAME;
/* data/com.vorn.PresetTour.xml, compiled in. */
constexpr const char *INTROSPECTION_RESOURCE =
    "/com/vorn/patrold/com.vorn.PresetTour.xml";
constexpr const char *OBJECT_PATH = PATROLD_OBJECT_PATH;
constexpr const char *IFACE_TOUR = PATROLD_TOUR_INTERFACE;
constexpr const char *IFACE_CONFHUB = PATROLD_CONFHUB_INTERFACE;
constexpr const char *IFACE_CONTROLLER = PATROLD_CONTROLLER_INTERFACE;

constexpr const char *COORDINATOR_SIGNAL = "DriverUninstalled";

/* Module state: one set per process, written only on the main thread. The
 * handler is borrowed; it owns this module's lifetime through its own. */
TourHandler *handler = nullptr;
GDBusInterfaceVTable interface_vtable;
GDBusNodeInfo *introspection_data = nullptr;
guint signal_subscription_id = 0;
guint owner_id = 0;
GDBusConnection *signal_connection = nullptr;

using TourRequestFn = gboolean (*)(TourHandler *, int32_t, GError **);

struct IntMethod {
  const char *interface_name;
  const char *method_name;
  TourRequestFn operation;
};

constexpr IntMethod INT_METHODS[] = {
    {IFACE_TOUR, "PlayPresetTour", tour_handler_play_preset_tour},
    {IFACE_TOUR, "PausePresetTour", tour_handler_pause_preset_tour},
    {IFACE_TOUR, "ResumePresetTour", tour_handler_resume_preset_tour},
    {IFACE_TOUR, "StopPresetTour", tour_handler_stop_preset_tour},
    {IFACE_CONTROLLER, "BlockPlayback", tour_handler_block_playback},
    {IFACE_CONTROLLER, "UnblockPlayback", tour_handler_unblock_playback},
};

/* The handler's error domain is deliberately not registered as a bus error:
 * clients see GDBus's unmapped name, which carries domain and code. */
void reply(GDBusMethodInvocation *invocation, gboolean ok, GError *error) {
  if (ok)
    g_dbus_method_invocation_return_value(invocation, nullptr);
  else
    g_dbus_method_invocation_return_gerror(invocation, error);
}

void call_int_method(const IntMethod &method, GVariant *parameters,
                     GDBusMethodInvocation *invocation) {
  int32_t value = 0;
  g_autoptr(GError) error = nullptr;
  g_variant_get(parameters, "(i)", &value);
  gboolean ok = method.operation(handler, value, &error);
  reply(invocation, ok, error);
}

void call_set_running(GVariant *parameters, GDBusMethodInvocation *invocation) {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar *running = nullptr;
  g_autofree gchar *confhub_id = nullptr;
  g_variant_get(parameters, "(ss)", &running, &confhub_id);
  gboolean ok = tour_handler_set_preset_tour_running(handler, running,
                                                     confhub_id, &error);
  reply(invocation, ok, error);
}

bool is_known_interface(const char *interface_name) {
  return g_strcmp0(interface_name, IFACE_TOUR) == 0 ||
         g_strcmp0(interface_name, IFACE_CONFHUB) == 0 ||
         g_strcmp0(interface_name, IFACE_CONTROLLER) == 0;
}

void handle_method_call(GDBusConnection * /*connection*/,
                        const gchar * /*sender*/, const gchar * /*object_path*/,
                        const gchar *interface_name, const gchar *method_name,
                        GVariant *parameters, GDBusMethodInvocation *invocation,
                        gpointer /*user_data*/) {
  if (!is_known_interface(interface_name)) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.ServiceUnknown",
        "Unhandled interface");
    return;
  }
  for (const IntMethod &method : INT_METHODS) {
    if (g_strcmp0(interface_name, method.interface_name) == 0 &&
        g_strcmp0(method_name, method.method_name) == 0) {
      call_int_method(method, parameters, invocation);
      return;
    }
  }
  if (g_strcmp0(interface_name, IFACE_CONFHUB) == 0 &&
      g_strcmp0(method_name, "SetPresetTourRunning") == 0) {
    call_set_running(parameters, invocation);
    return;
  }
  g_dbus_method_invocation_return_dbus_error(
      invocation, "org.freedesktop.DBus.Error.UnknownMethod",
      "Unhandled method call");
}

void on_bus_acquired(GDBusConnection *connection, const gchar * /*name*/,
                     gpointer /*user_data*/) {
  interface_vtable = {};
  interface_vtable.method_call = handle_method_call;
  bus_memory::start(connection);

  /* The registrations live as long as the connection; nothing unregisters
   * them, so their ids are not kept. */
  for (GDBusInterfaceInfo **iface = introspection_data->interfaces;
       iface != nullptr && *iface != nullptr; ++iface) {
    guint registration_id = g_dbus_connection_register_object(
        connection, OBJECT_PATH, *iface, &interface_vtable, nullptr, nullptr,
        nullptr);
    g_assert(registration_id > 0);
  }
}

void on_name_acquired(GDBusConnection * /*connection*/, const gchar * /*name*/,
                      gpointer /*user_data*/) {}

void on_name_lost(GDBusConnection * /*connection*/, const gchar * /*name*/,
                  gpointer /*user_data*/) {}

void tour_interface_handle_signal_driver_uninstalled(
    GDBusConnection * /*connection*/, const gchar * /*sender_name*/,
    const gchar * /*object_path*/, const gchar * /*interface_name*/,
    const gchar * /*signal_name*/, GVariant *parameters,
    gpointer /*user_data*/) {
  /* A malformed body still reaches the handler, as camera 0, which it
   * refuses; the handler decides what an id out of range means. */
  int32_t camera_id = 0;
  if (parameters != nullptr &&
      g_variant_is_of_type(parameters, G_VARIANT_TYPE("(i)")))
    g_variant_get(parameters, "(i)", &camera_id);
  tour_handler_driver_uninstalled(handler, camera_id);
}

} // namespace

void tour_interface_init(TourHandler *new_handler) {
  handler = new_handler;

  /* Compiled in and checked at build time: it cannot be missing. */
  g_autoptr(GBytes) xml = g_resource_lookup_data(
      tour_interfaces_get_resource(), INTROSPECTION_RESOURCE,
      G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  g_assert(xml != nullptr);
  introspection_data = g_dbus_node_info_new_for_xml(
      static_cast<const gchar *>(g_bytes_get_data(xml, nullptr)), nullptr);
  g_assert(introspection_data != NULL);

  owner_id = g_bus_own_name(G_BUS_TYPE_SYSTEM, BUS_NAME,
                            G_BUS_NAME_OWNER_FLAGS_NONE, on_bus_acquired,
                            on_name_acquired, on_name_lost, nullptr, nullptr);

  g_autoptr(GError) error = nullptr;
  signal_connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (signal_connection == nullptr) {
    syslog(LOG_ERR, "Failed to open connection to bus: %s", error->message);
    return;
  }

  signal_subscription_id = g_dbus_connection_signal_subscribe(
      signal_connection, nullptr, COORDINATOR_INTERFACE, COORDINATOR_SIGNAL,
      COORDINATOR_SIGNAL_PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      tour_interface_handle_signal_driver_uninstalled, nullptr, nullptr);
  if (signal_subscription_id == 0)
    syslog(LOG_ERR, "Failed to connect to signal");
}

void tour_interface_cleanup(void) {
  handler = nullptr;
  bus_memory::stop();

  if (owner_id != 0)
    g_bus_unown_name(owner_id);
  owner_id = 0;

  g_clear_pointer(&introspection_data, g_dbus_node_info_unref);

  if (signal_connection != nullptr) {
    if (signal_subscription_id != 0)
      g_dbus_connection_signal_unsubscribe(signal_connection,
                                           signal_subscription_id);
    signal_subscription_id = 0;
    g_clear_object(&signal_connection);
  }
}
