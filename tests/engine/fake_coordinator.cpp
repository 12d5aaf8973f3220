#include "fake_coordinator.h"

#include <string_view>

namespace {

constexpr int kCameras = 8;
constexpr int kMoveIntegers = 29;

std::string in_arg(char type) {
  return std::string("<arg direction='in' type='") + type + "'/>";
}
std::string out_arg(char type) {
  return std::string("<arg direction='out' type='") + type + "'/>";
}
std::string repeat(const std::string &text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i)
    out += text;
  return out;
}

/* Built with the exact signatures, so GDBus itself refuses a call whose
 * arguments have the wrong types. */
std::string introspection() {
  return "<node><interface name='com.vorn.PTZ.Coordinator'>"
         "<method name='Queue'>" +
         in_arg('s') + repeat(in_arg('i'), 2) + repeat(out_arg('i'), 3) +
         "</method><method name='QueryPosition'>" + in_arg('s') +
         in_arg('i') + repeat(out_arg('i'), 8) +
         "</method><method name='GotoPresetNumber'>" + in_arg('s') +
         repeat(in_arg('i'), 3) + "</method><method name='Move'>" +
         in_arg('s') + repeat(in_arg('i'), kMoveIntegers) +
         "</method></interface></node>";
}

struct Locker {
  explicit Locker(GMutex *m) : mutex(m) { g_mutex_lock(mutex); }
  ~Locker() { g_mutex_unlock(mutex); }
  GMutex *mutex;
};

} // namespace

FakeCoordinator::FakeCoordinator(const std::string &bus_address)
    : address_(bus_address) {
  g_mutex_init(&lock_);
  g_cond_init(&ready_cond_);
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  thread_ = g_thread_new("fake-coordinator", serve, this);
  Locker hold(&lock_);
  while (!ready_)
    g_cond_wait(&ready_cond_, &lock_);
  g_assert(owns_name_);
}

FakeCoordinator::~FakeCoordinator() {
  g_main_loop_quit(loop_);
  g_thread_join(thread_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
  g_cond_clear(&ready_cond_);
  g_mutex_clear(&lock_);
}

gpointer FakeCoordinator::serve(gpointer data) {
  auto *self = static_cast<FakeCoordinator *>(data);
  g_main_context_push_thread_default(self->context_);

  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
      self->address_.c_str(),
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  g_autoptr(GDBusNodeInfo) node =
      connection ? g_dbus_node_info_new_for_xml(introspection().c_str(), &error)
                 : nullptr;
  std::array<guint, kCameras> registrations{};
  bool owned = false;
  if (node != nullptr) {
    static const GDBusInterfaceVTable vtable = {on_method_call, nullptr,
                                                nullptr, {}};
    for (int camera = 1; camera <= kCameras; ++camera) {
      g_autofree char *path =
          g_strdup_printf("/com/vorn/PTZ/Coordinator/%d", camera);
      /* The camera number rides in the user data: the handler needs no
       * path parsing. The fake outlives every registration. */
      registrations[size_t(camera - 1)] = g_dbus_connection_register_object(
          connection, path, node->interfaces[0], &vtable, self, nullptr,
          nullptr);
    }
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "com.vorn.PTZ.Coordinator", 4u /* no queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    guint32 result = 0;
    if (reply != nullptr)
      g_variant_get(reply, "(u)", &result);
    owned = result == 1;
  }

  {
    Locker hold(&self->lock_);
    self->owns_name_ = owned;
    self->ready_ = true;
    g_cond_signal(&self->ready_cond_);
  }
  if (owned)
    g_main_loop_run(self->loop_);

  for (guint id : registrations)
    if (id != 0)
      g_dbus_connection_unregister_object(connection, id);
  if (connection != nullptr)
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_main_context_pop_thread_default(self->context_);
  return nullptr;
}

void FakeCoordinator::on_method_call(GDBusConnection *, const char *,
                                     const char *path, const char *,
                                     const char *method, GVariant *parameters,
                                     GDBusMethodInvocation *invocation,
                                     gpointer user_data) {
  const std::string_view p(path);
  const int camera_id = std::atoi(p.substr(p.rfind('/') + 1).data());
  static_cast<FakeCoordinator *>(user_data)->answer(camera_id, method,
                                                    parameters, invocation);
}

void FakeCoordinator::answer(int camera_id, const char *method,
                             GVariant *parameters,
                             GDBusMethodInvocation *invocation) {
  CoordinatorCall call{method, camera_id, {}, {}};
  const gsize n = g_variant_n_children(parameters);
  for (gsize i = 0; i < n; ++i) {
    g_autoptr(GVariant) child = g_variant_get_child_value(parameters, i);
    if (g_variant_is_of_type(child, G_VARIANT_TYPE_STRING))
      call.client = g_variant_get_string(child, nullptr);
    else
      call.ints.push_back(g_variant_get_int32(child));
  }

  ScriptedReply reply;
  std::array<int32_t, 3> position{};
  bool scripted = false;
  {
    Locker hold(&lock_);
    calls_.push_back(call);
    auto &queue = scripts_[method];
    if (!queue.empty()) {
      reply = queue.front();
      queue.pop_front();
      scripted = true;
    }
    position = position_;
  }

  if (reply.error_code != 0) {
    /* An unregistered domain travels as an unmapped GError: the engine sees
     * the code as it was sent. */
    g_dbus_method_invocation_return_error(
        invocation, g_quark_from_static_string("fake-coordinator"),
        reply.error_code, "scripted failure %d", reply.error_code);
    return;
  }

  const std::string_view name(method);
  if (name == "Queue") {
    std::vector<int32_t> v = scripted ? reply.values
                                      : std::vector<int32_t>{1, 0, 0};
    v.resize(3);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(iii)", v[0], v[1], v[2]));
  } else if (name == "QueryPosition") {
    std::vector<int32_t> v = scripted
                                 ? reply.values
                                 : std::vector<int32_t>(position.begin(),
                                                        position.end());
    v.resize(8);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(iiiiiiii)", v[0], v[1], v[2], v[3], v[4],
                                  v[5], v[6], v[7]));
  } else {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
}

void FakeCoordinator::reset() {
  Locker hold(&lock_);
  calls_.clear();
  scripts_.clear();
  position_ = {};
}

void FakeCoordinator::script(const std::string &method, ScriptedReply reply) {
  Locker hold(&lock_);
  scripts_[method].push_back(std::move(reply));
}

void FakeCoordinator::set_position(std::array<int32_t, 3> position) {
  Locker hold(&lock_);
  position_ = position;
}

std::vector<CoordinatorCall> FakeCoordinator::calls() const {
  Locker hold(&lock_);
  return calls_;
}

std::vector<CoordinatorCall>
FakeCoordinator::calls(const std::string &method) const {
  std::vector<CoordinatorCall> out;
  for (const auto &call : calls())
    if (call.method == method)
      out.push_back(call);
  return out;
}

std::vector<std::string> FakeCoordinator::methods() const {
  std::vector<std::string> out;
  for (const auto &call : calls())
    out.push_back(call.method);
  return out;
}
