#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

namespace {

struct ControlCase {
  const char *name;
  const char *client; /* nullptr: no name given */
  bool frozen_before;
  int32_t frozen_after;
  int32_t active_after;
};

class ControlTest : public HandlerTest,
                    public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTest, ClientNameDecidesTheTourOfThatCamera) {
  const ControlCase &c = GetParam();
  seed_tour(5, "2");
  start_handler();
  play(5);
  ASSERT_EQ(held(2), 5);
  if (c.frozen_before) {
    ASSERT_EQ(preset_tour_freeze_tour(slot(2)), 0);
  }

  ASSERT_TRUE(fake_ptz::fire_control(2, c.client));
  EXPECT_EQ(slot(2)->frozen, c.frozen_after);
  EXPECT_EQ(slot(2)->active, c.active_after);
  EXPECT_EQ(running_of(5), c.active_after ? "yes" : "no");
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    if (cam != 2) {
      EXPECT_EQ(slot(cam), nullptr) << cam;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clients, ControlTest,
    ::testing::Values(ControlCase{"OwnClientReleases", "Rezazerar", true, 0, 1},
                      ControlCase{"RecordedTourStops", "Recordedtour", false, 0, 0},
                      ControlCase{"EmptyNameIgnored", "", false, 0, 1},
                      ControlCase{"EmptyNameKeepsHold", "", true, 1, 1},
                      ControlCase{"OtherClientHolds", "operator", false, 1, 1},
                      ControlCase{"CaseMatters", "rezazerar", false, 1, 1},
                      ControlCase{"AbsentNameHolds", nullptr, false, 1, 1}),
    [](const auto &info) { return std::string(info.param.name); });

using ControlEdgeTest = HandlerTest;

TEST_F(ControlEdgeTest, CamerasOutOfRangeAndEmptySlotsAreIgnored) {
  start_handler();
  ASSERT_TRUE(fake_ptz::control_registered());
  for (int cam : {0, 9, -1, 3})
    for (const char *client : {"Rezazerar", "Recordedtour", "operator"})
      ASSERT_TRUE(fake_ptz::fire_control(cam, client));
  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam)
    EXPECT_EQ(slot(cam), nullptr) << cam;
}

TEST_F(ControlEdgeTest, HoldOfAnIdleEngineCarriesIntoItsNextTour) {
  seed_tour(1, "4");
  seed_tour(2, "4");
  start_handler();
  ASSERT_TRUE(tour_handler_pause_preset_tour(handler_, 2, nullptr));
  process(); /* creates camera 4's engine, holding nothing */
  ASSERT_TRUE(fake_ptz::fire_control(4, "operator"));
  play(1);
  EXPECT_EQ(held(4), 1);
  EXPECT_EQ(slot(4)->frozen, 1);
  ASSERT_TRUE(fake_ptz::fire_control(4, "Rezazerar"));
  EXPECT_EQ(slot(4)->frozen, 0);
}

TEST_F(ControlEdgeTest, SubscriptionEndsWithTheHandler) {
  start_handler();
  EXPECT_TRUE(fake_ptz::control_registered());
  stop_handler();
  EXPECT_FALSE(fake_ptz::control_registered());
}

} // namespace
