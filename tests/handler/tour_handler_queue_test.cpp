#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

static auto *const bus_env =
    ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

namespace {

const TourAction &queued(TourHandler *handler, guint n) {
  return *static_cast<TourAction *>(g_queue_peek_nth(handler->action_queue, n));
}

using QueueTest = HandlerTest;

TEST_F(QueueTest, RequestsQueueInArrivalOrderBehindOneIdleSource) {
  start_handler();
  ASSERT_EQ(handler_->idle_id, 0u);

  ASSERT_TRUE(tour_handler_play_preset_tour(handler_, 1, nullptr));
  guint idle = handler_->idle_id;
  EXPECT_NE(idle, 0u);
  ASSERT_TRUE(tour_handler_stop_preset_tour(handler_, 2, nullptr));
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 3, nullptr));
  ASSERT_TRUE(tour_handler_resume_preset_tour(handler_, 4, nullptr));
  ASSERT_TRUE(tour_handler_driver_uninstalled(handler_, 5));
  EXPECT_EQ(handler_->idle_id, idle);

  struct Expected {
    int32_t kind, field;
  };
  constexpr Expected expected[] = {{TOUR_ACTION_PLAY, 1},
                                   {TOUR_ACTION_STOP, 2},
                                   {TOUR_ACTION_PAUSE, 3},
                                   {TOUR_ACTION_RESUME, 4},
                                   {TOUR_ACTION_DRIVER_UNINSTALLED, 5}};
  ASSERT_EQ(g_queue_get_length(handler_->action_queue), std::size(expected));
  for (guint i = 0; i < std::size(expected); ++i) {
    const TourAction &a = queued(handler_, i);
    EXPECT_EQ(a.kind, expected[i].kind) << i;
    EXPECT_EQ(a.kind == TOUR_ACTION_DRIVER_UNINSTALLED ? a.camera_id : a.tour_id,
              expected[i].field)
        << i;
  }

  process();
  EXPECT_TRUE(g_queue_is_empty(handler_->action_queue));
}

TEST_F(QueueTest, QueuedPlaysOfOneCameraRunInOrderSoTheLastOneWins) {
  seed_tour(1, "2");
  seed_tour(2, "2");
  start_handler();
  ASSERT_TRUE(tour_handler_play_preset_tour(handler_, 1, nullptr));
  ASSERT_TRUE(tour_handler_play_preset_tour(handler_, 2, nullptr));
  process();
  EXPECT_EQ(held(2), 2);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_EQ(running_of(2), "yes");
}

TEST_F(QueueTest, UnprocessedRequestsAreDroppedWithTheHandler) {
  seed_tour(1, "3");
  start_handler();
  ASSERT_TRUE(tour_handler_play_preset_tour(handler_, 1, nullptr));
  stop_handler();
  EXPECT_EQ(running_of(1), "no");
}

struct SetRunningCase {
  const char *running;
  const char *confhub_id;
  bool queues;
  int32_t kind;
  int32_t tour_id;
};

class SetRunningTest : public HandlerTest,
                       public ::testing::WithParamInterface<SetRunningCase> {};

TEST_P(SetRunningTest, GroupTextAndStateChooseTheRequest) {
  const SetRunningCase &c = GetParam();
  start_handler();
  g_autoptr(GError) error = nullptr;
  EXPECT_TRUE(tour_handler_set_preset_tour_running(handler_, c.running,
                                                   c.confhub_id, &error));
  EXPECT_EQ(error, nullptr);
  ASSERT_EQ(g_queue_get_length(handler_->action_queue), c.queues ? 1u : 0u);
  if (c.queues) {
    EXPECT_EQ(queued(handler_, 0).kind, c.kind);
    EXPECT_EQ(queued(handler_, 0).tour_id, c.tour_id);
  }
  EXPECT_TRUE(syslog_capture::lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Parsing, SetRunningTest,
    ::testing::Values(SetRunningCase{"yes", "G12", true, TOUR_ACTION_PLAY, 12},
                      SetRunningCase{"no", "G12", true, TOUR_ACTION_STOP, 12},
                      SetRunningCase{"yes", "12", true, TOUR_ACTION_PLAY, 0},
                      SetRunningCase{"yes", "X3", true, TOUR_ACTION_PLAY, 0},
                      SetRunningCase{"yes", "G7.Tour", true, TOUR_ACTION_PLAY, 7},
                      SetRunningCase{"no", "G -4", true, TOUR_ACTION_STOP, -4},
                      SetRunningCase{"YES", "G12", false, 0, 0},
                      SetRunningCase{"", "G12", false, 0, 0}));

struct RangeCase {
  int32_t camera_id;
  bool accepted;
};

class BlockRangeTest : public HandlerTest,
                       public ::testing::WithParamInterface<RangeCase> {};

TEST_P(BlockRangeTest, OnlyCamerasOneToEightAreAccepted) {
  const RangeCase &c = GetParam();
  start_handler();
  using Op = gboolean (*)(TourHandler *, int32_t, GError **);
  for (Op op : {Op(tour_handler_block_playback), Op(tour_handler_unblock_playback)}) {
    syslog_capture::clear();
    g_autoptr(GError) error = nullptr;
    EXPECT_EQ(op(handler_, c.camera_id, &error), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(error, nullptr);
      EXPECT_TRUE(syslog_capture::lines().empty());
    } else {
      ASSERT_NE(error, nullptr);
      EXPECT_TRUE(g_error_matches(error, TOUR_HANDLER_ERROR,
                                  TOUR_HANDLER_ERROR_OUT_OF_RANGE));
      EXPECT_STREQ(error->message, "Image source id out of range");
      EXPECT_EQ(syslog_capture::count(LOG_ERR, "Image source id out of range"), 1);
      EXPECT_FALSE(op(handler_, c.camera_id, nullptr)); /* error is optional */
    }
  }
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    EXPECT_EQ(handler_->playback_blocked[cam - 1], 0) << cam;
}

INSTANTIATE_TEST_SUITE_P(Cameras, BlockRangeTest,
                         ::testing::Values(RangeCase{0, false}, RangeCase{9, false},
                                           RangeCase{-1, false}, RangeCase{1, true},
                                           RangeCase{8, true}));

TEST_F(QueueTest, BlockStopsTheTourAtOnceAndRefusesPlaysUntilUnblocked) {
  seed_tour(1, "2");
  start_handler();
  play(1);
  ASSERT_EQ(held(2), 1);
  ASSERT_EQ(running_of(1), "yes");

  ASSERT_TRUE(tour_handler_block_playback(handler_, 2, nullptr));
  EXPECT_EQ(slot(2)->active, 0); /* no processing run in between */
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(handler_->playback_blocked[1], 1);
  EXPECT_EQ(running_of(1), "no");

  /* Blocking again changes nothing. */
  syslog_capture::clear();
  EXPECT_TRUE(tour_handler_block_playback(handler_, 2, nullptr));
  EXPECT_EQ(handler_->playback_blocked[1], 1);

  /* The store side says "yes" again; the play is refused silently. */
  put(tour_param(1, "Running"), "yes");
  play(1);
  EXPECT_EQ(held(2), -1);
  EXPECT_EQ(running_of(1), "no");
  EXPECT_TRUE(syslog_capture::lines().empty());

  EXPECT_TRUE(tour_handler_unblock_playback(handler_, 2, nullptr));
  play(1);
  EXPECT_EQ(held(2), 1);
  EXPECT_EQ(running_of(1), "yes");
}

TEST_F(QueueTest, BlockOfAnEmptySlotCreatesNoEngine) {
  start_handler();
  EXPECT_TRUE(tour_handler_block_playback(handler_, 5, nullptr));
  EXPECT_EQ(slot(5), nullptr);
  EXPECT_TRUE(tour_handler_unblock_playback(handler_, 6, nullptr));
  EXPECT_EQ(handler_->playback_blocked[5], 0);
}

TEST_F(QueueTest, TickIsInstalledOnlyWhileAnEngineIsActive) {
  seed_tour(1, "4");
  start_handler();
  tour_handler_update_timer(handler_);
  EXPECT_EQ(handler_->timeout_id, 0u);

  play(1);
  EXPECT_NE(handler_->timeout_id, 0u);
  guint tick = handler_->timeout_id;
  tour_handler_update_timer(handler_);
  EXPECT_EQ(handler_->timeout_id, tick);

  /* Block stops the engine; the tick goes at the next processing run, which
   * the tick itself starts. */
  ASSERT_TRUE(tour_handler_block_playback(handler_, 4, nullptr));
  EXPECT_EQ(handler_->timeout_id, tick);
  EXPECT_TRUE(tour_handler_iterate_tours(handler_));
  EXPECT_EQ(handler_->timeout_id, 0u);
}

} // namespace
