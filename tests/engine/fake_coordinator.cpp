#include "fake_coordinator.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

std::string args(const char *direction, const char *types) {
  std::string out;
  for (const char *t = types; *t; ++t)
    out += std::string("<arg direction='") + direction + "' type='" + *t + "'/>";
  return out;
}

/* The exact signatures, so GDBus itself refuses ill-typed calls. */
const std::string kIntrospection =
    "<node><interface name='com.vorn.PTZ.Coordinator'><method name='Queue'>" +
    args("in", "sii") + args("out", "iii") +
    "</method><method name='QueryPosition'>" + args("in", "si") +
    args("out", "iiiiiiii") + "</method><method name='GotoPresetNumber'>" +
    args("in", "siii") + "</method><method name='Move'>" +
    args("in", ("s" + std::string(29, 'i')).c_str()) +
    "</method></interface></node>";

} // namespace

FakeCoordinator::FakeCoordinator(const std::string &bus_address)
    : address_(bus_address), context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE)) {
  thread_ = g_thread_new(
      "fake-coordinator",
      [](gpointer self) -> gpointer {
        static_cast<FakeCoordinator *>(self)->serve();
        return nullptr;
      },
      this);
  std::unique_lock hold(lock_);
  ready_cond_.wait(hold, [this] { return ready_ != 0; });
  g_assert(ready_ == 1);
}

FakeCoordinator::~FakeCoordinator() {
  g_main_loop_quit(loop_);
  g_thread_join(thread_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void FakeCoordinator::serve() {
  g_main_context_push_thread_default(context_);
  g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  g_autoptr(GDBusNodeInfo) node =
      g_dbus_node_info_new_for_xml(kIntrospection.c_str(), nullptr);
  static const GDBusInterfaceVTable vtable = {
      [](GDBusConnection *, const char *, const char *path, const char *,
         const char *method, GVariant *parameters,
         GDBusMethodInvocation *invocation, gpointer self) {
        static_cast<FakeCoordinator *>(self)->answer(path, method, parameters,
                                                     invocation);
      },
      nullptr, nullptr, {}};
  std::vector<guint> registrations;
  guint32 owned = 0;
  if (connection != nullptr && node != nullptr) {
    for (int camera = 1; camera <= 8; ++camera) {
      g_autofree char *path =
          g_strdup_printf("/com/vorn/PTZ/Coordinator/%d", camera);
      registrations.push_back(g_dbus_connection_register_object(
          connection, path, node->interfaces[0], &vtable, this, nullptr,
          nullptr));
    }
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "com.vorn.PTZ.Coordinator", 4u /* no queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (reply != nullptr)
      g_variant_get(reply, "(u)", &owned);
  }
  {
    std::lock_guard hold(lock_);
    ready_ = owned == 1 ? 1 : -1;
  }
  ready_cond_.notify_all();
  if (owned == 1)
    g_main_loop_run(loop_);
  for (guint id : registrations)
    g_dbus_connection_unregister_object(connection, id);
  if (connection != nullptr)
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_main_context_pop_thread_default(context_);
}

void FakeCoordinator::answer(const char *path, const char *method,
                             GVariant *parameters,
                             GDBusMethodInvocation *invocation) {
  CoordinatorCall call{method, std::atoi(std::strrchr(path, '/') + 1), {}, {}};
  for (gsize i = 0; i < g_variant_n_children(parameters); ++i) {
    g_autoptr(GVariant) child = g_variant_get_child_value(parameters, i);
    if (g_variant_is_of_type(child, G_VARIANT_TYPE_STRING))
      call.client = g_variant_get_string(child, nullptr);
    else
      call.ints.push_back(g_variant_get_int32(child));
  }
  const std::string_view name(method);
  ScriptedReply reply;
  {
    std::lock_guard hold(lock_);
    calls_.push_back(call);
    auto &queue = scripts_[method];
    if (!queue.empty()) {
      reply = queue.front();
      queue.pop_front();
    } else if (name == "Queue") {
      reply.values = {1, 0, 0};
    } else {
      reply.values.assign(position_.begin(), position_.end());
    }
  }
  if (reply.error_code != 0) {
    /* An unregistered domain travels as an unmapped GError: the engine sees
     * the code as it was sent. */
    g_dbus_method_invocation_return_error(
        invocation, g_quark_from_static_string("fake-coordinator"),
        reply.error_code, "scripted failure %d", reply.error_code);
    return;
  }
  std::vector<int32_t> &v = reply.values;
  v.resize(8);
  if (name == "Queue")
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(iii)", v[0], v[1], v[2]));
  else if (name == "QueryPosition")
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(iiiiiiii)", v[0], v[1], v[2], v[3], v[4],
                                  v[5], v[6], v[7]));
  else
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void FakeCoordinator::reset() {
  std::lock_guard hold(lock_);
  calls_.clear();
  scripts_.clear();
  position_ = {};
}

void FakeCoordinator::script(const std::string &method, ScriptedReply reply) {
  std::lock_guard hold(lock_);
  scripts_[method].push_back(std::move(reply));
}

void FakeCoordinator::set_position(std::array<int32_t, 3> position) {
  std::lock_guard hold(lock_);
  position_ = position;
}

std::vector<CoordinatorCall>
FakeCoordinator::calls(const std::string &method) const {
  std::lock_guard hold(lock_);
  std::vector<CoordinatorCall> out;
  for (const auto &call : calls_)
    if (method.empty() || call.method == method)
      out.push_back(call);
  return out;
}
