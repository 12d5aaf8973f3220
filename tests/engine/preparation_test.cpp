#include <syslog.h>

#include "engine_fixture.h"

namespace {

std::vector<int> preset_order(PresetTour *engine) {
  std::vector<int> order;
  for (GList *l = engine->presets; l != nullptr; l = l->next)
    order.push_back(static_cast<PresetPoint *>(l->data)->preset_nbr);
  return order;
}

using PreparationTest = EngineTest;

TEST_F(PreparationTest, NewEngineStartsEmptyAndReadiesThePlatform) {
  PresetTour *engine = make_engine();
  EXPECT_EQ(engine->tour_id, -1);
  EXPECT_EQ(engine->camera_id, -1);
  EXPECT_EQ(engine->current_index, -1);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_IDLE);
  EXPECT_STREQ(engine->client_name, "Rezazerar");
  EXPECT_NE(engine->connection, nullptr);
  EXPECT_EQ(engine->keepalive_at.sec, 0);

  std::vector<std::string> inits;
  for (const auto &call : fake_ptz::calls())
    inits.push_back(call.name);
  EXPECT_EQ(inits, (std::vector<std::string>{"initialize_random",
                                             "initialize_subscriber_queue",
                                             "tour_moving_events_init"}));
}

struct OrderCase {
  const char *name;
  const char *random;
  std::vector<TourPoint> points; /* in the store's enumeration order */
  std::vector<int> expected;     /* preset numbers in visiting order */
  int random_flag;
};

class PreparationOrderTest : public EngineTest,
                             public ::testing::WithParamInterface<OrderCase> {};

TEST_P(PreparationOrderTest, ListsPointsInVisitingOrder) {
  const OrderCase &c = GetParam();
  write_tour({.tour_id = 4,
              .random = c.random,
              .time_between_sequences = 3,
              .points = c.points});
  PresetTour *engine = make_engine();

  ASSERT_EQ(preset_tour_prepare_tour(engine, 2, 4), 0);
  EXPECT_EQ(preset_order(engine), c.expected);
  EXPECT_EQ(engine->random, c.random_flag);
  EXPECT_EQ(engine->time_between_sequences, 3);
  EXPECT_EQ(engine->current_index, 0);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_PREPARED);
  EXPECT_EQ(engine->camera_id, 2);
  EXPECT_EQ(engine->tour_id, 4);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PreparationOrderTest,
    ::testing::Values(
        OrderCase{"ByPosition", "no",
                  {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {11, 12, 10}, 0},
        OrderCase{"EqualPositionsReversed", "no",
                  {{0, 10, 5}, {1, 11, 5}}, {11, 10}, 0},
        OrderCase{"NegativePositionsFirst", "no",
                  {{0, 10, 3}, {1, 11, -5}}, {11, 10}, 0},
        OrderCase{"RandomKeepsReversedOrder", "yes",
                  {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {12, 11, 10}, 1},
        OrderCase{"CapitalYesIsOrdered", "Yes",
                  {{0, 10, 3}, {1, 11, 1}, {2, 12, 2}}, {11, 12, 10}, 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct FailureCase {
  const char *name;
  const char *missing; /* parameter left out; null: no points at all */
  const char *message;
};

class PreparationFailureTest
    : public EngineTest,
      public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PreparationFailureTest, ClearsTheTourAndLogs) {
  const FailureCase &c = GetParam();
  TourSpec spec{.tour_id = 6,
                .points = {{0, 1, 1}, {1, 2, 2}, {2, 3, 3}, {3, 4, 4},
                           {4, 5, 5}}};
  if (c.missing == nullptr)
    spec.points.clear();
  spec.omit = c.missing;
  write_tour(spec);
  PresetTour *engine = make_engine();

  EXPECT_EQ(preset_tour_prepare_tour(engine, 1, 6), -1);
  EXPECT_EQ(syslog_capture::count(LOG_ERR, c.message), 1);
  EXPECT_EQ(engine->tour_id, -1);
  EXPECT_EQ(engine->camera_id, -1);
  EXPECT_EQ(engine->presets, nullptr);
  EXPECT_EQ(engine->state, PRESET_TOUR_STATE_IDLE);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PreparationFailureTest,
    ::testing::Values(
        FailureCase{"TimeBetweenSequences", "TimeBetweenSequences",
                    "Error fetching GUARD_TIME_BETWEEN_SEQUENCES"},
        FailureCase{"RandomEnabled", "RandomEnabled",
                    "Error fetching GUARD_RANDOM_ENABLED"},
        FailureCase{"NoPoints", nullptr, "Error fetching tour relay points"},
        FailureCase{"ThirdPointUnreadable", "Tour.T2.Position",
                    "Error fetching tour relay point"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
