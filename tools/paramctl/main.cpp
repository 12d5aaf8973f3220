/*
 * paramctl: reads and writes the parameter store from the command line.
 * Exit 0 on success, 1 when the command fails, 2 on a usage error.
 */
#include "paramctl.h"

#include <cstdio>
#include <cstring>

#include <glib.h>

namespace {

bool reported = false;

/* The store library says what went wrong through GLib's log; shown as
 * paramctl's own message rather than in GLib's debugging format. */
void store_log(const char *, GLogLevelFlags level, const char *message,
               gpointer) {
  if (level & G_LOG_LEVEL_DEBUG)
    return;
  std::fprintf(stderr, "paramctl: %s\n", message);
  reported = true;
}

constexpr const char *kUsageLine =
    "usage: paramctl get NAME | set NAME=VALUE... | list [GROUP] | "
    "delete GROUP | import [FILE]\n";

constexpr const char *kHelp =
    "Reads and writes the parameter store (PARAM_STORE_PATH).\n"
    "\n"
    "  get NAME              print the value of NAME\n"
    "  set NAME=VALUE...     write the pairs in one transaction\n"
    "  list [GROUP]          print NAME=VALUE for every parameter under GROUP\n"
    "  delete GROUP          remove GROUP and everything under it\n"
    "  import [FILE]         write the NAME=VALUE lines of FILE (or stdin)\n"
    "                        in one transaction; blank and '#' lines skipped\n"
    "\n"
    "get and list print, and import reads, names and values escaped:\n"
    "\\\\, \\n, \\r, \\t and \\xHH for other control or invalid bytes.\n"
    "A changed root.RezazErar.G<n>.Running value is announced to the guard\n"
    "tour daemon on the system bus.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

struct Command {
  const char *name;
  int (*run)(const std::vector<std::string> &);
};

constexpr Command kCommands[] = {
    {"get", paramctl::cmd_get},       {"set", paramctl::cmd_set},
    {"list", paramctl::cmd_list},     {"delete", paramctl::cmd_delete},
    {"import", paramctl::cmd_import},
};

} // namespace

bool paramctl::store_reported() { return reported; }

int paramctl::usage_error() {
  std::fputs(kUsageLine, stderr);
  return paramctl::kUsage;
}

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 ||
                    std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsageLine, stdout);
    std::fputs(kHelp, stdout);
    return paramctl::kOk;
  }
  if (argc < 2)
    return paramctl::usage_error();
  g_log_set_handler(G_LOG_DOMAIN,
                    static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK |
                                                G_LOG_FLAG_FATAL |
                                                G_LOG_FLAG_RECURSION),
                    store_log, nullptr);
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command &c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0)
      return c.run(args);
  return paramctl::usage_error();
}
