/* Group enumeration order, cursors, deletion and the open hook. */
#include "store_fixture.h"

namespace {

constexpr const char *kTours = "root.RezazErar";

void write_tour(int tour, int points) {
  g_autofree char *running = g_strdup_printf("root.RezazErar.G%d.Running", tour);
  ASSERT_EQ(StoreTest::set(running, "no"), 0);
  for (int p = 0; p < points; ++p) {
    g_autofree char *name =
        g_strdup_printf("root.RezazErar.G%d.Tour.T%d.PresetNbr", tour, p);
    ASSERT_EQ(StoreTest::set(name, "1"), 0);
  }
}

TEST_F(StoreTest, ChildrenComeInOrderOfFirstParameter) {
  write_tour(3, 0);
  write_tour(0, 0);
  write_tour(7, 0);
  ASSERT_EQ(set("root.RezazErar.G3.Name", "rewritten later"), 0);
  ASSERT_EQ(set("root.RezazErar.Version", "leaf, not a group"), 0);
  EXPECT_EQ(children(kTours), (Names{"G3", "G0", "G7"}));

  // A restart reads the same order from the file.
  param_store_testing_close_connection();
  EXPECT_EQ(children(kTours), (Names{"G3", "G0", "G7"}));

  // A group that disappears and comes back is new: it goes last.
  ASSERT_EQ(delete_group("root.RezazErar.G3"), 0);
  write_tour(3, 0);
  EXPECT_EQ(children(kTours), (Names{"G0", "G7", "G3"}));
}

TEST_F(StoreTest, CursorReportsFullNameOwnNameAndEnd) {
  write_tour(5, 2);
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_GroupContext *ctx =
      cli_getChildGroupsInGroup("root.RezazErar.G5.Tour", &options, &error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(ctx->end, 0);
  cli_getChildGroupInGroup(ctx, &options, &error);
  EXPECT_STREQ(ctx->full_name, "root.RezazErar.G5.Tour.T0");
  EXPECT_STREQ(ctx->name, "T0");
  cli_getChildGroupInGroup(ctx, &options, &error);
  EXPECT_STREQ(ctx->name, "T1");
  for (int i = 0; i < 2; ++i) {
    cli_getChildGroupInGroup(ctx, &options, &error);
    EXPECT_NE(ctx->end, 0);
    EXPECT_STREQ(ctx->name, "");
  }
  EXPECT_EQ(error, 0);
  cli_cleanupGroupContext(ctx);
  cli_cleanupGroupContext(nullptr);
}

TEST_F(StoreTest, MissingGroupFailsOpenButLeafOnlyGroupIsEmpty) {
  write_tour(1, 0);
  EXPECT_FALSE(children("root.RezazErar.G1.Tour").has_value());
  EXPECT_EQ(children("root.RezazErar.G1"), Names{});

  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_GroupContext *ctx = cli_getChildGroupsInGroup("nowhere", &options, &error);
  EXPECT_NE(error, 0);
  ASSERT_NE(ctx, nullptr);
  EXPECT_NE(ctx->end, 0);
  cli_cleanupGroupContext(ctx);
}

TEST_F(StoreTest, CursorFollowsRemovalsAndAdditionsBetweenSteps) {
  for (int t : {1, 2, 3})
    write_tour(t, 0);
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_GroupContext *ctx = cli_getChildGroupsInGroup(kTours, &options, &error);
  cli_getChildGroupInGroup(ctx, &options, &error);
  EXPECT_STREQ(ctx->name, "G1");
  ASSERT_EQ(delete_group("root.RezazErar.G2"), 0);
  ASSERT_EQ(delete_group("root.RezazErar.G1"), 0);
  write_tour(9, 0);
  Names seen;
  for (cli_getChildGroupInGroup(ctx, &options, &error); !ctx->end && !error;
       cli_getChildGroupInGroup(ctx, &options, &error))
    seen.emplace_back(ctx->name);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(seen, (Names{"G3", "G9"}));
  cli_cleanupGroupContext(ctx);
}

TEST_F(StoreTest, DeletionTakesPointsAndEmptyAncestorsOnly) {
  write_tour(1, 3);
  write_tour(2, 1);
  ASSERT_EQ(delete_group("root.RezazErar.G1"), 0);
  EXPECT_FALSE(get("root.RezazErar.G1.Running").has_value());
  EXPECT_FALSE(get("root.RezazErar.G1.Tour.T2.PresetNbr").has_value());
  EXPECT_FALSE(children("root.RezazErar.G1.Tour").has_value());
  EXPECT_EQ(get("root.RezazErar.G2.Tour.T0.PresetNbr"), "1");
  EXPECT_EQ(children(kTours), Names{"G2"});

  EXPECT_NE(delete_group("root.RezazErar.G1"), 0);
  // A prefix that is not a whole component is not a group.
  EXPECT_NE(delete_group("root.RezazErar.G"), 0);
  EXPECT_EQ(children(kTours), Names{"G2"});

  ASSERT_EQ(delete_group("root.RezazErar.G2"), 0);
  EXPECT_FALSE(children(kTours).has_value());
  EXPECT_FALSE(children("root").has_value());
}

TEST_F(StoreTest, StrayGroupIsEnumeratedLikeAnyOther) {
  write_tour(4, 0);
  ASSERT_EQ(set("root.RezazErar.Settings.Mode", "x"), 0);
  write_tour(12, 0);
  EXPECT_EQ(children(kTours), (Names{"G4", "Settings", "G12"}));
}

struct HookLog {
  Names groups;
  const char *remove_on_second = nullptr;
};

void record_and_remove(const char *group, void *data) {
  auto *log = static_cast<HookLog *>(data);
  log->groups.emplace_back(group);
  // The hook may use the store itself: it runs outside the seam's lock.
  if (log->groups.size() == 2 && log->remove_on_second)
    StoreTest::delete_group(log->remove_on_second);
}

TEST_F(StoreTest, OpenHookRunsBeforeEachOpenAndMayChangeTheStore) {
  write_tour(1, 0);
  write_tour(2, 0);
  HookLog log;
  log.remove_on_second = "root.RezazErar.G1";
  param_store_testing_set_open_hook(record_and_remove, &log);
  EXPECT_EQ(children(kTours), (Names{"G1", "G2"}));
  EXPECT_EQ(children(kTours), Names{"G2"});
  EXPECT_EQ(log.groups, (Names{kTours, kTours}));
  param_store_testing_set_open_hook(nullptr, nullptr);
  children(kTours);
  EXPECT_EQ(log.groups.size(), 2u);
}

void count_row(const char *, const char *, void *data) { ++*static_cast<int *>(data); }

TEST_F(StoreTest, AdminListWalksGroupsDepthFirstInEnumerationOrder) {
  ASSERT_EQ(set("root.RezazErar.G2.Tour.T0.PresetNbr", "5"), 0);
  ASSERT_EQ(set("root.RezazErar.G1.Running", "no"), 0);
  ASSERT_EQ(set("root.RezazErar.G2.Running", "yes"), 0);
  ASSERT_EQ(set("root.RezazErar.Version", "1"), 0);
  ASSERT_EQ(set("other.Flag", "on"), 0);
  Names rows;
  auto collect = [](const char *name, const char *value, void *data) {
    static_cast<Names *>(data)->push_back(std::string(name) + "=" + value);
  };
  EXPECT_EQ(param_store_admin_list(kTours, collect, &rows), 4);
  EXPECT_EQ(rows, (Names{"root.RezazErar.Version=1",
                         "root.RezazErar.G2.Running=yes",
                         "root.RezazErar.G2.Tour.T0.PresetNbr=5",
                         "root.RezazErar.G1.Running=no"}));
  int all = 0;
  EXPECT_EQ(param_store_admin_list(nullptr, count_row, &all), 5);
  EXPECT_EQ(all, 5);
  EXPECT_EQ(param_store_admin_list("absent", count_row, &all), 0);
}

TEST_F(StoreTest, AdminSetManyReportsEachChangedNameOnce) {
  ASSERT_EQ(set("g.same", "v"), 0);
  ASSERT_EQ(set("g.diff", "old"), 0);
  ASSERT_EQ(set("g.flip", "no"), 0);
  const param_store_pair pairs[] = {
      {"g.same", "v"}, {"g.diff", "new"}, {"g.fresh", ""},
      {"g.flip", "yes"}, {"g.flip", "no"}, {"g.twice", "a"}, {"g.twice", "b"},
  };
  constexpr int expected[] = {0, 1, 1, 0, 0, 0, 1};
  int changed[std::size(pairs)];
  ASSERT_EQ(param_store_admin_set_many(pairs, std::size(pairs), changed), 0);
  for (size_t i = 0; i < std::size(pairs); ++i)
    EXPECT_EQ(changed[i], expected[i]) << pairs[i].name << " #" << i;
  EXPECT_EQ(get("g.twice"), "b");
  EXPECT_EQ(get("g.flip"), "no");

  const param_store_pair bad[] = {{"g.new", "1"}, {"g..bad", "2"}};
  EXPECT_EQ(param_store_admin_set_many(bad, 2, nullptr), -1);
  EXPECT_FALSE(get("g.new").has_value());

  EXPECT_EQ(param_store_admin_delete_group("g"), 1);
  EXPECT_EQ(param_store_admin_delete_group("g"), 0);
  g_autofree char *value = nullptr;
  EXPECT_EQ(param_store_admin_get("g.same", &value), 0);
}

} // namespace
