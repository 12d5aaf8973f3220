/* Listing guard tours and tour points, and deleting guard tours, against a
 * real store file. Changes between the two listing passes are made from the
 * store's open hook, which runs at the start of every enumeration. */
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

#include "store_fixture.h"
#include "tour_confhub.h"

namespace {

using namespace store;

/* A listing's result: the count, and the ids when an array was left. */
struct Listing {
  int count;
  bool has_array;
  std::vector<int32_t> ids;
};

template <typename List> Listing list(List &&call) {
  int32_t untouched = 0;
  int32_t *raw = &untouched;
  const int count = call(&raw);
  if (raw == &untouched) {
    ADD_FAILURE() << "the listing left the caller's pointer as it was";
    return {count, false, {}};
  }
  g_autofree int32_t *ids = raw;
  Listing listing{count, ids != nullptr, {}};
  if (ids != nullptr && count > 0)
    listing.ids.assign(ids, ids + count);
  return listing;
}

Listing guard_tours() { return list(tour_confhub_get_guard_tour_ids); }

Listing points_of(int tour_id) {
  return list([tour_id](int32_t **ids) {
    return tour_confhub_get_preset_ids(tour_id, ids);
  });
}

/* Runs `action` when the listing opens its context for the n-th time. */
class OpenHook {
public:
  OpenHook(int on_open, std::function<void()> action)
      : on_open_(on_open), action_(std::move(action)) {
    param_store_testing_set_open_hook(&OpenHook::run, this);
  }
  ~OpenHook() { param_store_testing_set_open_hook(nullptr, nullptr); }
  int opens() const { return opens_; }

private:
  static void run(const char *, void *self_data) {
    auto *self = static_cast<OpenHook *>(self_data);
    if (++self->opens_ == self->on_open_)
      self->action_();
  }
  int on_open_;
  std::function<void()> action_;
  int opens_ = 0;
};

using GuardTourIds = StoreTest;

TEST_F(GuardTourIds, StoreOrderNotSorted) {
  for (int id : {3, 0, 7})
    put_tour(id);
  put(tour(3) + ".Name", "again"); /* a later write keeps G3 first */
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, 3);
  EXPECT_EQ(listing.ids, (std::vector<int32_t>{3, 0, 7}));
}

TEST_F(GuardTourIds, NumberEndsTheScan) {
  put_tour(5);
  put("root.RezazErar.G12x.CamNbr", "1");
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, 2);
  EXPECT_EQ(listing.ids, (std::vector<int32_t>{5, 12}));
}

TEST_F(GuardTourIds, StrayGroupHidesEveryTour) {
  put_tour(1);
  put("root.RezazErar.Settings.Language", "en");
  put_tour(2);
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, -1);
  EXPECT_FALSE(listing.has_array);
}

TEST_F(GuardTourIds, NoTours) {
  put("root.Other.G1.CamNbr", "1");
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, 0);
  EXPECT_TRUE(listing.ids.empty());
}

TEST_F(GuardTourIds, ChildRemovedBetweenPasses) {
  for (int id : {1, 2, 3})
    put_tour(id);
  OpenHook hook(2, [] { EXPECT_EQ(remove(tour(2)), 0); });
  const Listing listing = guard_tours();
  EXPECT_EQ(hook.opens(), 2);
  EXPECT_EQ(listing.count, -1);
  EXPECT_FALSE(listing.has_array);
}

TEST_F(GuardTourIds, ChildrenAddedBetweenPassesAreNotVisited) {
  for (int id : {4, 6})
    put_tour(id);
  OpenHook hook(2, [] {
    for (int id : {1, 8, 9})
      put_tour(id);
  });
  const Listing listing = guard_tours();
  EXPECT_EQ(hook.opens(), 2);
  EXPECT_EQ(listing.count, 2);
  EXPECT_EQ(listing.ids, (std::vector<int32_t>{4, 6}));
  /* The store really holds them: the next listing sees all five. */
  EXPECT_EQ(guard_tours().count, 5);
}

/* Store failures: an early one reads as "no tours", a later one fails. */
TEST_F(GuardTourIds, StoreFailures) {
  struct {
    const char *what;
    const char *failing;
    int on_open; /* 0: from the start; n: from the n-th open on */
    int count;
  } const cases[] = {
      {"sync fails", "cli_sync", 0, 0},
      {"first open fails", "cli_getChildGroupsInGroup", 0, 0},
      {"first step fails", "cli_getChildGroupInGroup", 0, 0},
      {"second open fails", "cli_getChildGroupsInGroup", 2, -1},
      {"second pass step fails", "cli_getChildGroupInGroup", 2, -1},
  };
  for (int id : {0, 1})
    put_tour(id);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    param_store_testing_reset();
    std::optional<OpenHook> hook;
    if (c.on_open == 0)
      param_store_testing_fail(c.failing, 1);
    else
      hook.emplace(c.on_open,
                   [&c] { param_store_testing_fail(c.failing, 1); });
    const Listing listing = guard_tours();
    EXPECT_EQ(listing.count, c.count);
    if (c.count < 0) {
      EXPECT_FALSE(listing.has_array);
    }
    EXPECT_EQ(calls("cli_cleanupGroupContext"),
              calls("cli_getChildGroupsInGroup"));
  }
  param_store_testing_reset();
  EXPECT_EQ(guard_tours().count, 2);
  EXPECT_TRUE(syslog_capture::lines().empty());
}

using PresetIds = StoreTest;

TEST_F(PresetIds, PointsOfOneTour) {
  put_point(2, 5, 1, 1, 1, 1, "Seconds");
  put_point(2, 0, 1, 2, 1, 1, "Seconds");
  put_point(3, 9, 1, 1, 1, 1, "Seconds");
  const Listing listing = points_of(2);
  EXPECT_EQ(listing.count, 2);
  EXPECT_EQ(listing.ids, (std::vector<int32_t>{5, 0}));
}

TEST_F(PresetIds, TourWithoutPoints) {
  put_tour(4);
  const Listing listing = points_of(4);
  EXPECT_EQ(listing.count, 0);
  EXPECT_TRUE(listing.ids.empty());
}

using DeleteGroup = StoreTest;

TEST_F(DeleteGroup, TakesItsPointsAlong) {
  put_tour(1);
  put_point(1, 0, 1, 1, 1, 1, "Seconds");
  put_point(1, 1, 1, 1, 1, 1, "Seconds");
  put_tour(10);
  put_point(10, 0, 7, 1, 1, 1, "Seconds");

  EXPECT_EQ(tour_confhub_delete_group(1), 0);
  EXPECT_EQ(points_of(1).count, 0);
  EXPECT_EQ(stored(tour(1) + ".CamNbr"), "<absent>");
  EXPECT_EQ(guard_tours().ids, (std::vector<int32_t>{10}));
  EXPECT_EQ(points_of(10).count, 1);
}

TEST_F(DeleteGroup, FailureIsSilent) {
  put_tour(1);
  seeded();
  param_store_testing_fail("cli_deleteGroup", 1);
  EXPECT_EQ(tour_confhub_delete_group(1), -1);
  EXPECT_EQ(calls("cli_resetOptions"), 1);
  EXPECT_EQ(calls("cli_sync"), 1);
  EXPECT_EQ(stored("root.RezazErar.G1.CamNbr"), "1");
  EXPECT_TRUE(syslog_capture::lines().empty());
}

TEST(DeleteGroupDeath, NegativeId) {
  EXPECT_DEATH(tour_confhub_delete_group(-1), "id >= 0");
}

} // namespace
