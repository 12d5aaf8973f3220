/*
 * LD_PRELOAD shim that counts a program's parameter store calls.
 *
 * It stands in front of whichever cli_ library the program links (the
 * stand-in here, a vendor's library on a device), counts each call and
 * forwards it. At exit it writes "NAME COUNT" lines to the file named by
 * STORE_CALLS_FILE. The counters are plain atomics with no destructor, so
 * they are still valid when the library's own statics are already gone.
 */
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>

#include "param_store.h"

namespace {

enum Call {
  ResetOptions,
  Sync,
  GetCustomParam,
  SetCustomParam,
  GetChildGroups,
  GetChildGroup,
  CleanupGroupContext,
  DeleteGroup,
  CallCount,
};

constexpr const char *kNames[CallCount] = {
    "cli_resetOptions",          "cli_sync",
    "cli_getCustomParam",        "cli_setCustomParam",
    "cli_getChildGroupsInGroup", "cli_getChildGroupInGroup",
    "cli_cleanupGroupContext",   "cli_deleteGroup",
};

std::atomic<long> counts[CallCount];

template <typename Fn> Fn next(Call call) {
  ++counts[call];
  static void *resolved[CallCount];
  // Benign race: every thread resolves the same address.
  void *fn = __atomic_load_n(&resolved[call], __ATOMIC_ACQUIRE);
  if (!fn) {
    fn = dlsym(RTLD_NEXT, kNames[call]);
    if (!fn)
      std::abort();
    __atomic_store_n(&resolved[call], fn, __ATOMIC_RELEASE);
  }
  return reinterpret_cast<Fn>(fn);
}

__attribute__((destructor)) void write_counts() {
  const char *path = std::getenv("STORE_CALLS_FILE");
  if (!path)
    return;
  FILE *out = std::fopen(path, "w");
  if (!out)
    return;
  for (int i = 0; i < CallCount; ++i)
    std::fprintf(out, "%s %ld\n", kNames[i], counts[i].load());
  std::fclose(out);
}

} // namespace

extern "C" {

void cli_resetOptions(cli_Options *options) {
  next<decltype(&cli_resetOptions)>(ResetOptions)(options);
}

void cli_sync(cli_Options *options, int32_t *error) {
  next<decltype(&cli_sync)>(Sync)(options, error);
}

char *cli_getCustomParam(const char *name, cli_Options *options,
                         int32_t *error) {
  return next<decltype(&cli_getCustomParam)>(GetCustomParam)(name, options,
                                                             error);
}

void cli_setCustomParam(const char *name, const char *value,
                        cli_Options *options, int32_t *error) {
  next<decltype(&cli_setCustomParam)>(SetCustomParam)(name, value, options,
                                                      error);
}

cli_GroupContext *cli_getChildGroupsInGroup(const char *group,
                                            cli_Options *options,
                                            int32_t *error) {
  return next<decltype(&cli_getChildGroupsInGroup)>(GetChildGroups)(
      group, options, error);
}

void cli_getChildGroupInGroup(cli_GroupContext *context, cli_Options *options,
                              int32_t *error) {
  next<decltype(&cli_getChildGroupInGroup)>(GetChildGroup)(context, options,
                                                           error);
}

void cli_cleanupGroupContext(cli_GroupContext *context) {
  next<decltype(&cli_cleanupGroupContext)>(CleanupGroupContext)(context);
}

void cli_deleteGroup(const char *group, cli_Options *options, int32_t *error) {
  next<decltype(&cli_deleteGroup)>(DeleteGroup)(group, options, error);
}

} // extern "C"
