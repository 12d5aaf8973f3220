/* A fresh store file per test, and small helpers over the cli_ calls. */
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>

#include "param_store.h"
#include "param_store_admin.h"
#include "param_store_testing.h"

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_autoptr(GError) error = nullptr;
    dir_ = g_dir_make_tmp("paramstore-XXXXXX", &error);
    ASSERT_NE(dir_, nullptr) << error->message;
    path_ = std::string(dir_) + "/params.db";
    g_setenv("PARAM_STORE_PATH", path_.c_str(), TRUE);
    param_store_testing_reset();
  }

  void TearDown() override {
    param_store_testing_reset();
    param_store_testing_close_connection();
    g_autofree char *cmd = g_strdup_printf("rm -rf '%s'", dir_);
    ASSERT_EQ(system(cmd), 0);
    g_free(dir_);
  }

public:
  static int32_t set(const char *name, const char *value) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_setCustomParam(name, value, &options, &error);
    return error;
  }

  static std::optional<std::string> get(const char *name) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    g_autofree char *value = cli_getCustomParam(name, &options, &error);
    if (error != 0)
      return std::nullopt;
    return std::string(value ? value : "(null)");
  }

  /* Own names of the children of `group`, in enumeration order; nullopt
   * when the open or a step sets the error word. */
  static std::optional<std::vector<std::string>> children(const char *group) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_GroupContext *ctx = cli_getChildGroupsInGroup(group, &options, &error);
    std::vector<std::string> names;
    while (error == 0) {
      cli_getChildGroupInGroup(ctx, &options, &error);
      if (error != 0 || ctx->end)
        break;
      names.emplace_back(ctx->name);
    }
    cli_cleanupGroupContext(ctx);
    if (error != 0)
      return std::nullopt;
    return names;
  }

  static int32_t delete_group(const char *group) {
    cli_Options options;
    cli_resetOptions(&options);
    int32_t error = 0;
    cli_deleteGroup(group, &options, &error);
    return error;
  }

protected:
  char *dir_ = nullptr;
  std::string path_;
};

using Names = std::vector<std::string>;
