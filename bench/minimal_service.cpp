/*
 * The floor patrold is measured against: the least a GDBus service can do
 * on the same bus. It owns a name and serves one method that answers with
 * an empty reply, set up the way patrold sets up its own service (system bus
 * type, g_bus_own_name, object registered when the bus is acquired, one
 * main loop, SIGTERM quits), so any difference in the figures is the
 * daemon's own work. It also answers GetManagedObjects with a reply of the
 * same shape as patrold's status objects (eight objects, eleven
 * properties), built per call from constants.
 */
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <gio/gio.h>
#include <glib-unix.h>

#include "bench_names.h"

namespace {

constexpr const char *kIntrospection =
    "<node>"
    "  <interface name='" BENCH_MINIMAL_IFACE "'>"
    "    <method name='" BENCH_MINIMAL_METHOD "'>"
    "      <arg type='i' direction='in'/>"
    "    </method>"
    "  </interface>"
    "</node>";

constexpr const char *kManagerIntrospection =
    "<node>"
    "  <interface name='" BENCH_MANAGER_IFACE "'>"
    "    <method name='" BENCH_MANAGER_METHOD "'>"
    "      <arg type='a{oa{sa{sv}}}' direction='out'/>"
    "    </method>"
    "  </interface>"
    "</node>";

GDBusNodeInfo *node_info = nullptr;
GDBusNodeInfo *manager_info = nullptr;

void on_method_call(GDBusConnection *, const gchar *, const gchar *,
                    const gchar *, const gchar *, GVariant *,
                    GDBusMethodInvocation *invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant *camera_properties(int camera) {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&b, "{sv}", "Camera", g_variant_new_int32(camera));
  g_variant_builder_add(&b, "{sv}", "TourId", g_variant_new_int32(-1));
  g_variant_builder_add(&b, "{sv}", "TourName", g_variant_new_string(""));
  g_variant_builder_add(&b, "{sv}", "State", g_variant_new_string("idle"));
  g_variant_builder_add(&b, "{sv}", "Blocked", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&b, "{sv}", "PointIndex", g_variant_new_int32(-1));
  g_variant_builder_add(&b, "{sv}", "Preset", g_variant_new_int32(-1));
  g_variant_builder_add(&b, "{sv}", "StateSince", g_variant_new_uint64(0));
  g_variant_builder_add(&b, "{sv}", "DwellUntil", g_variant_new_uint64(0));
  g_variant_builder_add(&b, "{sv}", "LastError", g_variant_new_string(""));
  g_variant_builder_add(&b, "{sv}", "LastErrorTime", g_variant_new_uint64(0));
  return g_variant_builder_end(&b);
}

void on_managed_objects(GDBusConnection *, const gchar *, const gchar *,
                        const gchar *, const gchar *, GVariant *,
                        GDBusMethodInvocation *invocation, gpointer) {
  GVariantBuilder objects;
  g_variant_builder_init(&objects, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  for (int camera = 1; camera <= 8; ++camera) {
    g_autofree char *path =
        g_strdup_printf(BENCH_MINIMAL_STATUS_PATH "/Camera%d", camera);
    GVariantBuilder interfaces;
    g_variant_builder_init(&interfaces, G_VARIANT_TYPE("a{sa{sv}}"));
    g_variant_builder_add(&interfaces, "{s@a{sv}}",
                          "com.vorn.PresetTourStatus.Camera",
                          camera_properties(camera));
    g_variant_builder_add(&objects, "{oa{sa{sv}}}", path, &interfaces);
  }
  g_dbus_method_invocation_return_value(
      invocation, g_variant_new("(a{oa{sa{sv}}})", &objects));
}

const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};
const GDBusInterfaceVTable manager_vtable = {
    on_managed_objects, nullptr, nullptr, {}};

void on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  guint id = g_dbus_connection_register_object(
      connection, BENCH_MINIMAL_PATH, node_info->interfaces[0], &vtable,
      nullptr, nullptr, nullptr);
  if (id == 0) {
    std::fprintf(stderr, "cannot register %s\n", BENCH_MINIMAL_PATH);
    std::exit(1);
  }
  id = g_dbus_connection_register_object(
      connection, BENCH_MINIMAL_STATUS_PATH, manager_info->interfaces[0],
      &manager_vtable, nullptr, nullptr, nullptr);
  if (id == 0) {
    std::fprintf(stderr, "cannot register %s\n", BENCH_MINIMAL_STATUS_PATH);
    std::exit(1);
  }
}

void on_name_lost(GDBusConnection *, const gchar *name, gpointer) {
  std::fprintf(stderr, "lost or could not own %s\n", name);
  std::exit(1);
}

gboolean on_sigterm(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_REMOVE;
}

} // namespace

int main() {
  node_info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  g_assert(node_info != nullptr);
  manager_info = g_dbus_node_info_new_for_xml(kManagerIntrospection, nullptr);
  g_assert(manager_info != nullptr);
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, on_sigterm, loop);
  guint owner = g_bus_own_name(G_BUS_TYPE_SYSTEM, BENCH_MINIMAL_NAME,
                               G_BUS_NAME_OWNER_FLAGS_NONE, on_bus_acquired,
                               nullptr, on_name_lost, nullptr, nullptr);
  g_main_loop_run(loop);
  g_bus_unown_name(owner);
  g_dbus_node_info_unref(node_info);
  g_dbus_node_info_unref(manager_info);
  return 0;
}
