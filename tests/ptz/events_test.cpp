// Platform events on a private bus: signals emitted from a second connection
// must reach exactly the registered callback, on the subscriber's main
// context. Absence of a delivery is shown with a sentinel: signals from one
// sender arrive in order, so once a later signal is seen, an earlier one
// that was going to be delivered would have been.
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
  emit("ControlChanged", g_variant_new("(ii)", 1, 1));
  emit("ControlChanged", g_variant_new("(s)", "x"));
  emit("ControlChanged", g_variant_new("(is)", 9, ""));
  emit("ControlChanged", g_variant_new("(is)", 7, "Recordedtour"));
  ASSERT_TRUE(wait_for(second, 2));
  EXPECT_EQ(first.count(), 1u);
  EXPECT_EQ(second.got[0].camera_id, 9);
  EXPECT_EQ(second.got[0].client_name, "");
  EXPECT_EQ(second.got[1].camera_id, 7);
  EXPECT_EQ(second.got[1].client_name, "Recordedtour");
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

} // namespace
