/*
 * The simulator's own interface, for tests and the demo: other clients
 * taking the head, driver uninstalls, injected failures and delays, preset
 * positions, and a JSON view of every head and queue.
 */
#include "sim.h"

#include <string>

namespace sim {
namespace {

constexpr const char *kControlXml =
    "<node><interface name='com.vorn.PTZ.Simulator'>"
    "<method name='TakeControl'><arg type='i' direction='in'/>"
    "<arg type='s' direction='in'/></method>"
    "<method name='ReleaseControl'><arg type='i' direction='in'/>"
    "<arg type='s' direction='in'/></method>"
    "<method name='UninstallDriver'><arg type='i' direction='in'/></method>"
    "<method name='SetFailure'><arg type='i' direction='in'/><arg type='s' "
    "direction='in'/>"
    "<arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='SetDelay'><arg type='i' direction='in'/><arg type='s' "
    "direction='in'/>"
    "<arg type='i' direction='in'/></method>"
    "<method name='SetPreset'><arg type='i' direction='in'/><arg type='i' "
    "direction='in'/>"
    "<arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='i' direction='in'/></method>"
    "<method name='GetState'><arg type='s' direction='out'/></method>"
    "<method name='Reset'/>"
    "</interface></node>";

void json_string(std::string &out, const char *s) {
  out += '"';
  for (const char *p = s; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      g_autofree char *esc = g_strdup_printf("\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

/* The coordinator's arguments are tuples of strings and integers. */
void json_args(std::string &out, GVariant *args) {
  if (args == nullptr) {
    out += "null";
    return;
  }
  out += '[';
  for (gsize i = 0; i < g_variant_n_children(args); ++i) {
    g_autoptr(GVariant) v = g_variant_get_child_value(args, i);
    if (i > 0)
      out += ',';
    if (g_variant_is_of_type(v, G_VARIANT_TYPE_STRING))
      json_string(out, g_variant_get_string(v, nullptr));
    else if (g_variant_is_of_type(v, G_VARIANT_TYPE_INT32))
      out += std::to_string(g_variant_get_int32(v));
    else
      out += "null";
  }
  out += ']';
}

void json_camera(std::string &out, int id, const Camera &cam) {
  const Head &h = cam.head;
  const Position p = head_position(cam);
  out += "{\"camera\":" + std::to_string(id) +
         ",\"pan\":" + std::to_string(p.pan) +
         ",\"tilt\":" + std::to_string(p.tilt) +
         ",\"zoom\":" + std::to_string(p.zoom) +
         ",\"moving\":" + (h.moving ? "true" : "false") +
         ",\"target_preset\":" + std::to_string(h.target_preset) +
         ",\"last_preset\":" + std::to_string(h.last_preset) + ",\"history\":[";
  for (std::size_t i = 0; i < h.history.size(); ++i)
    out += (i > 0 ? "," : "") + std::to_string(h.history[i]);
  out += "],\"queue\":[";
  for (std::size_t i = 0; i < cam.queue.size(); ++i) {
    if (i > 0)
      out += ',';
    json_string(out, cam.queue[i].client.c_str());
  }
  out += "],\"calls\":{";
  for (std::size_t m = 0; m < kMethodCount; ++m)
    out += std::string(m > 0 ? "," : "") + "\"" + kMethodNames[m] +
           "\":" + std::to_string(cam.calls[m]);
  out += "},\"last_args\":{";
  for (std::size_t m = 0; m < kMethodCount; ++m) {
    out += std::string(m > 0 ? "," : "") + "\"" + kMethodNames[m] + "\":";
    json_args(out, cam.last_args[m]);
  }
  out += "}}";
}

bool valid_camera(int id, bool allow_all, GDBusMethodInvocation *inv) {
  if ((allow_all && id == 0) || camera(id) != nullptr)
    return true;
  g_dbus_method_invocation_return_error(
      inv, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "No camera %d", id);
  return false;
}

/* Applies fn to the camera, or to every camera for id 0. */
template <typename Fn> void for_cameras(int id, Fn &&fn) {
  for (int c = 1; c <= state().opt.cameras; ++c)
    if (id == 0 || id == c)
      fn(*camera(c));
}

int method_or_reply(const char *name, GDBusMethodInvocation *inv) {
  const int m = method_index(name);
  if (m < 0)
    g_dbus_method_invocation_return_error(inv, G_DBUS_ERROR,
                                          G_DBUS_ERROR_INVALID_ARGS,
                                          "No coordinator method %s", name);
  return m;
}

void on_method_call(GDBusConnection *, const char *, const char *, const char *,
                    const char *name, GVariant *params,
                    GDBusMethodInvocation *inv, gpointer) {
  gint32 id = 0;
  const char *text = nullptr;
  const std::string method(name);
  if (method == "TakeControl" || method == "ReleaseControl") {
    g_variant_get(params, "(i&s)", &id, &text);
    if (!valid_camera(id, false, inv))
      return;
    if (method == "TakeControl")
      queue_take(id, text);
    else
      queue_release(id, text);
  } else if (method == "UninstallDriver") {
    /* Any id goes out as given: clients must cope with odd ones. */
    g_variant_get(params, "(i)", &id);
    g_dbus_connection_emit_signal(state().conn, nullptr, kDriverSignalPath,
                                  kCoordinatorIface, "DriverUninstalled",
                                  g_variant_new("(i)", id), nullptr);
  } else if (method == "SetFailure") {
    gint32 code = 0, count = 0;
    g_variant_get(params, "(i&sii)", &id, &text, &code, &count);
    const int m = method_or_reply(text, inv);
    if (m < 0 || !valid_camera(id, true, inv))
      return;
    for_cameras(id, [&](Camera &cam) { cam.failures[m] = {code, count}; });
  } else if (method == "SetDelay") {
    gint32 ms = 0;
    g_variant_get(params, "(i&si)", &id, &text, &ms);
    const int m = method_or_reply(text, inv);
    if (m < 0 || !valid_camera(id, true, inv))
      return;
    for_cameras(id, [&](Camera &cam) { cam.delay_ms[m] = ms; });
  } else if (method == "SetPreset") {
    gint32 preset = 0;
    Position p;
    g_variant_get(params, "(iiiii)", &id, &preset, &p.pan, &p.tilt, &p.zoom);
    if (!valid_camera(id, false, inv))
      return;
    camera(id)->presets[preset] = p;
  } else if (method == "GetState") {
    g_dbus_method_invocation_return_value(
        inv, g_variant_new("(s)", control_state_json().c_str()));
    return;
  } else if (method == "Reset") {
    for_cameras(0, [](Camera &cam) {
      coordinator_reset(cam);
      head_clear_history(cam);
    });
  }
  g_dbus_method_invocation_return_value(inv, nullptr);
}

constexpr GDBusInterfaceVTable kVTable = {on_method_call, nullptr, nullptr, {}};

} // namespace

std::string control_state_json() {
  std::string out = "{\"cameras\":[";
  for (int id = 1; id <= state().opt.cameras; ++id) {
    if (id > 1)
      out += ',';
    json_camera(out, id, *camera(id));
  }
  out += "]}";
  return out;
}

void control_register(GDBusConnection *conn) {
  static GDBusNodeInfo *info =
      g_dbus_node_info_new_for_xml(kControlXml, nullptr);
  g_autoptr(GError) error = nullptr;
  if (g_dbus_connection_register_object(conn, kControlPath, info->interfaces[0],
                                        &kVTable, nullptr, nullptr,
                                        &error) == 0)
    g_printerr("ptz-sim: cannot register %s: %s\n", kControlPath,
               error->message);
}

} // namespace sim
