/* The parameter store stand-in: values, the error word, group enumeration
 * and deletion, the test seams, and concurrent use of one file. */
#include <atomic>
#include <thread>

#include <sqlite3.h>

#include "param_store_admin.h"
#include "temp_store.h"

namespace {

using namespace temp_store;
using StoreTest = TempStoreTest;
constexpr const char *kTours = "root.RezazErar";

std::string integrity(const std::string &path) {
  sqlite3 *db = nullptr;
  sqlite3_stmt *stmt = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

TEST_F(StoreTest, ValuesRoundTripAndOverwrite) {
  const std::pair<const char *, const char *> cases[] = {
      {"root.RezazErar.G1.Running", "yes"},
      {"root.RezazErar.G1.Name", "two words"},
      {"root.RezazErar.G1.Tour.T0.WaitTime", ""},
      {"top", "line\nbreak"},
      {"root.rezazerar.g1.running", "case apart"},
  };
  for (const auto &[name, value] : cases)
    put(name, value);
  for (const auto &[name, value] : cases)
    EXPECT_EQ(get(name), value) << name;
  put("root.RezazErar.G1.Running", "no");
  EXPECT_EQ(get("root.RezazErar.G1.Running"), "no");
  EXPECT_EQ(get("root.rezazerar.g1.running"), "case apart");

  for (const char *name : {(const char *)nullptr, "", ".a", "a.", "a..b",
                           "a b", "a=b"}) {
    SCOPED_TRACE(name ? name : "(null)");
    EXPECT_NE(set(name, "x"), 0);
    EXPECT_FALSE(get(name).has_value());
    EXPECT_NE(drop(name), 0);
  }
}

TEST_F(StoreTest, ErrorWordIsRaisedAndNeverCleared) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  EXPECT_EQ(cli_getCustomParam("root.Missing", &options, &error), nullptr);
  const int32_t raised = error;
  EXPECT_NE(raised, 0);
  cli_setCustomParam("root.Present", "1", &options, &error);
  cli_sync(&options, &error);
  g_autofree char *value = cli_getCustomParam("root.Present", &options, &error);
  EXPECT_STREQ(value, "1");
  EXPECT_EQ(error, raised);
}

TEST_F(StoreTest, ChildrenComeInOrderOfFirstParameterAcrossReopen) {
  for (int t : {3, 0, 7})
    put(tour(t, "Running"), "no");
  put(tour(3, "Name"), "rewritten later");
  put("root.RezazErar.Version", "leaf, not a group");
  put("root.RezazErar.Settings.Mode", "stray");
  const Names order{"G3", "G0", "G7", "Settings"};
  EXPECT_EQ(children(kTours), order);
  param_store_testing_close_connection();
  EXPECT_EQ(children(kTours), order);

  // A group that disappears and comes back is new: it goes last.
  ASSERT_EQ(drop(tour(3)), 0);
  put(tour(3, "Running"), "no");
  EXPECT_EQ(children(kTours), (Names{"G0", "G7", "Settings", "G3"}));
  EXPECT_EQ(children(tour(0)), Names{}); // leaves only
  EXPECT_FALSE(children("nowhere").has_value());
}

TEST_F(StoreTest, DeletionTakesPointsAndEmptyAncestorsOnly) {
  put_point(1, 0, 1, 1, 1, 1);
  put_point(1, 2, 1, 1, 1, 1);
  put_point(2, 0, 1, 1, 1, 1);
  ASSERT_EQ(drop(tour(1)), 0);
  EXPECT_FALSE(get(tour(1, "Tour.T2.PresetNbr")).has_value());
  EXPECT_FALSE(children(tour(1, "Tour")).has_value());
  EXPECT_EQ(stored(tour(2, "Tour.T0.PresetNbr")), "1");
  EXPECT_NE(drop(tour(1)), 0);
  EXPECT_NE(drop("root.RezazErar.G"), 0); // not a whole component
  EXPECT_EQ(children(kTours), Names{"G2"});
  ASSERT_EQ(drop(tour(2)), 0);
  EXPECT_FALSE(children("root").has_value());
}

/* A reader sees a group either whole or gone, never in part. */
TEST_F(StoreTest, GroupDeletionIsAtomicToConcurrentReaders) {
  constexpr int kPoints = 200;
  std::vector<std::string> names;
  for (int p = 0; p < kPoints; ++p)
    names.push_back(tour(8, "Tour.T" + std::to_string(p) + ".PresetNbr"));
  std::vector<param_store_pair> pairs;
  for (const std::string &n : names)
    pairs.push_back({n.c_str(), "1"});
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop) {
      int rows = 0;
      const int listed = param_store_admin_list(
          tour(8).c_str(),
          [](const char *, const char *, void *n) { ++*static_cast<int *>(n); },
          &rows);
      torn += listed < 0 || (rows != 0 && rows != kPoints);
    }
    param_store_testing_close_connection();
  });
  for (int c = 0; c < 30; ++c) {
    EXPECT_EQ(param_store_admin_set_many(pairs.data(), pairs.size(), nullptr), 0);
    EXPECT_EQ(drop(tour(8)), 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(integrity(path_), "ok");
}

struct HookLog {
  Names groups;
  const char *remove_on_second;
};

TEST_F(StoreTest, SeamsInjectFaultsCountCallsAndHookOpens) {
  put("root.a", "1");
  param_store_testing_reset();
  param_store_testing_fail("cli_getCustomParam", 2);
  EXPECT_FALSE(get("root.a").has_value());
  EXPECT_FALSE(get("root.a").has_value());
  EXPECT_EQ(get("root.a"), "1");
  EXPECT_EQ(calls("cli_getCustomParam"), 3);
  param_store_testing_fail("cli_setCustomParam", -1);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(set("root.a", "2"), 0);
  param_store_testing_fail("cli_setCustomParam", 0);
  EXPECT_EQ(get("root.a"), "1");
  EXPECT_EQ(set("root.a", "2"), 0);
  param_store_testing_reset();
  EXPECT_EQ(calls("cli_getCustomParam"), 0);

  // The hook runs before each open and may use the store itself.
  for (int t : {1, 2})
    put(tour(t, "Running"), "no");
  HookLog log{{}, "root.RezazErar.G1"};
  param_store_testing_set_open_hook(
      [](const char *group, void *data) {
        auto *log = static_cast<HookLog *>(data);
        log->groups.emplace_back(group);
        if (log->groups.size() == 2)
          drop(log->remove_on_second);
      },
      &log);
  EXPECT_EQ(children(kTours), (Names{"G1", "G2"}));
  EXPECT_EQ(children(kTours), Names{"G2"});
  param_store_testing_set_open_hook(nullptr, nullptr);
  children(kTours);
  EXPECT_EQ(log.groups, (Names{kTours, kTours}));
}

/* Writes Running durably (as the daemon's writer does) or plainly and reads
 * it back; counts failed calls and values that no writer wrote. */
int hammer_running(bool durable) {
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_sync(&options, &error);
    if (durable)
      options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
    cli_setCustomParam(tour(1, "Running").c_str(), i % 2 ? "yes" : "no",
                       &options, &error);
    g_autofree char *value =
        cli_getCustomParam(tour(1, "Running").c_str(), &options, &error);
    failures += error != 0 || (g_strcmp0(value, "yes") != 0 &&
                               g_strcmp0(value, "no") != 0);
  }
  return failures;
}

TEST_F(StoreTest, TwoThreadsWriteAndReadRunningWithoutLockErrors) {
  put(tour(1, "Running"), "no");
  std::atomic<int> durable_failures{-1};
  std::thread writer([&] {
    durable_failures = hammer_running(true);
    param_store_testing_close_connection();
  });
  EXPECT_EQ(hammer_running(false), 0);
  writer.join();
  EXPECT_EQ(durable_failures.load(), 0);
  EXPECT_EQ(children(kTours), Names{"G1"});
  EXPECT_EQ(integrity(path_), "ok");
}

} // namespace
