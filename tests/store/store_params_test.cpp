/* Single parameters: values, names, the error word, options, the file. */
#include "store_fixture.h"

#include <sqlite3.h>

namespace {

TEST_F(StoreTest, ValuesRoundTripAndOverwrite) {
  struct Case {
    const char *name;
    const char *value;
  } cases[] = {
      {"root.RezazErar.G1.Running", "yes"},
      {"root.RezazErar.G1.Name", "two words"},
      {"root.RezazErar.G1.Tour.T0.WaitTime", ""},
      {"top", "line\nbreak"},
      {"root.rezazerar.g1.running", "case apart"},
  };
  for (const Case &c : cases)
    ASSERT_EQ(set(c.name, c.value), 0) << c.name;
  for (const Case &c : cases)
    EXPECT_EQ(get(c.name), std::string(c.value)) << c.name;

  ASSERT_EQ(set("root.RezazErar.G1.Running", "no"), 0);
  EXPECT_EQ(get("root.RezazErar.G1.Running"), "no");
  EXPECT_EQ(get("root.rezazerar.g1.running"), "case apart");
}

TEST_F(StoreTest, ErrorWordIsRaisedAndNeverCleared) {
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  EXPECT_EQ(cli_getCustomParam("root.Missing", &options, &error), nullptr);
  EXPECT_NE(error, 0);
  int32_t raised = error;

  cli_setCustomParam("root.Present", "1", &options, &error);
  cli_sync(&options, &error);
  g_autofree char *value = cli_getCustomParam("root.Present", &options, &error);
  EXPECT_STREQ(value, "1");
  EXPECT_EQ(error, raised);
}

TEST_F(StoreTest, OddNamesAndValuesAreRefusedWithoutWriting) {
  const char *names[] = {nullptr, "", ".a", "a.", "a..b", "a b", "a=b", "a\tb"};
  for (const char *name : names) {
    SCOPED_TRACE(name ? name : "(null)");
    EXPECT_NE(set(name, "x"), 0);
    EXPECT_FALSE(get(name).has_value());
    EXPECT_NE(delete_group(name), 0);
    EXPECT_FALSE(children(name).has_value());
  }
  EXPECT_NE(set("root.a", nullptr), 0);
  EXPECT_EQ(param_store_admin_list(nullptr, nullptr, nullptr), 0);
}

TEST_F(StoreTest, FileAndFolderAreCreatedInWalMode) {
  std::string nested = std::string(dir_) + "/a/b/params.db";
  g_setenv("PARAM_STORE_PATH", nested.c_str(), TRUE);
  ASSERT_EQ(set("root.x", "1"), 0);
  ASSERT_TRUE(g_file_test(nested.c_str(), G_FILE_TEST_IS_REGULAR));

  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(nested.c_str(), &db), SQLITE_OK);
  sqlite3_stmt *stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
               "wal");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST_F(StoreTest, UnreachableStoreFailsEveryCall) {
  // A regular file where the folder should be: nothing can be created.
  std::string blocker = std::string(dir_) + "/file";
  ASSERT_TRUE(g_file_set_contents(blocker.c_str(), "", 0, nullptr));
  std::string bad = blocker + "/params.db";
  g_setenv("PARAM_STORE_PATH", bad.c_str(), TRUE);

  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_sync(&options, &error);
  EXPECT_NE(error, 0);
  EXPECT_NE(set("root.x", "1"), 0);
  EXPECT_FALSE(children("root").has_value());
  EXPECT_EQ(param_store_admin_list(nullptr, nullptr, nullptr), -1);
}

TEST_F(StoreTest, OptionsDefaultsAndDurableWrite) {
  cli_Options options;
  std::fill(std::begin(options.word), std::end(options.word), 0xffffffffu);
  cli_resetOptions(&options);
  EXPECT_NE(options.word[CLI_OPTIONS_WRITE_MODE], CLI_WRITE_MODE_DURABLE);
  for (int i = 3; i < 12; ++i)
    EXPECT_EQ(options.word[i], 0u) << "word " << i;

  options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
  int32_t error = 0;
  cli_setCustomParam("root.RezazErar.G2.Running", "yes", &options, &error);
  ASSERT_EQ(error, 0);
  param_store_testing_close_connection();
  EXPECT_EQ(get("root.RezazErar.G2.Running"), "yes");
}

TEST_F(StoreTest, InjectedFaultsAndCounters) {
  ASSERT_EQ(set("root.a", "1"), 0);
  param_store_testing_reset();

  param_store_testing_fail("cli_getCustomParam", 2);
  EXPECT_FALSE(get("root.a").has_value());
  EXPECT_FALSE(get("root.a").has_value());
  EXPECT_EQ(get("root.a"), "1");
  EXPECT_EQ(param_store_testing_calls("cli_getCustomParam"), 3);
  EXPECT_EQ(param_store_testing_calls("cli_resetOptions"), 3);

  param_store_testing_fail("cli_setCustomParam", -1);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(set("root.a", "2"), 0);
  param_store_testing_fail("cli_setCustomParam", 0);
  EXPECT_EQ(get("root.a"), "1");
  EXPECT_EQ(set("root.a", "2"), 0);

  param_store_testing_fail("cli_sync", -1);
  param_store_testing_reset();
  EXPECT_EQ(param_store_testing_calls("cli_getCustomParam"), 0);
  cli_Options options;
  cli_resetOptions(&options);
  int32_t error = 0;
  cli_sync(&options, &error);
  EXPECT_EQ(error, 0);
}

} // namespace
