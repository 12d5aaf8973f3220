/* What the status shows for a camera, followed through a tour on the fake
 * clock; no coordinator answers, so its failures are the camera's last
 * error. */
#include "handler_fixture.h"
#include "tour_status.h"

namespace {

using namespace handler_test;
auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);
constexpr int kCam = 2;
constexpr uint64_t kSecond = 1000000;

class StatusTest : public HandlerTest {
protected:
  void TearDown() override {
    g_clear_pointer(&status_, tour_status_free);
    HandlerTest::TearDown();
  }
  TourStatus *status_ = nullptr;
};

TEST_F(StatusTest, FollowsPlayArrivalDwellPauseHoldAndBlock) {
  seed_tour(1, "2"); /* one point: preset 1, a dwell of 5 s */
  start_handler();
  status_ = tour_status_new(handler_);
  const TourStatusValues &shown = tour_status_values(status_, kCam);

  /* point: -1 for none; dwell_left: seconds from StateSince to DwellUntil, -1 for 0 */
  struct Step {
    const char *what;
    std::function<void()> act;
    const char *state;
    int point, dwell_left;
  };
  const Step steps[] = {
      {"play", [&] { play(1); }, TOUR_STATUS_MOVING, -1, -1},
      {"first tick picks the point", [&] { tick(); }, TOUR_STATUS_MOVING, 0, -1},
      {"arrival",
       [&] {
         fake_ptz::fire_preset(kCam, 1);
         tick();
       },
       TOUR_STATUS_DWELLING, 0, 5},
      {"ticks change nothing",
       [&] {
         fake_ptz::advance(2);
         tick();
         tick();
       },
       TOUR_STATUS_DWELLING, 0, 5},
      {"pause", [&] { request(tour_handler_pause_preset_tour, 1); }, TOUR_STATUS_PAUSED, 0, -1},
      {"another client", [&] { fake_ptz::fire_control(kCam, "Op"); }, TOUR_STATUS_HELD, 0, -1},
      {"held outranks a resume", [&] { request(tour_handler_resume_preset_tour, 1); },
       TOUR_STATUS_HELD, 0, -1},
      {"head back 7 s later: 3 s left",
       [&] {
         fake_ptz::advance(7);
         fake_ptz::fire_control(kCam, "Rezazerar");
       },
       TOUR_STATUS_DWELLING, 0, 3},
      {"block", [&] { tour_handler_block_playback(handler_, kCam, nullptr); }, TOUR_STATUS_IDLE, -1,
       -1},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    const TourStatusValues before = shown;
    step.act();
    EXPECT_STREQ(shown.state.c_str(), step.state);
    /* StateSince moves with State and only with it. */
    EXPECT_EQ(shown.state_since != before.state_since, shown.state != before.state);
    EXPECT_EQ(shown.point_index, step.point);
    EXPECT_EQ(shown.preset, step.point == 0 ? 1 : -1);
    EXPECT_EQ(shown.dwell_until,
              step.dwell_left < 0 ? 0 : shown.state_since + step.dwell_left * kSecond);
    const bool loaded = step.state != TOUR_STATUS_IDLE;
    EXPECT_EQ(shown.tour_id, loaded ? 1 : -1);
    EXPECT_EQ(shown.tour_name, loaded ? "tour1" : "");
    EXPECT_EQ(shown.blocked, !loaded);
  }
  /* No coordinator answers: the last failure is the block's Queue leave, at the block's time. */
  EXPECT_EQ(shown.last_error.rfind("DBus call Queue failed", 0), 0u) << shown.last_error;
  EXPECT_EQ(shown.last_error_time, shown.state_since);
  tour_handler_unblock_playback(handler_, kCam, nullptr);
  EXPECT_FALSE(shown.blocked); /* at once: a client may play right away */
}

} // namespace
