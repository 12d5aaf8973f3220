/* Listing guard tours and tour points, and deleting guard tours, against a
 * real store file. Changes between the two listing passes are made from the
 * store's open hook, which runs at the start of every enumeration. */
#include <functional>

#include "syslog_capture.h"
#include "temp_store.h"
#include "tour_confhub.h"

namespace {

using namespace temp_store;
using Ids = std::vector<int32_t>;
using ListingTest = TempStoreTest;

/* The count and the ids; nullopt when no array was left. */
struct Listing {
  int count;
  std::optional<Ids> ids;
};

Listing list(const std::function<int(int32_t **)> &call) {
  int32_t *raw = nullptr;
  const int count = call(&raw);
  g_autofree int32_t *ids = raw;
  if (ids == nullptr)
    return {count, std::nullopt};
  return {count, Ids(ids, ids + std::max(count, 0))};
}

Listing guard_tours() { return list(tour_confhub_get_guard_tour_ids); }
Listing points_of(int tour_id) {
  return list([=](int32_t **ids) {
    return tour_confhub_get_preset_ids(tour_id, ids);
  });
}

void put_tour(int tour_id) { put(tour(tour_id, "CamNbr"), "1"); }

/* Runs `action` when a listing opens its context for the n-th time. */
class OpenHook {
public:
  OpenHook(int on_open, std::function<void()> action)
      : on_open_(on_open), action_(std::move(action)) {
    param_store_testing_set_open_hook(
        [](const char *, void *self) {
          auto *hook = static_cast<OpenHook *>(self);
          if (++hook->opens == hook->on_open_)
            hook->action_();
        },
        this);
  }
  ~OpenHook() { param_store_testing_set_open_hook(nullptr, nullptr); }
  int opens = 0;

private:
  int on_open_;
  std::function<void()> action_;
};

TEST_F(ListingTest, GuardToursInStoreOrderWhereTheNumberEndsTheScan) {
  for (int id : {3, 0, 7})
    put_tour(id);
  put("root.RezazErar.G12x.CamNbr", "1");
  put(tour(3, "Name"), "again"); /* a later write keeps G3 first */
  put("root.Other.G1.CamNbr", "1");
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, 4);
  EXPECT_EQ(listing.ids, (Ids{3, 0, 7, 12}));
}

TEST_F(ListingTest, EmptyListingsCountZero) {
  put("root.Other.G1.CamNbr", "1");
  EXPECT_EQ(guard_tours().count, 0);
  put_tour(4);
  EXPECT_EQ(points_of(4).count, 0);
}

TEST_F(ListingTest, StrayGroupHidesEveryTour) {
  put_tour(1);
  put("root.RezazErar.Settings.Language", "en");
  put_tour(2);
  const Listing listing = guard_tours();
  EXPECT_EQ(listing.count, -1);
  EXPECT_FALSE(listing.ids.has_value());
}

TEST_F(ListingTest, ChildRemovedBetweenPassesFailsTheListing) {
  for (int id : {1, 2, 3})
    put_tour(id);
  OpenHook hook(2, [] { EXPECT_EQ(drop(tour(2)), 0); });
  const Listing listing = guard_tours();
  EXPECT_EQ(hook.opens, 2);
  EXPECT_EQ(listing.count, -1);
  EXPECT_FALSE(listing.ids.has_value());
}

TEST_F(ListingTest, ChildrenAddedBetweenPassesAreNotVisited) {
  for (int id : {4, 6})
    put_tour(id);
  OpenHook hook(2, [] {
    for (int id : {1, 8, 9})
      put_tour(id);
  });
  const Listing listing = guard_tours();
  EXPECT_EQ(hook.opens, 2);
  EXPECT_EQ(listing.count, 2);
  EXPECT_EQ(listing.ids, (Ids{4, 6}));
  EXPECT_EQ(guard_tours().count, 5);
}

/* A failure in the first pass reads as "no tours", one in the second fails;
 * every opened context is cleaned up, and nothing is logged. */
TEST_F(ListingTest, StoreFailures) {
  const std::tuple<const char *, int, int> cases[] = {
      {"cli_sync", 0, 0},
      {"cli_getChildGroupsInGroup", 0, 0},
      {"cli_getChildGroupInGroup", 0, 0},
      {"cli_getChildGroupsInGroup", 2, -1},
      {"cli_getChildGroupInGroup", 2, -1},
  };
  for (int id : {0, 1})
    put_tour(id);
  syslog_capture::clear();
  for (const auto &[failing, on_open, count] : cases) {
    SCOPED_TRACE(testing::Message() << failing << " from open " << on_open);
    param_store_testing_reset();
    std::optional<OpenHook> hook;
    if (on_open == 0)
      param_store_testing_fail(failing, 1);
    else
      hook.emplace(on_open, [f = failing] { param_store_testing_fail(f, 1); });
    const Listing listing = guard_tours();
    EXPECT_EQ(listing.count, count);
    if (count < 0) {
      EXPECT_FALSE(listing.ids.has_value());
    }
    EXPECT_EQ(calls("cli_cleanupGroupContext"),
              calls("cli_getChildGroupsInGroup"));
  }
  param_store_testing_reset();
  EXPECT_EQ(guard_tours().count, 2);
  EXPECT_TRUE(syslog_capture::lines().empty());
}

TEST_F(ListingTest, DeletionTakesItsPointsAlong) {
  put_point(2, 5, 1, 1, 1, 1);
  put_point(2, 0, 1, 2, 1, 1);
  put_point(10, 0, 7, 1, 1, 1);
  EXPECT_EQ(points_of(2).ids, (Ids{5, 0}));

  EXPECT_EQ(tour_confhub_delete_group(2), 0);
  EXPECT_EQ(points_of(2).count, 0);
  EXPECT_EQ(guard_tours().ids, Ids{10});
  EXPECT_EQ(points_of(10).count, 1);

  syslog_capture::clear();
  param_store_testing_fail("cli_deleteGroup", 1);
  EXPECT_EQ(tour_confhub_delete_group(10), -1);
  EXPECT_EQ(stored(tour(10, "Tour.T0.PresetNbr")), "7");
  EXPECT_TRUE(syslog_capture::lines().empty());
}

} // namespace
