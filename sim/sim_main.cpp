/*
 * ptz-sim: a simulated PTZ coordinator on the system bus (so that
 * DBUS_SYSTEM_BUS_ADDRESS sends it to a private bus). Owns the coordinator's
 * name, serves one object per camera and the simulator's control object, and
 * runs until SIGTERM or SIGINT.
 */
#include "sim.h"

#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

State &state() {
  static State s;
  return s;
}

Camera *camera(int id) {
  if (id < 1 || id > state().opt.cameras)
    return nullptr;
  return &state().cams[static_cast<std::size_t>(id - 1)];
}

G_DEFINE_QUARK(ptz_sim_error_quark, ptz_sim_error)

GQuark error_quark() { return ptz_sim_error_quark(); }

void emit_event(const char *name, GVariant *args) {
  g_autoptr(GVariant) owned = g_variant_ref_sink(args);
  if (state().opt.verbose) {
    g_autofree char *text = g_variant_print(owned, FALSE);
    std::printf("ptz-sim: %s %s\n", name, text);
    std::fflush(stdout);
  }
  if (state().conn != nullptr)
    g_dbus_connection_emit_signal(state().conn, nullptr, kEventsPath,
                                  kEventsIface, name, owned, nullptr);
}

} // namespace sim

namespace {

constexpr const char *kDescription =
    "Simulates the PTZ coordinator for cameras 1..N on the system bus\n"
    "(DBUS_SYSTEM_BUS_ADDRESS selects the bus). It owns "
    "com.vorn.PTZ.Coordinator\n"
    "and serves /com/vorn/PTZ/Coordinator/<n>, interface "
    "com.vorn.PTZ.Coordinator:\n"
    "  Queue (s client, i 0, i action) -> (i status, i index, i length)\n"
    "      action 3 enter, 2 leave, 0 keepalive; status 1 at the head of the\n"
    "      queue, 0 waiting, 2 not in the queue. A client silent (no enter,\n"
    "      keepalive, goto or move) for --expiry seconds drops out.\n"
    "  QueryPosition (s, i) -> (pan, tilt, zoom, moving, target preset,\n"
    "      last reached preset, speed, 0)\n"
    "  GotoPresetNumber (s, i, i preset, i speed*65536): refused while "
    "another\n"
    "      client is at the head of the queue.\n"
    "  Move (s, 29 i): a 3 in member 5, 9 or 13 stops the head where it is.\n"
    "  signal DriverUninstalled (i camera) on /com/vorn/PTZ/Coordinator/1\n"
    "A client name belongs to the account of the first call naming it; a call\n"
    "naming it from another account is refused (AccessDenied).\n"
    "\n"
    "Heads move in real time: pan units/s = (250 + 25*speed) * speed-scale,\n"
    "tilt and zoom at 1/10 and 1/100 of that, all axes arriving together.\n"
    "Preset p defaults to pan p*1000, tilt p*100, zoom p*10.\n"
    "\n"
    "Events, interface com.vorn.PTZ.Events on /com/vorn/PTZ/Events:\n"
    "  HeadMoving (i camera, i 1|0), PresetReached (i camera, i 1),\n"
    "  ControlChanged (i camera, s client at the head, \"\" when empty)\n"
    "\n"
    "Control, interface com.vorn.PTZ.Simulator on /com/vorn/PTZ/Simulator:\n"
    "  TakeControl (i camera, s client)    client goes to the head of the "
    "queue\n"
    "  ReleaseControl (i camera, s client) client leaves the queue\n"
    "  UninstallDriver (i camera)          emits DriverUninstalled(camera)\n"
    "  SetFailure (i camera, s method, i code, i count)\n"
    "      the next count calls fail with error code `code` of domain\n"
    "      ptz_sim_error_quark (count < 0: all, 0: clear; camera 0: all)\n"
    "  SetDelay (i camera, s method, i ms)  answer ms late; ms < 0: never\n"
    "  SetPreset (i camera, i preset, i pan, i tilt, i zoom)\n"
    "  GetState () -> (s json)             heads, queues, history, counters\n"
    "  Reset ()                            clear failures, delays, history\n"
    "                                      and counters\n";

struct MainContext {
  GMainLoop *loop = nullptr;
  bool acquired = false;
  int status = 0;
};

void on_bus_acquired(GDBusConnection *conn, const char *, gpointer) {
  sim::state().conn = conn;
  sim::coordinator_register(conn);
  sim::control_register(conn);
}

void on_name_acquired(GDBusConnection *, const char *, gpointer data) {
  static_cast<MainContext *>(data)->acquired = true;
  if (sim::state().opt.verbose)
    std::printf("ptz-sim: serving %d cameras\n", sim::state().opt.cameras);
}

void on_name_lost(GDBusConnection *, const char *name, gpointer data) {
  auto *ctx = static_cast<MainContext *>(data);
  g_printerr("ptz-sim: %s %s\n", ctx->acquired ? "lost" : "cannot own", name);
  ctx->status = 1;
  g_main_loop_quit(ctx->loop);
}

gboolean on_signal(gpointer data) {
  g_main_loop_quit(static_cast<MainContext *>(data)->loop);
  return G_SOURCE_CONTINUE;
}

bool parse_options(int &argc, char **&argv) {
  sim::Options &o = sim::state().opt;
  const GOptionEntry entries[] = {
      {"cameras", 'c', 0, G_OPTION_ARG_INT, &o.cameras,
       "Cameras to simulate (1-8, default 8)", "N"},
      {"presets", 'p', 0, G_OPTION_ARG_INT, &o.presets,
       "Presets with a default position per camera (default 32)", "N"},
      {"speed-scale", 's', 0, G_OPTION_ARG_DOUBLE, &o.speed_scale,
       "Multiply every head speed (default 1.0)", "F"},
      {"expiry", 'e', 0, G_OPTION_ARG_DOUBLE, &o.expiry_s,
       "Seconds before a silent client leaves a queue (default 30)", "S"},
      {"verbose", 'v', 0, G_OPTION_ARG_NONE, &o.verbose,
       "Print every event on standard output", nullptr},
      {}};
  g_autoptr(GOptionContext) ctx =
      g_option_context_new("- simulated PTZ coordinator");
  g_option_context_set_description(ctx, kDescription);
  g_option_context_add_main_entries(ctx, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(ctx, &argc, &argv, &error)) {
    g_printerr("ptz-sim: %s\n", error->message);
    return false;
  }
  if (o.cameras < 1 || o.cameras > sim::kMaxCameras || o.speed_scale <= 0 ||
      o.expiry_s <= 0 || o.presets < 0) {
    g_printerr(
        "ptz-sim: --cameras takes 1-8, --speed-scale and --expiry a value "
        "above 0\n");
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (!parse_options(argc, argv))
    return 2;
  for (int id = 1; id <= sim::state().opt.cameras; ++id)
    sim::head_reset_presets(*sim::camera(id));

  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  MainContext ctx{loop};
  const guint sigterm = g_unix_signal_add(SIGTERM, on_signal, &ctx);
  const guint sigint = g_unix_signal_add(SIGINT, on_signal, &ctx);
  const guint owner = g_bus_own_name(
      G_BUS_TYPE_SYSTEM, sim::kBusName, G_BUS_NAME_OWNER_FLAGS_NONE,
      on_bus_acquired, on_name_acquired, on_name_lost, &ctx, nullptr);
  g_main_loop_run(loop);

  g_bus_unown_name(owner);
  g_source_remove(sigterm);
  g_source_remove(sigint);
  for (sim::Camera &cam : sim::state().cams)
    sim::coordinator_reset(cam);
  for (GDBusMethodInvocation *inv : sim::state().unanswered)
    g_object_unref(inv);
  sim::state().unanswered.clear();
  return ctx.status;
}
