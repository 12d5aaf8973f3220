/* The engine tests' fixture: a private bus with a scripted coordinator, a
 * fresh parameter store per test and the fake PTZ platform. */
#pragma once

#include <deque>
#include <map>
#include <mutex>

#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"

constexpr int kCamera = 2; /* the only camera the coordinator serves */
constexpr int kTour = 4;

/* The coordinator on a connection, a main context and a thread of its own:
 * the engine's blocking calls hold the test's thread, so a coordinator
 * served there could never answer. Calls are kept as (method, arguments as
 * GVariant text). A reply is GVariant text or an error code, from the
 * method's script. */
struct FakeCoordinator {
  using Call = std::pair<std::string, std::string>;

  explicit FakeCoordinator(const std::string &address) {
    /* Exact signatures, so GDBus itself refuses an ill-typed call. */
    auto args = [](const std::string &types, const std::string &dir = "in") {
      std::string out;
      for (char t : types)
        out += "<arg type='" + std::string(1, t) + "' direction='" + dir + "'/>";
      return out;
    };
    const std::string xml =
        "<node><interface name='com.vorn.PTZ.Coordinator'><method name='Queue'>" +
        args("sii") + args("iii", "out") + "</method><method name='QueryPosition'>" +
        args("si") + args("iiiiiiii", "out") + "</method><method name='GotoPresetNumber'>" +
        args("siii") + "</method><method name='Move'>" + args("s" + std::string(29, 'i')) +
        "</method></interface></node>";
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml.c_str(), nullptr);
    static const GDBusInterfaceVTable vtable = {answer, nullptr, nullptr, {}};
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context); /* calls are dispatched here */
    GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    const std::string path = "/com/vorn/PTZ/Coordinator/" + std::to_string(kCamera);
    g_assert(g_dbus_connection_register_object(bus, path.c_str(), node->interfaces[0],
                                               &vtable, this, nullptr, nullptr) != 0);
    g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "com.vorn.PTZ.Coordinator", 4u), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    g_assert(owned != nullptr);
    g_main_context_pop_thread_default(context);
    g_thread_new("fake-coordinator", [](gpointer loop) -> gpointer {
      g_main_loop_run(static_cast<GMainLoop *>(loop));
      return nullptr;
    }, g_main_loop_new(context, FALSE));
  }

  void reset() {
    std::lock_guard hold(lock);
    log.clear();
    scripts.clear();
  }
  void script(const std::string &method, const std::string &reply, int error = 0) {
    std::lock_guard hold(lock);
    scripts[method].push_back({reply, error});
  }
  std::vector<Call> calls(const std::string &method = "") {
    std::lock_guard hold(lock);
    std::vector<Call> out;
    for (const Call &c : log)
      if (method.empty() || c.first == method)
        out.push_back(c);
    return out;
  }
  static std::string position(int x) {
    return "(" + std::to_string(x) + ", 7, 7, 0, 0, 0, 0, 0)";
  }

  static void answer(GDBusConnection *, const char *, const char *, const char *,
                     const char *method, GVariant *args,
                     GDBusMethodInvocation *invocation, gpointer data) {
    auto *self = static_cast<FakeCoordinator *>(data);
    g_autofree char *text = g_variant_print(args, FALSE);
    std::lock_guard hold(self->lock);
    self->log.emplace_back(method, text);
    auto &queue = self->scripts[method];
    /* Unscripted, Queue answers (1, 0, 0) and the head stands still. */
    const std::string name = method, fallback = name == "Queue" ? "(1, 0, 0)"
                                          : name == "QueryPosition" ? position(0) : "()";
    auto [reply, error] = queue.empty() ? std::pair{fallback, 0} : queue.front();
    if (!queue.empty())
      queue.pop_front();
    if (error != 0) /* an unregistered domain: the engine sees the code as sent */
      g_dbus_method_invocation_return_error(invocation,
                                            g_quark_from_static_string("fake-coordinator"),
                                            error, "scripted failure %d", error);
    else
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new_parsed(reply.c_str()));
  }

  std::mutex lock;
  std::vector<Call> log;
  std::map<std::string, std::deque<std::pair<std::string, int>>> scripts;
};

inline auto *const bus_env =
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

/* On the private bus; serves until the process ends. */
inline FakeCoordinator *coordinator() {
  static auto *const fake = new FakeCoordinator(g_getenv("DBUS_SYSTEM_BUS_ADDRESS"));
  return fake;
}

struct TourPoint {
  int preset, position, speed = 1, wait = 5;
};
struct TourSpec {
  const char *random = "no";     /* nullptr: not stored */
  int between = 0;               /* TimeBetweenSequences, minutes */
  std::vector<TourPoint> points; /* stored as T0, T1, ... */
};

class EngineTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    fake_ptz::reset();
    syslog_capture::clear();
    coordinator()->reset();
  }
  void TearDown() override {
    preset_tour_flush_running_writes(); /* none may land in the next store */
    TempStoreTest::TearDown();
  }

  /* Never finalised: a goto completion may still be queued for it. */
  static PresetTour *make_engine() {
    static std::vector<PresetTour *> kept;
    kept.push_back(static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr)));
    return kept.back();
  }
  static void write_tour(int tour_id, const TourSpec &spec) {
    using temp_store::put, temp_store::tour;
    put(tour(tour_id, "Running"), "no");
    if (spec.random != nullptr)
      put(tour(tour_id, "RandomEnabled"), spec.random);
    put(tour(tour_id, "TimeBetweenSequences"), std::to_string(spec.between));
    for (size_t i = 0; i < spec.points.size(); ++i) {
      const TourPoint &p = spec.points[i];
      temp_store::put_point(tour_id, int(i), p.preset, p.position, p.speed, p.wait);
    }
  }
  static std::string running_of(int tour_id) {
    preset_tour_flush_running_writes();
    return temp_store::stored(temp_store::tour(tour_id, "Running"));
  }
  /* A fresh engine playing `spec` as tour kTour; records start after. */
  static PresetTour *play(const TourSpec &spec) {
    write_tour(kTour, spec);
    PresetTour *engine = make_engine();
    EXPECT_EQ(preset_tour_play_tour(engine, kCamera, kTour), 0);
    preset_tour_flush_running_writes();
    coordinator()->reset();
    syslog_capture::clear();
    return engine;
  }
  static void step(PresetTour *engine, int ticks = 1) {
    for (int i = 0; i < ticks; ++i)
      preset_tour_iterate_tour(engine);
  }
  /* Gotos are asynchronous: wait, bounded, for the n-th to arrive. */
  static void wait_for_gotos(size_t n) {
    ASSERT_TRUE(run_main_loop_until(
        [&] { return coordinator()->calls("GotoPresetNumber").size() >= n; }, 5000))
        << coordinator()->calls("GotoPresetNumber").size() << " gotos, not " << n;
  }
};
