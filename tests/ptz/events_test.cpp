// Platform events on a private bus: signals emitted from a second connection
// must reach exactly the registered callback, on the subscriber's main
// context. Absence of a delivery is shown with a sentinel: signals from one
// sender arrive in order, so once a later signal is seen, an earlier one
// that was going to be delivered would have been.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "private_bus.h"
#include "ptz_common.h"
#include "tour_events.h"

namespace {

auto *const bus_env = static_cast<PrivateBusEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment));

constexpr int kWaitMs = 5000;

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

struct Delivery {
  int camera_id;
  int value;
  std::string client_name;
  GThread *thread;
  GMainContext *context; // the context being dispatched, if owned
};

GMainContext *owned_context() {
  GMainContext *context = g_main_context_get_thread_default();
  if (!context)
    context = g_main_context_default();
  return g_main_context_is_owner(context) ? context : nullptr;
}

struct Recorder {
  std::mutex lock;
  std::vector<Delivery> got;

  void add(Delivery d) {
    std::lock_guard guard(lock);
    got.push_back(std::move(d));
  }
  std::size_t count() {
    std::lock_guard guard(lock);
    return got.size();
  }
};

void record_event(void *user_data, int value) {
  static_cast<Recorder *>(user_data)->add(
      {0, value, {}, g_thread_self(), owned_context()});
}

int record_control(void *user_data, int camera_id, const char *client_name) {
  static_cast<Recorder *>(user_data)->add(
      {camera_id, 0, client_name ? client_name : "(null)", g_thread_self(),
       owned_context()});
  return 0;
}

void release_everything() {
  control_queue_events_cleanup();
  for (int camera = 1; camera <= 8; ++camera) {
    preset_events_cleanup(camera);
    tour_moving_events_disable(camera);
  }
}

// Sees the AddMatch and RemoveMatch calls that any connection sends for the
// events interface, through a monitor connection of the bus.
class MatchRuleMonitor {
public:
  ~MatchRuleMonitor() {
    if (connection_)
      g_dbus_connection_remove_filter(connection_.get(), filter_id_);
  }

  bool start(const std::string &address) {
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
    if (!connection_)
      return false;
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
    filter_id_ = g_dbus_connection_add_filter(connection_.get(), &filter,
                                              this, nullptr);
    const char *rules[] = {
        "type='method_call',interface='org.freedesktop.DBus',member='AddMatch'",
        "type='method_call',interface='org.freedesktop.DBus',"
        "member='RemoveMatch'",
        nullptr};
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
        g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE,
        kWaitMs, nullptr, nullptr);
    return reply != nullptr;
  }

  /* How often `call` (AddMatch or RemoveMatch) named signal `member`. */
  int count(const std::string &call, const std::string &member) {
    std::lock_guard guard(lock_);
    int n = 0;
    for (const auto &[seen_call, rule] : seen_)
      n += seen_call == call &&
           rule.find("member='" + member + "'") != std::string::npos;
    return n;
  }

private:
  // Runs on GDBus's worker thread. Observed calls are swallowed: a monitor
  // must never answer them, or the bus drops it.
  static GDBusMessage *filter(GDBusConnection *, GDBusMessage *message,
                              gboolean incoming, gpointer data) {
    if (!incoming ||
        g_dbus_message_get_message_type(message) !=
            G_DBUS_MESSAGE_TYPE_METHOD_CALL)
      return message;
    auto *self = static_cast<MatchRuleMonitor *>(data);
    GVariant *body = g_dbus_message_get_body(message);
    const char *call = g_dbus_message_get_member(message);
    if (body && call && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
      const char *rule = nullptr;
      g_variant_get(body, "(&s)", &rule);
      if (strstr(rule, "com.vorn.PTZ.Events")) {
        std::lock_guard guard(self->lock_);
        self->seen_.emplace_back(call, rule);
      }
    }
    g_object_unref(message);
    return nullptr;
  }

  Connection connection_;
  guint filter_id_ = 0;
  std::mutex lock_;
  std::vector<std::pair<std::string, std::string>> seen_;
};

class EventsTest : public ::testing::Test {
protected:
  void SetUp() override {
    // The private bus goes away before the process ends; that must not
    // take the test process with it.
    g_autoptr(GDBusConnection) shared =
        g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    ASSERT_NE(shared, nullptr);
    g_dbus_connection_set_exit_on_close(shared, FALSE);

    g_autoptr(GError) error = nullptr;
    emitter_.reset(g_dbus_connection_new_for_address_sync(
        bus_env->address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    ASSERT_NE(emitter_, nullptr) << error->message;
    ASSERT_EQ(initialize_subscriber_queue(), 0);
    ASSERT_EQ(tour_moving_events_init(), 0);
  }

  void TearDown() override {
    release_everything();
    if (emitter_)
      g_dbus_connection_flush_sync(emitter_.get(), nullptr, nullptr);
  }

  void emit(const char *member, GVariant *body) {
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(g_dbus_connection_emit_signal(
        emitter_.get(), nullptr, "/com/vorn/PTZ/Events", "com.vorn.PTZ.Events",
        member, body, &error))
        << error->message;
  }

  static bool wait_for(Recorder &r, std::size_t n) {
    return run_main_loop_until([&] { return r.count() >= n; }, kWaitMs);
  }

  Connection emitter_;
};

// PresetReached and HeadMoving share one shape: (camera, value) to the
// callback registered for that camera.
struct CameraSignal {
  const char *member;
  int (*enable)(void (*)(void *, int), void *, int);
  void (*disable)(int);
};

constexpr CameraSignal kCameraSignals[] = {
    {"PresetReached", preset_events_init, preset_events_cleanup},
    {"HeadMoving", tour_moving_events_enable, tour_moving_events_disable},
};

class CameraSignalTest : public EventsTest,
                         public ::testing::WithParamInterface<CameraSignal> {
protected:
  void emit_value(int camera_id, int value) {
    emit(GetParam().member, g_variant_new("(ii)", camera_id, value));
  }
  // Camera 8 is the sentinel: wait for `value` to arrive there.
  void sync_on_sentinel(Recorder &sentinel, int value) {
    std::size_t before = sentinel.count();
    emit_value(8, value);
    ASSERT_TRUE(wait_for(sentinel, before + 1));
  }
};

TEST_P(CameraSignalTest, ReachesOnlyTheCameraRegisteredOnTheMainThread) {
  Recorder three, five;
  ASSERT_EQ(GetParam().enable(record_event, &three, 3), 0);
  ASSERT_EQ(GetParam().enable(record_event, &five, 5), 0);

  emit_value(5, 1);
  emit_value(3, 0);
  ASSERT_TRUE(wait_for(three, 1));
  ASSERT_TRUE(wait_for(five, 1));

  EXPECT_EQ(five.got[0].value, 1);
  EXPECT_EQ(three.got[0].value, 0);
  for (const Delivery &d : {three.got[0], five.got[0]}) {
    EXPECT_EQ(d.thread, g_thread_self());
    EXPECT_EQ(d.context, g_main_context_default());
  }
  EXPECT_EQ(three.count(), 1u);
  EXPECT_EQ(five.count(), 1u);
}

TEST_P(CameraSignalTest, RepeatedSwitchOnDeliversOnce) {
  Recorder first, second, sentinel;
  ASSERT_EQ(GetParam().enable(record_event, &sentinel, 8), 0);
  ASSERT_EQ(GetParam().enable(record_event, &first, 2), 0);
  ASSERT_EQ(GetParam().enable(record_event, &first, 2), 0);
  emit_value(2, 7);
  sync_on_sentinel(sentinel, 0);
  EXPECT_EQ(first.count(), 1u);

  // Registering again with other user data replaces the first one.
  ASSERT_EQ(GetParam().enable(record_event, &second, 2), 0);
  emit_value(2, 9);
  sync_on_sentinel(sentinel, 0);
  EXPECT_EQ(first.count(), 1u);
  ASSERT_EQ(second.count(), 1u);
  EXPECT_EQ(second.got[0].value, 9);
}

TEST_P(CameraSignalTest, SwitchOffStopsDelivery) {
  Recorder camera, sentinel;
  ASSERT_EQ(GetParam().enable(record_event, &sentinel, 8), 0);
  ASSERT_EQ(GetParam().enable(record_event, &camera, 4), 0);
  GetParam().disable(4);
  GetParam().disable(4); // already off
  GetParam().disable(6); // never on
  GetParam().disable(-1);
  GetParam().disable(0);
  GetParam().disable(1000);
  emit_value(4, 1);
  sync_on_sentinel(sentinel, 0);
  EXPECT_EQ(camera.count(), 0u);

  // And it can be switched on again afterwards.
  ASSERT_EQ(GetParam().enable(record_event, &camera, 4), 0);
  emit_value(4, 1);
  ASSERT_TRUE(wait_for(camera, 1));
}

TEST_P(CameraSignalTest, IgnoresUnknownCamerasAndWrongBodies) {
  Recorder camera, sentinel;
  ASSERT_EQ(GetParam().enable(record_event, &sentinel, 8), 0);
  ASSERT_EQ(GetParam().enable(record_event, &camera, 1), 0);
  for (int id : {0, -1, 9, 2, 1 + 256, INT32_MIN})
    emit_value(id, 1);
  emit(GetParam().member, g_variant_new("(i)", 1));
  emit(GetParam().member, g_variant_new("(iii)", 1, 1, 1));
  emit(GetParam().member, g_variant_new("(is)", 1, "1"));
  emit(GetParam().member, g_variant_new("(ui)", 1u, 1));
  emit(GetParam().member, nullptr);
  sync_on_sentinel(sentinel, 0);
  EXPECT_EQ(camera.count(), 0u);
  EXPECT_EQ(sentinel.count(), 1u);
}

TEST_P(CameraSignalTest, RejectsCameraIdsOutsideTheRange) {
  Recorder r;
  for (int id : {0, -1, 9, INT32_MAX, INT32_MIN})
    EXPECT_EQ(GetParam().enable(record_event, &r, id), -1) << id;
  EXPECT_EQ(GetParam().enable(nullptr, &r, 1), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Events, CameraSignalTest, ::testing::ValuesIn(kCameraSignals),
    [](const auto &info) { return std::string(info.param.member); });

TEST_F(EventsTest, ControlChangedReachesTheLatestRegistration) {
  Recorder first, second;
  ASSERT_EQ(control_queue_events_init(record_control, &first), 0);
  emit("ControlChanged", g_variant_new("(is)", 2, "Rezazerar"));
  ASSERT_TRUE(wait_for(first, 1));
  EXPECT_EQ(first.got[0].camera_id, 2);
  EXPECT_EQ(first.got[0].client_name, "Rezazerar");
  EXPECT_EQ(first.got[0].thread, g_thread_self());
  EXPECT_EQ(first.got[0].context, g_main_context_default());

  // A second init replaces the first; the camera id is passed as sent, the
  // receiver judges its range, and an empty name is a name.
  ASSERT_EQ(control_queue_events_init(record_control, &second), 0);
  emit("ControlChanged", g_variant_new("(is)", 9, ""));
  emit("ControlChanged", g_variant_new("(is)", 7, "Recordedtour"));
  ASSERT_TRUE(wait_for(second, 2));
  EXPECT_EQ(first.count(), 1u);
  EXPECT_EQ(second.got[0].camera_id, 9);
  EXPECT_EQ(second.got[0].client_name, "");
  EXPECT_EQ(second.got[1].camera_id, 7);
  EXPECT_EQ(second.got[1].client_name, "Recordedtour");
}

TEST_F(EventsTest, ControlChangedIgnoresWrongBodies) {
  Recorder control;
  ASSERT_EQ(control_queue_events_init(record_control, &control), 0);
  emit("ControlChanged", g_variant_new("(ii)", 1, 1));
  emit("ControlChanged", g_variant_new("(si)", "x", 1));
  emit("ControlChanged", g_variant_new("(s)", "x"));
  emit("ControlChanged", g_variant_new("(is)", 3, "last"));
  ASSERT_TRUE(wait_for(control, 1));
  EXPECT_EQ(control.got[0].client_name, "last");
  EXPECT_EQ(control.count(), 1u);
}

TEST_F(EventsTest, ControlCleanupStopsDelivery) {
  Recorder control, sentinel;
  ASSERT_EQ(control_queue_events_init(record_control, &control), 0);
  ASSERT_EQ(preset_events_init(record_event, &sentinel, 1), 0);
  control_queue_events_cleanup();
  control_queue_events_cleanup();
  emit("ControlChanged", g_variant_new("(is)", 1, "Other"));
  emit("PresetReached", g_variant_new("(ii)", 1, 1));
  ASSERT_TRUE(wait_for(sentinel, 1));
  EXPECT_EQ(control.count(), 0u);
  EXPECT_EQ(control_queue_events_init(nullptr, nullptr), -1);
}

// One match rule per signal however many registrations share it, and none
// left once the last registration is gone.
TEST_F(EventsTest, MatchRulesFollowRegistrations) {
  MatchRuleMonitor monitor;
  ASSERT_TRUE(monitor.start(bus_env->address()));
  Recorder r;
  for (int camera = 1; camera <= 8; ++camera) {
    ASSERT_EQ(preset_events_init(record_event, &r, camera), 0);
    ASSERT_EQ(tour_moving_events_enable(record_event, &r, camera), 0);
  }
  ASSERT_EQ(preset_events_init(record_event, &r, 1), 0);
  ASSERT_EQ(control_queue_events_init(record_control, &r), 0);
  ASSERT_EQ(control_queue_events_init(record_control, &r), 0);
  preset_events_cleanup(1); // others remain: the rule stays
  release_everything();

  constexpr const char *kMembers[] = {"PresetReached", "HeadMoving",
                                      "ControlChanged"};
  ASSERT_TRUE(run_main_loop_until(
      [&] {
        for (const char *member : kMembers)
          if (monitor.count("RemoveMatch", member) == 0)
            return false;
        return true;
      },
      kWaitMs));
  for (const char *member : kMembers) {
    SCOPED_TRACE(member);
    EXPECT_EQ(monitor.count("AddMatch", member), 1);
    EXPECT_EQ(monitor.count("RemoveMatch", member), 1);
  }
}

// A thread with a main context of its own gets its callbacks there.
TEST_F(EventsTest, CallbacksRunOnTheSubscribingThreadsContext) {
  struct Worker {
    Recorder recorder;
    GMainContext *context = nullptr;
    GThread *thread = nullptr;
    std::atomic<int> registered{-2};
    std::atomic<bool> timed_out{false};
  } worker;

  GThread *thread = g_thread_new(
      "subscriber",
      [](gpointer data) -> gpointer {
        auto *w = static_cast<Worker *>(data);
        w->context = g_main_context_new();
        g_main_context_push_thread_default(w->context);
        w->thread = g_thread_self();
        w->registered = tour_moving_events_enable(record_event, &w->recorder, 6);
        gint64 end = g_get_monotonic_time() + gint64(kWaitMs) * 1000;
        while (w->recorder.count() == 0 && g_get_monotonic_time() < end)
          if (!g_main_context_iteration(w->context, FALSE))
            g_usleep(1000);
        w->timed_out = w->recorder.count() == 0;
        tour_moving_events_disable(6);
        g_main_context_pop_thread_default(w->context);
        return nullptr;
      },
      &worker);

  // Emit until the worker has registered; the signal then goes to its loop.
  ASSERT_TRUE(run_main_loop_until([&] { return worker.registered != -2; },
                                  kWaitMs));
  ASSERT_EQ(worker.registered, 0);
  emit("HeadMoving", g_variant_new("(ii)", 6, 1));
  g_thread_join(thread);

  ASSERT_FALSE(worker.timed_out);
  ASSERT_EQ(worker.recorder.count(), 1u);
  EXPECT_EQ(worker.recorder.got[0].thread, worker.thread);
  EXPECT_EQ(worker.recorder.got[0].context, worker.context);
  EXPECT_NE(worker.recorder.got[0].thread, g_thread_self());
  g_main_context_unref(worker.context);
}

} // namespace
