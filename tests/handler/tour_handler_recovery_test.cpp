#include <map>
#include <syslog.h>
#include <vector>

#include "handler_fixture.h"

using namespace handler_test;

namespace {

struct SeededTour {
  int tour_id;
  const char *cam;
  const char *running;
};

struct RecoveryCase {
  const char *name;
  std::vector<SeededTour> tours;
  std::map<int, int> resumed;  /* camera -> tour it plays */
  std::map<int, std::string> running_after; /* tour -> Running */
};

class RecoveryTest : public HandlerTest,
                     public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, ResumesOneRunningTourPerCamera) {
  const RecoveryCase &c = GetParam();
  for (const SeededTour &t : c.tours)
    seed_tour(t.tour_id, t.cam, t.running);
  start_handler();

  for (int cam = 1; cam <= IMAGE_SOURCES; ++cam) {
    auto it = c.resumed.find(cam);
    if (it == c.resumed.end()) {
      EXPECT_EQ(slot(cam), nullptr) << "camera " << cam;
    } else {
      EXPECT_EQ(held(cam), it->second) << "camera " << cam;
      ASSERT_NE(slot(cam), nullptr);
      EXPECT_EQ(slot(cam)->active, 1);
    }
  }
  for (const auto &[tour, running] : c.running_after)
    EXPECT_EQ(running_of(tour), running) << "tour " << tour;

  /* The tick waits for the caller's timer update. */
  EXPECT_EQ(handler_->timeout_id, 0u);
  tour_handler_update_timer(handler_);
  EXPECT_EQ(handler_->timeout_id != 0u, !c.resumed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Store, RecoveryTest,
    ::testing::Values(
        RecoveryCase{"NoTours", {}, {}, {}},
        RecoveryCase{"OneRunning", {{1, "3", "yes"}, {2, "3", "no"}},
                     {{3, 1}}, {{1, "yes"}, {2, "no"}}},
        RecoveryCase{"TwoOnOneCamera", {{1, "2", "yes"}, {4, "2", "yes"}},
                     {}, {{1, "no"}, {4, "no"}}},
        RecoveryCase{"ThreeOnOneCamera",
                     {{1, "2", "yes"}, {2, "2", "yes"}, {3, "2", "yes"}},
                     {}, {{1, "no"}, {2, "no"}, {3, "no"}}},
        RecoveryCase{"DifferentCameras", {{1, "5", "yes"}, {2, "1", "yes"}},
                     {{5, 1}, {1, 2}}, {{1, "yes"}, {2, "yes"}}},
        RecoveryCase{"NotExactlyYes", {{1, "1", "Yes"}, {2, "2", "1"}},
                     {}, {{1, "Yes"}, {2, "1"}}},
        RecoveryCase{"CameraUnusable",
                     {{1, nullptr, "yes"}, {2, "0", "yes"}, {3, "9", "yes"},
                      {4, "abc", "yes"}, {5, "-5", "yes"}},
                     {},
                     {{1, "yes"}, {2, "yes"}, {3, "yes"}, {4, "yes"}, {5, "yes"}}},
        RecoveryCase{"ConflictStaysOnItsCamera",
                     {{1, "2", "yes"}, {2, "4", "yes"}, {3, "2", "yes"}},
                     {{4, 2}}, {{1, "no"}, {2, "yes"}, {3, "no"}}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
