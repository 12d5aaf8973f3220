/* The tour handler over a fresh store, the fake PTZ platform and a private
 * bus: blocking, the processing rules, driver removal, start-up recovery,
 * control events and shutdown. */
#include <functional>
#include <map>
#include <syslog.h>

#include <gio/gio.h>

#include "fake_ptz.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_handler.h"

namespace {

using namespace temp_store;
using Request = gboolean (*)(TourHandler *, int32_t, GError **);

auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

/* A playable tour of one point. `cam` is stored as given ("abc", "" as well
 * as numbers); nullptr leaves CamNbr out. */
void seed_tour(int tour_id, const char *cam, const char *running = "no") {
  put(tour(tour_id, "Name"), "tour" + std::to_string(tour_id));
  if (cam != nullptr)
    put(tour(tour_id, "CamNbr"), cam);
  put(tour(tour_id, "Running"), running);
  put(tour(tour_id, "RandomEnabled"), "no");
  put(tour(tour_id, "TimeBetweenSequences"), "0");
  put_point(tour_id, 0, 1, 0, 50, 5);
}

std::string running_of(int tour_id) {
  preset_tour_flush_running_writes();
  return stored(tour(tour_id, "Running"));
}

class HandlerTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    fake_ptz::reset();
    syslog_capture::clear();
  }
  void TearDown() override {
    stop_handler();
    preset_tour_flush_running_writes();
    TempStoreTest::TearDown();
  }

  void start_handler() {
    handler_ = static_cast<TourHandler *>(g_object_new(TOUR_HANDLER_TYPE, nullptr));
    ASSERT_NE(handler_, nullptr);
  }
  /* The bus service keeps its object on the process's shared system bus
   * connection while that lives, so the connection goes with each handler. */
  void stop_handler(const std::function<void()> &released = {}) {
    if (handler_ == nullptr)
      return;
    g_clear_object(&handler_);
    if (released)
      released();
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_add_weak_pointer(G_OBJECT(bus), reinterpret_cast<gpointer *>(&bus));
    g_object_unref(bus);
    ASSERT_TRUE(run_main_loop_until([&] { return bus == nullptr; }, 5000))
        << "the shared bus connection outlived the handler";
  }

  /* Lets the pending idle callback run the queue, within a bound. */
  void process() {
    ASSERT_TRUE(run_main_loop_until([&] { return handler_->idle_id == 0; }, 5000));
  }
  void request(Request op, int32_t tour_id) {
    ASSERT_TRUE(op(handler_, tour_id, nullptr));
    process();
  }
  void play(int tour_id) { request(tour_handler_play_preset_tour, tour_id); }
  PresetTour *slot(int camera_id) { return handler_->preset_tours[camera_id - 1]; }
  /* The tour that `camera_id`'s engine holds, or -2 with no engine. */
  int held(int camera_id) {
    PresetTour *tour = slot(camera_id);
    return tour == nullptr ? -2 : tour->tour_id;
  }
  std::vector<int> engines() {
    std::vector<int> cameras;
    for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
      if (slot(cam) != nullptr)
        cameras.push_back(cam);
    return cameras;
  }

  TourHandler *handler_ = nullptr;
};

/* The store side names a group "G<n>"; any other text means tour 0, and a
 * number too large for a tour id means no tour at all. */
TEST_F(HandlerTest, SetPresetTourRunningPlaysOrStopsTheNamedGroup) {
  const std::tuple<const char *, const char *, int, int> cases[] = {
      {"yes", "G12", 1, 12}, {"no", "G12", 1, -1},       {"yes", "12", 2, 0},
      {"YES", "G7", 3, -2},  {"yes", "G7.Tour", 3, 7},   {"no", "X3", 2, -1},
      {"yes", "G4294967299", 4, -2},                     {"yes", "G-4294967293", 4, -2},
  };
  seed_tour(12, "1");
  seed_tour(0, "2");
  seed_tour(7, "3");
  seed_tour(3, "4");
  start_handler();
  for (const auto &[running, confhub_id, camera, tour_id] : cases) {
    SCOPED_TRACE(testing::Message() << running << " " << confhub_id);
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(tour_handler_set_preset_tour_running(handler_, running, confhub_id, &error));
    EXPECT_EQ(error, nullptr);
    process();
    EXPECT_EQ(held(camera), tour_id);
  }
}

TEST_F(HandlerTest, BlockAndUnblockAcceptOnlyCamerasOneToEight) {
  start_handler();
  for (Request op : {Request(tour_handler_block_playback), Request(tour_handler_unblock_playback)})
    for (int32_t cam : {0, 9, -1, 1, 8}) {
      SCOPED_TRACE(cam);
      syslog_capture::clear();
      const bool accepted = cam >= 1 && cam <= 8;
      g_autoptr(GError) error = nullptr;
      EXPECT_EQ(op(handler_, cam, &error), accepted);
      EXPECT_EQ(syslog_capture::count(LOG_ERR, "Image source id out of range"), accepted ? 0 : 1);
      if (!accepted) {
        ASSERT_TRUE(g_error_matches(error, TOUR_HANDLER_ERROR, TOUR_HANDLER_ERROR_OUT_OF_RANGE));
        EXPECT_STREQ(error->message, "Image source id out of range");
      }
    }
}

TEST_F(HandlerTest, BlockStopsTheTourAtOnceAndRefusesPlaysUntilUnblocked) {
  seed_tour(1, "2");
  start_handler();
  play(1);
  ASSERT_EQ(held(2), 1);
  ASSERT_TRUE(tour_handler_block_playback(handler_, 2, nullptr));
  EXPECT_EQ(held(2), -1); /* no processing run in between */
  EXPECT_EQ(running_of(1), "no");

  put(tour(1, "Running"), "yes"); /* the store side says "yes" again */
  syslog_capture::clear();
  play(1);
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_TRUE(syslog_capture::lines().empty());

  EXPECT_TRUE(tour_handler_unblock_playback(handler_, 2, nullptr));
  play(1);
  EXPECT_EQ(held(2), 1);
  EXPECT_EQ(running_of(1), "yes");
}

TEST_F(HandlerTest, PlayOfAHeldTourDoesNothingEvenPausedOrFrozen) {
  seed_tour(1, "1");
  start_handler();
  play(1);
  ASSERT_EQ(running_of(1), "yes");
  for (auto hold : {preset_tour_pause_tour, preset_tour_freeze_tour}) {
    hold(slot(1));
    syslog_capture::clear();
    const int writes = calls("cli_setCustomParam");
    play(1);
    preset_tour_flush_running_writes();
    EXPECT_EQ(held(1), 1);
    EXPECT_EQ(calls("cli_setCustomParam"), writes);
    EXPECT_TRUE(syslog_capture::lines().empty());
  }
  EXPECT_EQ(slot(1)->paused, 1); /* a play does not resume */
}

/* No camera moves for a tour whose CamNbr is not exactly an integer 1..8. */
TEST_F(HandlerTest, UnplayableTourIsRefusedLoggedAndMarkedNotRunning) {
  struct {
    const char *cam; /* nullptr: CamNbr missing */
    const char *log;
    bool loadable = true;
  } const cases[] = {
      {nullptr, "Failed to fetch camera_id"},
      {"abc", "Failed to fetch camera_id"},
      {"-5", "Failed to fetch camera_id"},
      {"4294967297", "Failed to fetch camera_id"},
      {"-4294967295", "Failed to fetch camera_id"},
      {"0", "Camera id 0 of tour 3 out of range"},
      {"9", "Camera id 9 of tour 3 out of range"},
      {"2", "Failed to play tour", false},
  };
  start_handler();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.cam ? c.cam : "(missing)");
    drop(tour(3));
    seed_tour(3, c.cam, "yes");
    if (!c.loadable)
      put(tour(3, "TimeBetweenSequences"), "soon");
    syslog_capture::clear();
    play(3);
    request(tour_handler_pause_preset_tour, 3);
    request(tour_handler_resume_preset_tour, 3);
    EXPECT_EQ(running_of(3), "no");
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, c.log), c.loadable ? 3 : 1);
    EXPECT_EQ(held(2), c.loadable ? -2 : -1);
  }
  EXPECT_EQ(engines(), std::vector<int>{2});
}

TEST_F(HandlerTest, PlayOnACameraReplacesItsTour) {
  seed_tour(1, "6");
  seed_tour(2, "6");
  start_handler();
  play(1);
  ASSERT_EQ(running_of(1), "yes");
  play(2);
  EXPECT_EQ(held(6), 2);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_EQ(running_of(2), "yes");
}

/* A stop reads the camera again; unreadable or out of range, it stops the
 * engine holding the tour. Negative tour ids are dropped unread. */
TEST_F(HandlerTest, StopFollowsTheTourCamera) {
  const std::pair<const char *, bool> cases[] = {
      {"3", true}, {"abc", true}, {"-5", true}, {"4", false}, {"9", true}};
  seed_tour(5, "3");
  start_handler();
  for (const auto &[cam_at_stop, stops] : cases) {
    SCOPED_TRACE(cam_at_stop);
    put(tour(5, "CamNbr"), "3");
    play(5);
    ASSERT_EQ(held(3), 5);
    put(tour(5, "CamNbr"), cam_at_stop);
    request(tour_handler_stop_preset_tour, 5);
    EXPECT_EQ(held(3), stops ? -1 : 5);
    EXPECT_EQ(running_of(5), stops ? "no" : "yes");
  }
  param_store_testing_reset();
  syslog_capture::clear();
  for (Request op : {tour_handler_play_preset_tour, tour_handler_stop_preset_tour,
                     tour_handler_pause_preset_tour, tour_handler_resume_preset_tour})
    request(op, -1);
  EXPECT_EQ(syslog_capture::count(LOG_WARNING, "Ignoring request for invalid tour id -1"), 4);
  EXPECT_EQ(calls("cli_getCustomParam") + calls("cli_setCustomParam"), 0);
}

TEST_F(HandlerTest, PauseAndResumeActOnlyOnTheHeldTour) {
  seed_tour(1, "7");
  seed_tour(2, "7");
  start_handler();
  play(1);
  const std::tuple<Request, int, int> steps[] = {
      {tour_handler_pause_preset_tour, 2, 0},
      {tour_handler_pause_preset_tour, 1, 1},
      {tour_handler_resume_preset_tour, 2, 1},
      {tour_handler_resume_preset_tour, 1, 0},
  };
  for (const auto &[op, tour_id, paused] : steps) {
    request(op, tour_id);
    EXPECT_EQ(slot(7)->paused, paused);
    EXPECT_EQ(held(7), 1);
  }
}

TEST_F(HandlerTest, DriverUninstalledStopsAndDeletesTheCameraTours) {
  seed_tour(1, "2");
  seed_tour(2, "3");
  seed_tour(3, "2");
  seed_tour(4, "abc");
  start_handler();
  play(1);
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 2));
  process();
  /* The stop's Running "no" must not bring the deleted group back as a lone
   * Running parameter. */
  preset_tour_flush_running_writes();
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(children("root.RezazErar"), (Names{"G2", "G4"}));

  /* A bogus camera id deletes nothing, even tours with that very CamNbr. */
  seed_tour(5, "0");
  seed_tour(6, "9");
  param_store_testing_reset();
  for (int32_t cam : {0, 9, -3}) {
    ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, cam));
    process();
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, "Ignoring driver uninstall of camera id " +
                                                     std::to_string(cam)),
              1);
  }
  EXPECT_EQ(calls("cli_deleteGroup"), 0);
}

TEST_F(HandlerTest, StartUpResumesOneRunningTourPerCamera) {
  struct Seed {
    int tour_id;
    const char *cam, *running;
  };
  struct {
    const char *name;
    std::vector<Seed> tours;
    std::map<int, int> resumed;         /* camera -> tour it plays */
    std::map<int, std::string> running; /* tour -> Running after */
  } const cases[] = {
      {"one", {{1, "3", "yes"}, {2, "3", "no"}}, {{3, 1}}, {{1, "yes"}, {2, "no"}}},
      {"conflicts",
       {{1, "2", "yes"}, {2, "4", "yes"}, {3, "2", "yes"}, {4, "2", "yes"}},
       {{4, 2}},
       {{1, "no"}, {2, "yes"}, {3, "no"}, {4, "no"}}},
      {"two cameras", {{1, "5", "yes"}, {2, "1", "yes"}}, {{5, 1}, {1, 2}}, {}},
      {"not exactly yes", {{1, "1", "Yes"}}, {}, {{1, "Yes"}}},
      {"camera unusable",
       {{1, nullptr, "yes"}, {2, "0", "yes"}, {3, "9", "yes"}, {4, "4294967297", "yes"}},
       {},
       {{1, "yes"}, {2, "yes"}, {3, "yes"}, {4, "yes"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    for (const Seed &t : c.tours)
      seed_tour(t.tour_id, t.cam, t.running);
    start_handler();
    std::map<int, int> resumed;
    for (int cam : engines())
      if (slot(cam)->active == 1)
        resumed[cam] = held(cam);
    EXPECT_EQ(resumed, c.resumed);
    for (const auto &[tour_id, running] : c.running)
      EXPECT_EQ(running_of(tour_id), running) << "tour " << tour_id;
    stop_handler();
    drop("root.RezazErar");
  }
}

TEST_F(HandlerTest, ControlEventsDecideTheTourOfTheirCamera) {
  struct {
    const char *client; /* nullptr: no name given */
    bool frozen_before;
    int32_t frozen_after, active_after;
  } const cases[] = {
      {"Rezazerar", true, 0, 1}, {"Recordedtour", false, 0, 0}, {"", false, 0, 1},
      {"", true, 1, 1},          {"operator", false, 1, 1},     {"rezazerar", false, 1, 1},
      {nullptr, false, 1, 1},
  };
  seed_tour(5, "2");
  start_handler();
  for (int cam : {0, 9, -1, 3}) /* out of range, or no engine */
    for (const char *client : {"Rezazerar", "Recordedtour", "operator"})
      ASSERT_TRUE(fake_ptz::fire_control(cam, client));
  EXPECT_TRUE(engines().empty());
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.client << " frozen " << c.frozen_before);
    play(5);
    ASSERT_EQ(held(2), 5);
    preset_tour_unfreeze_tour(slot(2));
    if (c.frozen_before) {
      ASSERT_EQ(preset_tour_freeze_tour(slot(2)), 0);
    }
    ASSERT_TRUE(fake_ptz::fire_control(2, c.client));
    EXPECT_EQ(slot(2)->frozen, c.frozen_after);
    EXPECT_EQ(slot(2)->active, c.active_after);
    EXPECT_EQ(running_of(5), c.active_after ? "yes" : "no");
  }
}

/* Once the handler is released, the store says what it last did. */
TEST_F(HandlerTest, ReleaseWaitsForTheRunningWritesOfTheLastStops) {
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    seed_tour(cam, std::to_string(cam).c_str());
  start_handler();
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    play(cam);
  preset_tour_flush_running_writes();
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    ASSERT_TRUE(tour_handler_block_playback(handler_, cam, nullptr));
  stop_handler([] {
    for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
      EXPECT_EQ(stored(tour(cam, "Running")), "no") << "tour " << cam;
  });
}

} // namespace
