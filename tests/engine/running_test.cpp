#include "engine_fixture.h"
#include "param_store_testing.h"

namespace {

using RunningTest = EngineTest;

struct WriteCase {
  const char *name;
  const char *stored; /* null: no Running parameter at all */
  int running;
  int writes;
  const char *after;
};

class RunningWriteTest : public EngineTest,
                         public ::testing::WithParamInterface<WriteCase> {};

TEST_P(RunningWriteTest, WritesOnlyWhenTheStoredTextDiffers) {
  const WriteCase &c = GetParam();
  if (c.stored != nullptr)
    put("root.RezazErar.G7.Running", c.stored);
  else
    put("root.RezazErar.G7.Name", "patrol");
  param_store_testing_reset();

  ASSERT_EQ(preset_tour_update_running_state(7, c.running), 0);
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), c.writes);
  EXPECT_EQ(get("root.RezazErar.G7.Running").value_or("(absent)"), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunningWriteTest,
    ::testing::Values(WriteCase{"NoToYes", "no", 1, 1, "yes"},
                      WriteCase{"YesToNo", "yes", 0, 1, "no"},
                      WriteCase{"AlreadyYes", "yes", 1, 0, "yes"},
                      WriteCase{"AlreadyNo", "no", 0, 0, "no"},
                      /* a failed read writes nothing */
                      WriteCase{"Absent", nullptr, 1, 0, "(absent)"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(RunningTest, FailedReadOfTheStoreWritesNothing) {
  put("root.RezazErar.G7.Running", "no");
  param_store_testing_reset();
  param_store_testing_fail("cli_getCustomParam", 1);
  ASSERT_EQ(preset_tour_update_running_state(7, 1), 0);
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);
  EXPECT_EQ(get("root.RezazErar.G7.Running"), "no");
}

class RunningBurstTest : public EngineTest,
                         public ::testing::WithParamInterface<int> {};

TEST_P(RunningBurstTest, LastRequestWinsPerTour) {
  put("root.RezazErar.G1.Running", "no");
  put("root.RezazErar.G2.Running", "no");
  /* Writes that block in the store let the requests pile up behind them. */
  constexpr int kRequests = 200;
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_EQ(preset_tour_update_running_state(1, (i + GetParam()) % 2), 0);
    ASSERT_EQ(preset_tour_update_running_state(2, (i + 1 + GetParam()) % 2),
              0);
  }
  preset_tour_flush_running_writes();
  const int last = (kRequests - 1 + GetParam()) % 2;
  EXPECT_EQ(get("root.RezazErar.G1.Running"), last ? "yes" : "no");
  EXPECT_EQ(get("root.RezazErar.G2.Running"), last ? "no" : "yes");
}

INSTANTIATE_TEST_SUITE_P(EndValues, RunningBurstTest, ::testing::Values(0, 1));

} // namespace
