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

auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

struct Delivery {
  int camera_id, value;
  std::string client_name;
  GThread *thread;
};

struct Recorder {
  std::mutex lock;
  std::vector<Delivery> got;
  std::vector<Delivery> seen() {
    std::lock_guard guard(lock);
    return got;
  }
  bool wait_for(size_t n) {
    return run_main_loop_until([&] { return seen().size() >= n; }, 5000);
  }
  static void event(void *self, int value) {
    auto *r = static_cast<Recorder *>(self);
    std::lock_guard guard(r->lock);
    r->got.push_back({0, value, {}, g_thread_self()});
  }
  static int control(void *self, int camera_id, const char *client_name) {
    auto *r = static_cast<Recorder *>(self);
    std::lock_guard guard(r->lock);
    r->got.push_back({camera_id, 0, client_name, g_thread_self()});
    return 0;
  }
};

void emit(const char *member, GVariant *body) {
  static GDBusConnection *const emitter = g_dbus_connection_new_for_address_sync(
      g_getenv("DBUS_SYSTEM_BUS_ADDRESS"),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  ASSERT_TRUE(g_dbus_connection_emit_signal(emitter, nullptr, "/com/vorn/PTZ/Events",
                                            "com.vorn.PTZ.Events", member, body, nullptr));
}

// PresetReached and HeadMoving share one shape: (camera, value) to the
// callback registered for that camera.
struct CameraSignal {
  const char *member;
  int (*enable)(void (*)(void *, int), void *, int);
  void (*disable)(int);
};

class EventsTest : public ::testing::TestWithParam<CameraSignal> {
protected:
  void SetUp() override {
    ASSERT_EQ(initialize_subscriber_queue(), 0);
    ASSERT_EQ(tour_moving_events_init(), 0);
  }
  void TearDown() override {
    control_queue_events_cleanup();
    for (int camera = 1; camera <= 8; ++camera) {
      preset_events_cleanup(camera);
      tour_moving_events_disable(camera);
    }
  }
  void emit_value(int camera_id, int value) {
    emit(GetParam().member, g_variant_new("(ii)", camera_id, value));
  }
  // Camera 8 is the sentinel: once its signal is in, all before it are.
  void sync_on(Recorder &sentinel) {
    const size_t before = sentinel.seen().size();
    emit_value(8, 0);
    ASSERT_TRUE(sentinel.wait_for(before + 1));
  }
};

TEST_P(EventsTest, ReachesTheCameraRegisteredLastAndOnlyThat) {
  Recorder first, second, off, sentinel;
  for (int id : {0, -1, 9, INT32_MIN})
    EXPECT_EQ(GetParam().enable(Recorder::event, &first, id), -1) << id;
  EXPECT_EQ(GetParam().enable(nullptr, &first, 1), -1);
  ASSERT_EQ(GetParam().enable(Recorder::event, &sentinel, 8), 0);
  ASSERT_EQ(GetParam().enable(Recorder::event, &first, 2), 0);
  ASSERT_EQ(GetParam().enable(Recorder::event, &first, 2), 0); // again: one delivery
  ASSERT_EQ(GetParam().enable(Recorder::event, &off, 4), 0);
  for (int id : {4, 6, -1, 0, 1000})
    GetParam().disable(id); // on, off, never on, out of range
  for (int id : {0, -1, 9, 4, 2 + 256})
    emit_value(id, 1);
  for (GVariant *body : {g_variant_new("(i)", 2), g_variant_new("(is)", 2, "1"),
                         g_variant_new("(ui)", 2u, 1), g_variant_new("(iii)", 2, 1, 1)})
    emit(GetParam().member, body);
  emit_value(2, 7);
  sync_on(sentinel);
  ASSERT_EQ(first.seen().size(), 1u);
  EXPECT_EQ(first.seen()[0].value, 7);
  EXPECT_EQ(first.seen()[0].thread, g_thread_self());

  ASSERT_EQ(GetParam().enable(Recorder::event, &second, 2), 0); // replaces the first
  ASSERT_EQ(GetParam().enable(Recorder::event, &off, 4), 0);    // and on again
  emit_value(2, 9);
  emit_value(4, 1);
  sync_on(sentinel);
  EXPECT_EQ(first.seen().size() + second.seen().size() + off.seen().size(), 3u);
}

// Two callers, the test's thread and a worker with a main loop of its own,
// each register for control events and for one camera's events.
TEST_P(EventsTest, EveryRegistrationRunsOnTheContextOfItsThread) {
  Recorder main_control, main_camera, worker_control, worker_camera;
  GMainContext *context = g_main_context_new();
  GMainLoop *loop = g_main_loop_new(context, FALSE);
  std::promise<GThread *> registered;
  std::thread worker([&] {
    g_main_context_push_thread_default(context);
    const bool ok = control_queue_events_init(Recorder::control, &worker_control) == 0 &&
                    GetParam().enable(Recorder::event, &worker_camera, 5) == 0;
    registered.set_value(ok ? g_thread_self() : nullptr);
    g_main_loop_run(loop);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  });
  GThread *worker_thread = registered.get_future().get();
  bool all = worker_thread != nullptr &&
             control_queue_events_init(Recorder::control, &main_control) == 0 &&
             GetParam().enable(Recorder::event, &main_camera, 3) == 0;
  if (all) {
    emit("ControlChanged", g_variant_new("(is)", 9, ""));
    emit_value(5, 1);
    emit_value(3, 1);
    all = main_camera.wait_for(1) && main_control.wait_for(1) && worker_camera.wait_for(1) &&
          worker_control.wait_for(1);
  }
  g_main_loop_quit(loop);
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

  control_queue_events_cleanup(); // ends every registration
  emit("ControlChanged", g_variant_new("(is)", 1, "Other"));
  emit_value(3, 2);
  ASSERT_TRUE(main_camera.wait_for(2));
  EXPECT_EQ(main_control.seen().size(), 1u);
  EXPECT_EQ(control_queue_events_init(nullptr, nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Events, EventsTest,
                         ::testing::Values(CameraSignal{"PresetReached", preset_events_init,
                                                        preset_events_cleanup},
                                           CameraSignal{"HeadMoving", tour_moving_events_enable,
                                                        tour_moving_events_disable}),
                         [](const auto &info) { return std::string(info.param.member); });

} // namespace
