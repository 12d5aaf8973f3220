/*
 * The floor patrold is measured against: the least a GDBus service can do
 * on the same bus. It owns a name and serves one method that answers with
 * an empty reply, set up the way patrold sets up its own service (system bus
 * type, g_bus_own_name, object registered when the bus is acquired, one
 * main loop, SIGTERM quits), so any difference in the figures is the
 * daemon's own work.
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

GDBusNodeInfo *node_info = nullptr;

void on_method_call(GDBusConnection *, const gchar *, const gchar *,
                    const gchar *, const gchar *, GVariant *,
                    GDBusMethodInvocation *invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable vtable = {on_method_call, nullptr, nullptr, {}};

void on_bus_acquired(GDBusConnection *connection, const gchar *, gpointer) {
  guint id = g_dbus_connection_register_object(
      connection, BENCH_MINIMAL_PATH, node_info->interfaces[0], &vtable,
      nullptr, nullptr, nullptr);
  if (id == 0) {
    std::fprintf(stderr, "cannot register %s\n", BENCH_MINIMAL_PATH);
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
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, on_sigterm, loop);
  guint owner = g_bus_own_name(G_BUS_TYPE_SYSTEM, BENCH_MINIMAL_NAME,
                               G_BUS_NAME_OWNER_FLAGS_NONE, on_bus_acquired,
                               nullptr, on_name_lost, nullptr, nullptr);
  g_main_loop_run(loop);
  g_bus_unown_name(owner);
  g_dbus_node_info_unref(node_info);
  return 0;
}
