/* The parameter store stand-in: values, error word, groups, concurrent use. */
#include <atomic>
#include <thread>

#include <unistd.h>

#include <sqlite3.h>

#include "param_store_admin.h"
#include "temp_store.h"

namespace {

using namespace temp_store;
using StoreTest = TempStoreTest;
constexpr const char *kTours = "root.RezazErar";

TEST_F(StoreTest, ValuesRoundTripAndOverwrite) {
  put("root.RezazErar.G1.Running", "yes");
  put("root.rezazerar.g1.running", "case apart");
  put("root.RezazErar.G1.Running", "no");
  EXPECT_EQ(get("root.RezazErar.G1.Running"), "no");
  EXPECT_EQ(get("root.rezazerar.g1.running"), "case apart");
  for (const char *name : {(const char *)nullptr, "", ".a", "a.", "a..b", "a b", "a=b"}) {
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
  cli_setCustomParam("root.Present", "1", &options, &error);
  cli_sync(&options, &error);
  g_free(cli_getCustomParam("root.Present", &options, &error));
  EXPECT_EQ(error, raised);
  EXPECT_NE(raised, 0);
}

/* Children come in order of their first parameter, across a reopen; a
 * deletion takes the points and the ancestors left empty, nothing else. */
TEST_F(StoreTest, ChildrenOrderAndDeletion) {
  for (int t : {3, 0, 7})
    put_point(t, 0, 1, 1, 1, 1);
  put_point(3, 2, 1, 1, 1, 1);
  put("root.RezazErar.Version", "leaf, not a group");
  put("root.RezazErar.Settings.Mode", "stray");
  EXPECT_EQ(children(kTours), (Names{"G3", "G0", "G7", "Settings"}));
  param_store_testing_close_connection();
  EXPECT_EQ(children(tour(3, "Tour")), (Names{"T0", "T2"}));
  EXPECT_EQ(children(tour(0, "Tour.T0")), Names{}); // leaves only
  EXPECT_FALSE(children("nowhere").has_value());

  ASSERT_EQ(drop(tour(3)), 0);
  EXPECT_FALSE(children(tour(3, "Tour")).has_value());
  EXPECT_NE(drop(tour(3)), 0);
  EXPECT_NE(drop("root.RezazErar.G"), 0); // not a whole component
  ASSERT_EQ(drop(tour(0, "Tour")), 0);    // G0 held nothing else: it goes too
  EXPECT_EQ(stored(tour(7, "Tour.T0.PresetNbr")), "1");
  // A group that disappears and comes back is new: it goes last.
  put(tour(3, "Running"), "no");
  EXPECT_EQ(children(kTours), (Names{"G7", "Settings", "G3"}));
  ASSERT_EQ(drop(kTours), 0);
  EXPECT_FALSE(children("root").has_value());

  // A listing that has ended stays ended, whatever comes after.
  put("root.A.x", "1");
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_GroupContext *listing = cli_getChildGroupsInGroup("root", &options, &error);
  for (int step = 0; step < 2; ++step)
    cli_getChildGroupInGroup(listing, &options, &error);
  put("root.B.x", "1");
  cli_getChildGroupInGroup(listing, &options, &error);
  EXPECT_TRUE(error == 0 && listing->end && *listing->name == '\0');
  cli_cleanupGroupContext(listing);
}

/* A reader sees a group either whole or gone, never in part. */
TEST_F(StoreTest, GroupDeletionIsAtomicToConcurrentReaders) {
  std::vector<std::string> names;
  names.reserve(200); // the pairs point into it
  std::vector<param_store_pair> pairs;
  for (int p = 0; p < 200; ++p)
    pairs.push_back({names.emplace_back(tour(8, "T" + std::to_string(p))).c_str(), "1"});
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    auto count = [](const char *, const char *, void *n) { ++*static_cast<int *>(n); };
    for (int rows = 0; !stop; rows = 0)
      torn += param_store_admin_list(tour(8).c_str(), count, &rows) < 0 || rows % 200;
    param_store_testing_close_connection();
  });
  for (int c = 0; c < 30; ++c) {
    EXPECT_EQ(param_store_admin_set_many(pairs.data(), pairs.size(), nullptr), 0);
    EXPECT_EQ(drop(tour(8)), 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

/* Opening needs no write lock: a reader that arrives while another
 * process is writing reads the committed value instead of waiting. */
TEST_F(StoreTest, AFreshReaderDoesNotWaitForAWriter) {
  put("root.a", "committed");
  param_store_testing_close_connection();
  sqlite3 *writer = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &writer), SQLITE_OK);
  const char *sql = "BEGIN IMMEDIATE; UPDATE params SET value = 'new'";
  EXPECT_EQ(sqlite3_exec(writer, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(get("root.a"), "committed");
  sqlite3_close_v2(writer); // rolls back
}

/* Whether another process (the sqlite3 program: a forked child would
 * share SQLite's record of this process's locks, and a cross build cannot
 * run itself again) finds a row for `sql` in the store. */
bool other_process_finds(const char *sql) {
  g_autofree char *out = nullptr;
  int status = -1;
  const char *argv[] = {"sqlite3", g_getenv("PARAM_STORE_PATH"), sql, nullptr};
  EXPECT_TRUE(g_spawn_sync(nullptr, const_cast<char **>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                           nullptr, nullptr, &out, nullptr, &status, nullptr));
  return status == 0 && out != nullptr && *out != '\0';
}

/* A second thread's connection leaves the process's locks on the file in
 * place, so another process that closes its connection does not take
 * itself for the last one and delete the WAL file still written here. */
TEST_F(StoreTest, WritesStayVisibleAfterAnotherProcessCloses) {
  put("a.b", "1");
  std::thread([] {
    get("a.b");
    param_store_testing_close_connection();
  }).join();
  EXPECT_TRUE(other_process_finds("SELECT 1 FROM params WHERE value = '1'"));
  put("a.b", "2");
  EXPECT_TRUE(other_process_finds("SELECT 1 FROM params WHERE value = '2'"));
}

/* A schema changed under an open connection is checked again, not used. */
TEST_F(StoreTest, ASchemaPlantedUnderAnOpenConnectionIsRefused) {
  put("a.b", "stored");
  sqlite3 *other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  const char *plant = "ALTER TABLE params RENAME TO kept; "
                      "CREATE VIEW params(seq, name, value) AS SELECT 1, 'a.b', 'planted'";
  EXPECT_EQ(sqlite3_exec(other, plant, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close_v2(other);
  EXPECT_EQ(get("a.b"), std::nullopt);
}

/* A call whose SQL outlasts its bound is interrupted and changes nothing. */
TEST_F(StoreTest, ACallPastItsBoundFailsAndChangesNothing) {
  std::vector<std::string> names(50000);
  std::vector<param_store_pair> pairs;
  for (size_t p = 0; p < names.size(); ++p)
    pairs.push_back({(names[p] = tour(8, "T" + std::to_string(p))).c_str(), "1"});
  ASSERT_EQ(param_store_admin_set_many(pairs.data(), pairs.size(), nullptr), 0);
  cli_Options options;
  cli_resetOptions(&options);
  options.word[2] = 1; /* lock wait, ms */
  param_store_testing_set_call_bound(1);
  int32_t error = 0;
  cli_deleteGroup(tour(8).c_str(), &options, &error);
  EXPECT_NE(error, 0);
  param_store_testing_set_call_bound(0);
  EXPECT_EQ(stored(names.back()), "1");
}

/* Writes Running durably (as the daemon's writer does) or plainly and reads
 * it back; counts failed calls and values that no writer wrote. */
int hammer_running(bool durable) {
  int failures = 0;
  for (int i = 0; i < 500; ++i) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    if (durable)
      options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
    cli_setCustomParam(tour(1, "Running").c_str(), i % 2 ? "yes" : "no", &options, &error);
    g_autofree char *value = cli_getCustomParam(tour(1, "Running").c_str(), &options, &error);
    failures += error != 0 || (g_strcmp0(value, "yes") != 0 && g_strcmp0(value, "no") != 0);
  }
  return failures;
}

TEST_F(StoreTest, TwoThreadsWriteAndReadRunningWithoutLockErrors) {
  std::atomic<int> durable_failures{-1};
  std::thread writer([&] {
    durable_failures = hammer_running(true);
    param_store_testing_close_connection();
  });
  EXPECT_EQ(hammer_running(false), 0);
  writer.join();
  EXPECT_EQ(durable_failures.load(), 0);
}

} // namespace
