#include "tourctl.h"

#include <cstring>

namespace tourctl {

namespace {

constexpr const char *kBusName = PATROLD_BUS_NAME;
constexpr const char *kObjectPath = PATROLD_OBJECT_PATH;
constexpr int kCallTimeoutMs = 10000;

/* patrold's own error domain reaches the bus unmapped, so its name carries
 * the code: "...UnmappedGError.Quark._<domain>.Code<n>". */
bool has_code(const char *remote, int code) {
  const std::string suffix = ".Code" + std::to_string(code);
  return remote && g_str_has_suffix(remote, suffix.c_str());
}

/* The failure of a call to patrold, said as an operator needs it. */
std::string in_operator_words(const GError *error, GVariant *args) {
  g_autofree char *remote = g_dbus_error_get_remote_error(error);
  if (has_code(remote, 50) &&
      g_variant_is_of_type(args, G_VARIANT_TYPE("(i)"))) {
    int32_t camera = 0;
    g_variant_get(args, "(i)", &camera);
    return "camera " + std::to_string(camera) +
           " is not one of patrold's cameras (1 to 8)";
  }
  if (has_code(remote, 100))
    return "patrold could not take the request (out of memory?); nothing was "
           "changed";
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.ServiceUnknown") == 0 ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0)
    return "patrold is not running";
  if (g_strcmp0(remote, "org.freedesktop.DBus.Error.AccessDenied") == 0)
    return "not allowed to control patrold: run as root or as a member of "
           "patrold-operators";
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
      g_strcmp0(remote, "org.freedesktop.DBus.Error.NoReply") == 0)
    return "patrold did not answer within 10 s; it may be busy with a camera";
  g_autoptr(GError) copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  return std::string("patrold refused the request: ") + copy->message;
}

} // namespace

GDBusConnection *bus_open() {
  g_autoptr(GError) error = nullptr;
  GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus)
    complain("cannot reach the system bus: %s", error->message);
  return bus;
}

bool daemon_on_bus(GDBusConnection *bus) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
      "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kBusName),
      G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
      nullptr);
  gboolean owned = FALSE;
  if (reply)
    g_variant_get(reply, "(b)", &owned);
  return owned;
}

GDBusConnection *daemon_bus() {
  g_autoptr(GDBusConnection) bus = bus_open();
  if (!bus)
    return nullptr;
  if (!daemon_on_bus(bus)) {
    complain("patrold is not running");
    return nullptr;
  }
  return static_cast<GDBusConnection *>(g_steal_pointer(&bus));
}

Exit bus_call(GDBusConnection *bus, const char *interface, const char *method,
              GVariant *args) {
  g_autoptr(GVariant) owned_args = g_variant_ref_sink(args);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, kBusName, kObjectPath, interface, method, owned_args,
      G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
      nullptr, &error);
  if (reply)
    return Exit::Ok;
  complain("%s", in_operator_words(error, owned_args).c_str());
  return Exit::Failure;
}

} // namespace tourctl
