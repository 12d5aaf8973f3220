/* Several threads and processes on one store file at once. */
#include "store_fixture.h"

#include <atomic>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

namespace {

constexpr const char *kRunning = "root.RezazErar.G1.Running";
constexpr int kRounds = 2000;

/* Writes Running the way the daemon's writer does (durable) or plainly, and
 * reads it back after each write; returns how many calls failed or read
 * something that no writer wrote. */
int hammer_running(int rounds, bool durable) {
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_sync(&options, &error);
    if (durable)
      options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
    cli_setCustomParam(kRunning, (i % 2) ? "yes" : "no", &options, &error);
    g_autofree char *value = cli_getCustomParam(kRunning, &options, &error);
    if (error != 0 || !value ||
        (g_strcmp0(value, "yes") != 0 && g_strcmp0(value, "no") != 0))
      ++failures;
  }
  return failures;
}

std::string integrity(const std::string &path) {
  sqlite3 *db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

TEST_F(StoreTest, TwoThreadsWriteAndReadRunningWithoutLockErrors) {
  ASSERT_EQ(set(kRunning, "no"), 0);
  std::atomic<int> durable_failures{-1};
  std::thread writer([&] {
    durable_failures = hammer_running(kRounds, true);
    param_store_testing_close_connection();
  });
  int main_failures = hammer_running(kRounds, false);
  writer.join();
  EXPECT_EQ(main_failures, 0);
  EXPECT_EQ(durable_failures.load(), 0);
  EXPECT_EQ(children("root.RezazErar"), Names{"G1"});
  EXPECT_EQ(integrity(path_), "ok");
}

TEST_F(StoreTest, TwoProcessesWriteAndReadRunningWithoutLockErrors) {
  ASSERT_EQ(set(kRunning, "no"), 0);
  pid_t pids[2];
  for (pid_t &pid : pids) {
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
      _exit(hammer_running(kRounds, true) == 0 ? 0 : 1);
  }
  int main_failures = hammer_running(kRounds / 2, false);
  for (pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(main_failures, 0);
  EXPECT_EQ(integrity(path_), "ok");
}

/* A reader's snapshot sees a group either whole or gone, never in part. */
TEST_F(StoreTest, GroupDeletionIsAtomicToConcurrentReaders) {
  constexpr int kPoints = 200;
  constexpr int kCycles = 30;
  std::vector<std::string> names;
  for (int p = 0; p < kPoints; ++p)
    names.push_back("root.RezazErar.G8.Tour.T" + std::to_string(p) + ".PresetNbr");
  std::vector<param_store_pair> pairs;
  for (const std::string &n : names)
    pairs.push_back({n.c_str(), "1"});

  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> seen_whole{0};
  std::thread reader([&] {
    auto count = [](const char *, const char *, void *data) {
      ++*static_cast<int *>(data);
    };
    while (!stop) {
      int rows = 0;
      if (param_store_admin_list("root.RezazErar.G8", count, &rows) < 0)
        ++torn;
      else if (rows == kPoints)
        ++seen_whole;
      else if (rows != 0)
        ++torn;
    }
    param_store_testing_close_connection();
  });
  for (int c = 0; c < kCycles; ++c) {
    ASSERT_EQ(param_store_admin_set_many(pairs.data(), pairs.size(), nullptr), 0);
    ASSERT_EQ(delete_group("root.RezazErar.G8"), 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(integrity(path_), "ok");
}

} // namespace
