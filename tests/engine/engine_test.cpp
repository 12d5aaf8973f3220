/* The tour engine on the fake clock, the fake events and the scripted
 * coordinator: loading, stepping, holds, stop and the Running writer. */
#include <syslog.h>

#include "engine_fixture.h"

namespace {

using Calls = std::vector<FakeCoordinator::Call>;

const std::vector<TourPoint> kThree = {{21, 1, 1, 5}, {22, 2, 50, 6}, {23, 3, 2, 7}};

std::string go(int preset, int wire_speed) {
  return "('Rezazerar', 0, " + std::to_string(preset) + ", " + std::to_string(wire_speed) + ")";
}

TEST_F(EngineTest, LoadOrdersPointsOrLeavesNoTourOnAFailedRead) {
  struct {
    const char *random, *broken; /* broken: a leaf stored as "x" */
    std::vector<int> positions;  /* of presets 10, 11, ... in store order */
    std::vector<int> order;      /* preset numbers as loaded */
    const char *error;
  } const cases[] = {
      {"no", nullptr, {3, 1, 2}, {11, 12, 10}, nullptr},
      {"no", nullptr, {5, 5, -1}, {12, 11, 10}, nullptr},
      {"yes", nullptr, {3, 1, 2}, {12, 11, 10}, nullptr},
      {"Yes", nullptr, {3, 1, 2}, {11, 12, 10}, nullptr},
      {"no", "TimeBetweenSequences", {1}, {}, "Error fetching GUARD_TIME_BETWEEN_SEQUENCES"},
      {nullptr, nullptr, {1}, {}, "Error fetching GUARD_RANDOM_ENABLED"},
      {"no", nullptr, {}, {}, "Error fetching tour relay points"},
      {"no", "Tour.T1.Position", {1, 2, 3}, {}, "Error fetching tour relay point"},
  };
  int tour_id = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(++tour_id);
    TourSpec spec{.random = c.random};
    for (int p : c.positions)
      spec.points.push_back({10 + int(spec.points.size()), p});
    write_tour(tour_id, spec);
    if (c.broken != nullptr)
      temp_store::put(temp_store::tour(tour_id, c.broken), "x");
    syslog_capture::clear();
    PresetTour *engine = make_engine();
    EXPECT_EQ(preset_tour_prepare_tour(engine, kCamera, tour_id), c.error ? -1 : 0);
    std::vector<int> order;
    for (GList *l = engine->presets; l != nullptr; l = l->next)
      order.push_back(static_cast<PresetPoint *>(l->data)->preset_nbr);
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(engine->tour_id, c.error ? -1 : tour_id);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, c.error ? c.error : ""), c.error ? 1 : 0);
  }
}

/* Arrival by preset event; the dwell is the point's wait time, plus the
 * round pause after the last point of an ordered round only. */
TEST_F(EngineTest, RoundsVisitDwellAndPauseByTheirOrder) {
  struct {
    const char *random;
    std::deque<int> draws; /* random indexes offered, into 23, 22, 21 */
    std::vector<int> dwells;
    Calls gotos;
  } const cases[] = {
      {"no", {}, {5, 6, 7 + 2 * 60, 5},
       {{"GotoPresetNumber", go(21, 65536)}, {"GotoPresetNumber", go(22, 3276800)},
        {"GotoPresetNumber", go(23, 131072)}, {"GotoPresetNumber", go(21, 65536)}}},
      {"yes", {0, 2, 2, 2, 0, 0, 1}, {5, 7, 6}, /* never the current point */
       {{"GotoPresetNumber", go(21, 65536)}, {"GotoPresetNumber", go(23, 131072)},
        {"GotoPresetNumber", go(22, 3276800)}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.random);
    PresetTour *engine = play({.random = c.random, .between = 2, .points = kThree});
    fake_ptz::script_random(c.draws);
    for (int dwell : c.dwells) {
      step(engine); /* the goto */
      const size_t reads = coordinator()->calls("QueryPosition").size();
      ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 2)); /* not an arrival */
      step(engine);
      EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
      ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
      step(engine);
      EXPECT_EQ(coordinator()->calls("QueryPosition").size(), reads);
      EXPECT_EQ(engine->wait_until.sec - fake_ptz::now().sec, dwell);
      fake_ptz::advance(dwell - 1);
      step(engine);
      EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
      fake_ptz::advance(1);
    }
    wait_for_gotos(c.gotos.size());
    EXPECT_EQ(coordinator()->calls("GotoPresetNumber"), c.gotos);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* Without a preset event: ready after 50 still ticks, or 600 ticks of a
 * moving head; the first readiness only re-issues the goto, later ones
 * accept an unchanged position and re-issue on a changed one. A failed
 * read is logged unless its code is 125. */
TEST_F(EngineTest, ArrivalByPositionNeedsReadinessAndAnUnchangedPosition) {
  struct {
    int head_moving, first, then; /* ticks to the first and next readiness */
    int error;                    /* of the first QueryPosition */
    std::vector<int> positions;   /* the replies after it */
    int reissues;
  } const cases[] = {{0, 50, 1, 0, {}, 1}, {1, 600, 600, 125, {}, 1},
                     {0, 50, 1, 124, {2, 3, 3, 3}, 2}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " " << c.reissues);
    PresetTour *engine = play({.points = kThree});
    coordinator()->script("QueryPosition", FakeCoordinator::position(1), c.error);
    for (int p : c.positions)
      coordinator()->script("QueryPosition", FakeCoordinator::position(p));
    step(engine);
    ASSERT_TRUE(fake_ptz::fire_moving(kCamera, c.head_moving));
    step(engine, c.first - 1);
    EXPECT_EQ(engine->goto_attempts, 0);
    for (int attempt = 1; attempt <= c.reissues; ++attempt) {
      step(engine, attempt == 1 ? 1 : c.then);
      EXPECT_EQ(engine->goto_attempts, attempt);
    }
    step(engine, c.then - 1);
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_MOVING);
    step(engine);
    EXPECT_EQ(engine->state, PRESET_TOUR_STATE_WAITING);
    wait_for_gotos(size_t(1 + c.reissues));
    EXPECT_EQ(syslog_capture::lines().size(), c.error == 124 ? 1u : 0u);
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, "DBus call QueryPosition failed, error: "
                                                 "GDBus.Error:org.gtk.GDBus.UnmappedGError."
                                                 "Quark._fake_2dcoordinator.Code124: "
                                                 "scripted failure 124"),
              c.error == 124 ? 1 : 0);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

TEST_F(EngineTest, KeepaliveEveryTenSecondsAlsoWhilePausedOrFrozen) {
  const FakeCoordinator::Call keepalive{"Queue", "('Rezazerar', 0, 0)"};
  for (auto hold : {+[](PresetTour *) { return 0; }, preset_tour_pause_tour,
                    preset_tour_freeze_tour}) {
    PresetTour *engine = play({.points = kThree});
    ASSERT_EQ(hold(engine), 0);
    coordinator()->reset();
    fake_ptz::advance(10); /* the entry answered 1: due 10 s after it */
    step(engine);
    EXPECT_EQ(coordinator()->calls("Queue"), Calls{});
    fake_ptz::advance(0, 1);
    step(engine, 2); /* the second finds the next one 10 s ahead */
    fake_ptz::advance(10, 1);
    step(engine);
    EXPECT_EQ(coordinator()->calls("Queue"), (Calls{keepalive, keepalive}));
    preset_tour_unfreeze_tour(engine);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* Pause (P), resume by play (R), freeze (F), unfreeze (U) during a dwell,
 * each one second later than the one before: at 1, 2, 3, 4 s. */
TEST_F(EngineTest, DwellLosesNoTimeToAHold) {
  struct {
    const char *ops;
    int shift, leaves; /* seconds the dwell's end moves; Queue 2 calls */
  } const cases[] = {{"PR", 2, 1},   {"FU", 2, 0},   {"PFRU", 9, 1},
                     {"FPUR", 9, 0}, {"PFUR", 9, 1}, {"FPRU", 9, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ops);
    PresetTour *engine = play({.points = kThree});
    step(engine);
    wait_for_gotos(1);
    ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
    step(engine);
    const TimeValue deadline = engine->wait_until;
    coordinator()->reset();
    int delay = 1;
    for (const char *op = c.ops; *op != '\0'; ++op, ++delay) {
      fake_ptz::advance(delay);
      ASSERT_EQ(*op == 'P'   ? preset_tour_pause_tour(engine)
                : *op == 'R' ? preset_tour_play_tour(engine, kCamera, kTour)
                : *op == 'F' ? preset_tour_freeze_tour(engine)
                             : preset_tour_unfreeze_tour(engine),
                0);
    }
    EXPECT_EQ(engine->wait_until.sec, deadline.sec + c.shift);
    EXPECT_EQ(engine->wait_until.usec, deadline.usec);
    EXPECT_EQ(coordinator()->calls(), Calls(size_t(c.leaves), {"Queue", "('Rezazerar', 0, 2)"}));
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

TEST_F(EngineTest, PlayEntersStopMovesLeavesReleasesAndUnsubscribes) {
  size_t seen = 0;
  auto platform_calls = [&seen] { /* since the last look */
    std::string out;
    for (; seen < fake_ptz::calls().size(); ++seen)
      out += fake_ptz::calls()[seen].name + std::to_string(fake_ptz::calls()[seen].camera_id) + " ";
    return out;
  };
  PresetTour *engine = make_engine();
  platform_calls();
  ASSERT_EQ(preset_tour_stop_tour(engine), 0); /* never played */
  EXPECT_EQ(platform_calls(), "preset_events_cleanup-1 tour_moving_events_disable-1 ");
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);

  write_tour(kTour, {.points = kThree});
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, kTour), 0);
  EXPECT_EQ(coordinator()->calls(), (Calls{{"Queue", "('Rezazerar', 0, 3)"}}));
  EXPECT_EQ(platform_calls(), "preset_events_init2 tour_moving_events_enable2 ");
  EXPECT_EQ(running_of(kTour), "yes");
  step(engine);
  wait_for_gotos(1);
  coordinator()->reset();
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(coordinator()->calls(),
            (Calls{{"Move", "('Rezazerar', 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, "
                            "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)"},
                   {"Queue", "('Rezazerar', 0, 2)"}}));
  EXPECT_EQ(engine->proxy, nullptr);
  EXPECT_EQ(platform_calls(), "preset_events_cleanup2 tour_moving_events_disable2 ");
  EXPECT_EQ(running_of(kTour), "no");
}

TEST_F(EngineTest, RunningWriterWritesOnlyWhenTheStoredTextDiffers) {
  struct {
    const char *stored; /* nullptr: no Running parameter at all */
    int running, writes;
    const char *after;
  } const cases[] = {{"no", 1, 1, "yes"}, {"yes", 0, 1, "no"}, {"yes", 1, 0, "yes"},
                     {"no", 0, 0, "no"},  {nullptr, 1, 0, "<absent>"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.stored << " -> " << c.running);
    temp_store::drop(temp_store::tour(7));
    temp_store::put(temp_store::tour(7, c.stored ? "Running" : "Name"), c.stored ? c.stored : "x");
    param_store_testing_reset();
    ASSERT_EQ(preset_tour_update_running_state(7, c.running), 0);
    EXPECT_EQ(running_of(7), c.after);
    EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), c.writes);
  }
}

TEST_F(EngineTest, RunningWriterLastRequestWinsPerTour) {
  temp_store::put(temp_store::tour(1, "Running"), "no");
  temp_store::put(temp_store::tour(2, "Running"), "no");
  for (int end : {0, 1}) {
    /* Requests pile up behind writes that wait for the store. */
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(preset_tour_update_running_state(1, (i + end + 1) % 2), 0);
      ASSERT_EQ(preset_tour_update_running_state(2, (i + end) % 2), 0);
    }
    EXPECT_EQ(running_of(1), end ? "yes" : "no");
    EXPECT_EQ(running_of(2), end ? "no" : "yes");
  }
}

} // namespace
