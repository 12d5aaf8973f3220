#include "tourctl.h"

#include <gio/gio.h>

namespace tourctl {

namespace {

constexpr const char *kBusName = "com.vorn.PresetTour";
constexpr const char *kObjectPath = "/com/vorn/PresetTour";
constexpr int kCallTimeoutMs = 10000;

bool name_has_owner(GDBusConnection *bus) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", kBusName), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
  if (!reply)
    return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  return owned;
}

} // namespace

Exit bus_call(const char *interface, const char *method, GVariant *args) {
  g_autoptr(GVariant) owned_args = g_variant_ref_sink(args);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    complain("cannot reach the system bus: %s", error->message);
    return Exit::Failure;
  }
  /* Asking first turns "no reply" into a message an operator understands;
   * a daemon that leaves in between still ends in the error path below. */
  if (!name_has_owner(bus)) {
    complain("patrold is not running");
    return Exit::Failure;
  }
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, kBusName, kObjectPath, interface, method, owned_args, G_VARIANT_TYPE_UNIT,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &error);
  if (!reply) {
    g_autofree char *remote = g_dbus_error_get_remote_error(error);
    if (g_strcmp0(remote, "org.freedesktop.DBus.Error.ServiceUnknown") == 0) {
      complain("patrold is not running");
      return Exit::Failure;
    }
    g_dbus_error_strip_remote_error(error);
    complain("%s", error->message);
    return Exit::Failure;
  }
  return Exit::Ok;
}

} // namespace tourctl
