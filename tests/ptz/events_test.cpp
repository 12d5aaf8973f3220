// Platform events on a private bus: signals emitted from a second connection
// reach exactly the registered callbacks, each on the main context of the
// thread that registered it. Absence of a delivery is shown with a sentinel:
// signals from one sender arrive in order, so once a later signal is seen,
// an earlier one that was going to be delivered would have been.
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "private_bus.h"
#include "ptz_common.h"
#include "tour_events.h"

namespace {

auto *const bus_env = static_cast<PrivateBusEnvironment *>(
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment));

struct Delivery {
  int camera_id, value;
  std::string client_name;
  GThread *thread;
};

struct Recorder {
  std::mutex lock;
  std::vector<Delivery> got;
  void add(Delivery d) {
    std::lock_guard guard(lock);
    got.push_back(std::move(d));
  }
  std::vector<Delivery> seen() {
    std::lock_guard guard(lock);
    return got;
  }
};

void record_event(void *user_data, int value) {
  static_cast<Recorder *>(user_data)->add({0, value, {}, g_thread_self()});
}

int record_control(void *user_data, int camera_id, const char *client_name) {
  static_cast<Recorder *>(user_data)->add({camera_id, 0, client_name, g_thread_self()});
  return 0;
}

class EventsTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_autoptr(GError) error = nullptr;
    emitter_ = g_dbus_connection_new_for_address_sync(
        bus_env->address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_NE(emitter_, nullptr) << error->message;
    ASSERT_EQ(initialize_subscriber_queue(), 0);
    ASSERT_EQ(tour_moving_events_init(), 0);
  }
  void TearDown() override {
    control_queue_events_cleanup();
    for (int camera = 1; camera <= 8; ++camera) {
      preset_events_cleanup(camera);
      tour_moving_events_disable(camera);
    }
    g_clear_object(&emitter_);
  }
  void emit(const char *member, GVariant *body) {
    ASSERT_TRUE(g_dbus_connection_emit_signal(emitter_, nullptr, "/com/vorn/PTZ/Events",
                                              "com.vorn.PTZ.Events", member, body, nullptr));
  }
  static bool wait_for(Recorder &r, std::size_t n) {
    return run_main_loop_until([&] { return r.seen().size() >= n; }, 5000);
  }
  GDBusConnection *emitter_ = nullptr;
};

// PresetReached and HeadMoving share one shape: (camera, value) to the
// callback registered for that camera.
struct CameraSignal {
  const char *member;
  int (*enable)(void (*)(void *, int), void *, int);
  void (*disable)(int);
};

class CameraSignalTest : public EventsTest, public ::testing::WithParamInterface<CameraSignal> {
protected:
  void emit_value(int camera_id, int value) {
    emit(GetParam().member, g_variant_new("(ii)", camera_id, value));
  }
  // Camera 8 is the sentinel: once its signal is in, all before it are.
  void sync_on_sentinel(Recorder &sentinel) {
    const std::size_t before = sentinel.seen().size();
    emit_value(8, 0);
    ASSERT_TRUE(wait_for(sentinel, before + 1));
  }
};

TEST_P(CameraSignalTest, ReachesTheCameraRegisteredLastAndOnlyThat) {
  Recorder first, second, off, sentinel;
  for (int id : {0, -1, 9, INT32_MIN})
    EXPECT_EQ(GetParam().enable(record_event, &first, id), -1) << id;
  EXPECT_EQ(GetParam().enable(nullptr, &first, 1), -1);
  ASSERT_EQ(GetParam().enable(record_event, &sentinel, 8), 0);
  ASSERT_EQ(GetParam().enable(record_event, &first, 2), 0);
  ASSERT_EQ(GetParam().enable(record_event, &first, 2), 0); // again: one delivery
  ASSERT_EQ(GetParam().enable(record_event, &off, 4), 0);
  for (int id : {4, 6, -1, 0, 1000})
    GetParam().disable(id); // on, off, never on, out of range
  for (int id : {0, -1, 9, 4, 2 + 256})
    emit_value(id, 1);
  for (GVariant *body : {g_variant_new("(i)", 2), g_variant_new("(is)", 2, "1"),
                         g_variant_new("(ui)", 2u, 1), g_variant_new("(iii)", 2, 1, 1)})
    emit(GetParam().member, body);
  emit_value(2, 7);
  sync_on_sentinel(sentinel);
  ASSERT_EQ(first.seen().size(), 1u);
  EXPECT_EQ(first.seen()[0].value, 7);
  EXPECT_EQ(first.seen()[0].thread, g_thread_self());

  ASSERT_EQ(GetParam().enable(record_event, &second, 2), 0); // replaces the first
  ASSERT_EQ(GetParam().enable(record_event, &off, 4), 0);    // and on again
  emit_value(2, 9);
  emit_value(4, 1);
  sync_on_sentinel(sentinel);
  EXPECT_EQ(first.seen().size(), 1u);
  EXPECT_EQ(second.seen().size(), 1u);
  EXPECT_EQ(off.seen().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, CameraSignalTest,
    ::testing::Values(CameraSignal{"PresetReached", preset_events_init, preset_events_cleanup},
                      CameraSignal{"HeadMoving", tour_moving_events_enable,
                                   tour_moving_events_disable}),
    [](const auto &info) { return std::string(info.param.member); });

// Two callers, the test's thread and a worker with a main loop of its own,
// each register for control events and one camera's preset events.
TEST_F(EventsTest, EveryRegistrationRunsOnTheContextOfItsThread) {
  Recorder main_control, main_camera, worker_control, worker_camera;
  GMainContext *context = g_main_context_new();
  GMainLoop *loop = g_main_loop_new(context, FALSE);
  std::promise<GThread *> registered;
  std::thread worker([&] {
    g_main_context_push_thread_default(context);
    const bool ok = control_queue_events_init(record_control, &worker_control) == 0 &&
                    preset_events_init(record_event, &worker_camera, 5) == 0;
    registered.set_value(ok ? g_thread_self() : nullptr);
    g_main_loop_run(loop);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  });
  GThread *worker_thread = registered.get_future().get();
  ASSERT_NE(worker_thread, nullptr);
  ASSERT_EQ(control_queue_events_init(record_control, &main_control), 0);
  ASSERT_EQ(preset_events_init(record_event, &main_camera, 3), 0);
  emit("ControlChanged", g_variant_new("(is)", 9, ""));
  emit("PresetReached", g_variant_new("(ii)", 5, 1));
  emit("PresetReached", g_variant_new("(ii)", 3, 1));
  const bool all = wait_for(main_camera, 1) && wait_for(main_control, 1) &&
                   run_main_loop_until([&] { return worker_camera.seen().size() == 1 &&
                                                    worker_control.seen().size() == 1; },
                                       5000);
  g_main_loop_quit(loop);
  g_main_context_wakeup(context);
  worker.join();
  g_main_loop_unref(loop);
  g_main_context_unref(context);
  ASSERT_TRUE(all);
  for (auto [recorder, thread] : {std::pair{&main_control, g_thread_self()},
                                  {&main_camera, g_thread_self()},
                                  {&worker_control, worker_thread},
                                  {&worker_camera, worker_thread}}) {
    ASSERT_EQ(recorder->seen().size(), 1u);
    EXPECT_EQ(recorder->seen()[0].thread, thread);
  }
  EXPECT_EQ(main_control.seen()[0].camera_id, 9); // as sent: the receiver judges
  EXPECT_EQ(worker_control.seen()[0].client_name, "");
}

TEST_F(EventsTest, ControlCleanupEndsEveryRegistration) {
  Recorder first, second, sentinel;
  ASSERT_EQ(control_queue_events_init(record_control, &first), 0);
  ASSERT_EQ(control_queue_events_init(record_control, &second), 0);
  ASSERT_EQ(preset_events_init(record_event, &sentinel, 1), 0);
  control_queue_events_cleanup();
  control_queue_events_cleanup();
  emit("ControlChanged", g_variant_new("(is)", 1, "Other"));
  emit("PresetReached", g_variant_new("(ii)", 1, 1));
  ASSERT_TRUE(wait_for(sentinel, 1));
  EXPECT_EQ(first.seen().size() + second.seen().size(), 0u);
  EXPECT_EQ(control_queue_events_init(nullptr, nullptr), -1);
}

} // namespace
