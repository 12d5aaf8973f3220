/*
 * The coordinator's wire interface, one object per simulated camera. Every
 * call is counted and its arguments kept before the injected failures and
 * delays of the control interface decide how (and whether) it is answered.
 */
#include "sim.h"

#include <memory>
#include <string>

namespace sim {
namespace {

/* Move carries the client name and 29 integers; groups 2-5, 6-9 and 10-13
 * are pan, tilt and zoom, each ending with a mode where 3 means stop. */
constexpr int kMoveInts = 29;
constexpr std::array<int, 3> kMoveModeIndexes = {5, 9, 13};
constexpr int kMoveModeStop = 3;

std::string args(const char *type, const char *direction, int count) {
  std::string out;
  for (int i = 0; i < count; ++i)
    out +=
        std::string("<arg type='") + type + "' direction='" + direction + "'/>";
  return out;
}

GDBusNodeInfo *introspection() {
  static GDBusNodeInfo *info = [] {
    const std::string xml =
        "<node><interface name='com.vorn.PTZ.Coordinator'>"
        "<method name='Queue'>" +
        args("s", "in", 1) + args("i", "in", 2) + args("i", "out", 3) +
        "</method>"
        "<method name='QueryPosition'>" +
        args("s", "in", 1) + args("i", "in", 1) + args("i", "out", 8) +
        "</method>"
        "<method name='GotoPresetNumber'>" +
        args("s", "in", 1) + args("i", "in", 3) +
        "</method>"
        "<method name='Move'>" +
        args("s", "in", 1) + args("i", "in", kMoveInts) +
        "</method>"
        "<signal name='DriverUninstalled'><arg type='i'/></signal>"
        "</interface></node>";
    return g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
  }();
  return info;
}

/* Goto and Move are refused while another client holds the head. */
bool refuse_if_not_in_control(Camera &cam, const char *client,
                              GDBusMethodInvocation *inv) {
  if (cam.queue.empty() || cam.queue.front().client == client)
    return false;
  g_dbus_method_invocation_return_error(
      inv, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED, "Head is controlled by %s",
      cam.queue.front().client.c_str());
  return true;
}

void perform(int camera_id, Method m, GVariant *params,
             GDBusMethodInvocation *inv) {
  Camera &cam = *camera(camera_id);
  const char *client = nullptr;
  switch (m) {
  case Method::Queue: {
    gint32 zero = 0, action = 0;
    g_variant_get(params, "(&sii)", &client, &zero, &action);
    GVariant *reply = queue_action(camera_id, client, action);
    if (reply == nullptr)
      g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR,
                                            G_DBUS_ERROR_INVALID_ARGS,
                                            "Unknown queue action %d", action);
    else
      g_dbus_method_invocation_return_value(inv, reply);
    return;
  }
  case Method::QueryPosition: {
    const Position p = head_position(cam);
    const Head &h = cam.head;
    g_dbus_method_invocation_return_value(
        inv, g_variant_new("(iiiiiiii)", p.pan, p.tilt, p.zoom,
                           h.moving ? 1 : 0, h.target_preset, h.last_preset,
                           h.moving ? h.speed : 0, 0));
    return;
  }
  case Method::GotoPresetNumber: {
    gint32 zero = 0, preset = 0, speed = 0;
    g_variant_get(params, "(&siii)", &client, &zero, &preset, &speed);
    if (refuse_if_not_in_control(cam, client, inv))
      return;
    queue_touch(camera_id, client);
    if (head_goto(camera_id, preset, speed / 65536) < 0) {
      g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR,
                                            G_DBUS_ERROR_INVALID_ARGS,
                                            "No such preset %d", preset);
      return;
    }
    g_dbus_method_invocation_return_value(inv, nullptr);
    return;
  }
  case Method::Move: {
    g_variant_get_child(params, 0, "&s", &client);
    if (refuse_if_not_in_control(cam, client, inv))
      return;
    queue_touch(camera_id, client);
    for (int idx : kMoveModeIndexes) {
      gint32 mode = 0;
      g_variant_get_child(params, idx, "i", &mode);
      if (mode == kMoveModeStop) {
        head_stop(camera_id);
        break;
      }
    }
    g_dbus_method_invocation_return_value(inv, nullptr);
    return;
  }
  case Method::Count:
    break;
  }
  g_dbus_method_invocation_return_error(
      inv, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "Unknown method");
}

/* A call answered after SetDelay's time. */
struct Delayed {
  int camera_id;
  Method method;
  GDBusMethodInvocation *inv; /* owned until answered */
};

gboolean on_delayed(gpointer data) {
  std::unique_ptr<Delayed> d(static_cast<Delayed *>(data));
  perform(d->camera_id, d->method,
          g_dbus_method_invocation_get_parameters(d->inv), d->inv);
  return G_SOURCE_REMOVE;
}

void on_method_call(GDBusConnection *, const char *, const char *, const char *,
                    const char *method_name, GVariant *params,
                    GDBusMethodInvocation *inv, gpointer user_data) {
  const int camera_id = GPOINTER_TO_INT(user_data);
  const int index = method_index(method_name);
  if (index < 0) {
    g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR,
                                          G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "Unknown method %s", method_name);
    return;
  }
  const char *client = nullptr;
  g_variant_get_child(params, 0, "&s", &client);
  if (refuse_foreign_client(inv, client))
    return;
  Camera &cam = *camera(camera_id);
  cam.calls[index]++;
  if (cam.last_args[index] != nullptr)
    g_variant_unref(cam.last_args[index]);
  cam.last_args[index] = g_variant_ref(params);

  Failure &f = cam.failures[index];
  if (f.remaining != 0) {
    if (f.remaining > 0)
      f.remaining--;
    g_dbus_method_invocation_return_error(inv, error_quark(), f.code,
                                          "Simulated failure of %s (code %d)",
                                          method_name, f.code);
    return;
  }
  const int delay = cam.delay_ms[index];
  if (delay < 0) {
    state().unanswered.push_back(inv);
    return;
  }
  const auto m = static_cast<Method>(index);
  if (delay > 0) {
    g_timeout_add(static_cast<guint>(delay), on_delayed,
                  new Delayed{camera_id, m, inv});
    return;
  }
  perform(camera_id, m, params, inv);
}

constexpr GDBusInterfaceVTable kVTable = {on_method_call, nullptr, nullptr, {}};

} // namespace

int method_index(const char *name) {
  for (std::size_t i = 0; i < kMethodNames.size(); ++i)
    if (g_strcmp0(name, kMethodNames[i]) == 0)
      return static_cast<int>(i);
  return -1;
}

void coordinator_register(GDBusConnection *conn) {
  GDBusInterfaceInfo *iface = introspection()->interfaces[0];
  for (int id = 1; id <= state().opt.cameras; ++id) {
    g_autofree char *path =
        g_strdup_printf("%s%d", COORDINATOR_PATH_PREFIX, id);
    g_autoptr(GError) error = nullptr;
    if (g_dbus_connection_register_object(conn, path, iface, &kVTable,
                                          GINT_TO_POINTER(id), nullptr,
                                          &error) == 0)
      g_printerr("ptz-sim: cannot register %s: %s\n", path, error->message);
  }
}

void coordinator_reset(Camera &cam) {
  cam.failures.fill({});
  cam.delay_ms.fill(0);
  cam.calls.fill(0);
  for (GVariant *&v : cam.last_args) {
    if (v != nullptr)
      g_variant_unref(v);
    v = nullptr;
  }
}

} // namespace sim
