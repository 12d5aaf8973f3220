#include "tourctl.h"

#include <syslog.h>

#include <array>
#include <cstdio>
#include <set>
#include <string_view>

#ifndef PATROLD_VERSION
#error "PATROLD_VERSION must give the version tourctl reports"
#endif
#ifndef PARAM_STORE_DEFAULT_PATH
#error                                                                         \
    "PARAM_STORE_DEFAULT_PATH must name the store file used without PARAM_STORE_PATH"
#endif

namespace tourctl {

namespace {

/* One parsed command line: positional words and named options. */
struct Line {
  std::vector<std::string> words;
  Options options;
};

using Run = Exit (*)(const Line &);

struct Command {
  const char *name;
  const char *usage;
  const char *summary;
  size_t min_words;
  size_t max_words;
  std::array<const char *, 10> options; /* allowed option names */
  Run run;
};

/* A TOUR or POINT argument. */
std::optional<int> number_arg(const char *what, const std::string &word) {
  const auto id = parse_int(word, 0, INT32_MAX);
  if (!id)
    complain("%s must be a %s number from 0 to %d, not \"%s\"", what,
             what[0] == 'T' ? "tour" : "point", INT32_MAX,
             tour_text_bounded(word, 64).c_str());
  return id;
}

std::optional<int> tour_arg(const std::string &word) {
  return number_arg("TOUR", word);
}

Exit tour_method(Request request, const Line &line) {
  const auto id = tour_arg(line.words[0]);
  return id ? request_tour(request, *id) : Exit::Usage;
}

Exit camera_method(const char *method, const Line &line) {
  const auto camera = parse_int(line.words[0], 1, kCameraCount);
  if (!camera) {
    complain("CAMERA must be a camera number from 1 to %d, not \"%s\"",
             kCameraCount, tour_text_bounded(line.words[0], 64).c_str());
    return Exit::Usage;
  }
  return request_block(std::string_view(method) == "block", *camera);
}

Exit run_running(const Line &line) {
  const std::string &value = line.words[0];
  if (value != "yes" && value != "no") {
    complain("the running state must be \"yes\" or \"no\", not \"%s\"",
             tour_text_escape(value).c_str());
    return Exit::Usage;
  }
  const auto id = tour_arg(line.words[1]);
  if (!id)
    return Exit::Usage;
  return request_tour(value == "yes" ? Request::Play : Request::Stop, *id,
                      true);
}

Exit run_edit(const Line &line) {
  const auto id = tour_arg(line.words[0]);
  if (!id)
    return Exit::Usage;
  if (line.words.size() == 1)
    return store_edit_tour(*id, line.options);
  const auto point = number_arg("POINT", line.words[1]);
  if (!point)
    return Exit::Usage;
  return store_edit_point(*id, *point, line.options);
}

Exit run_remove(const Line &line) {
  const auto id = tour_arg(line.words[0]);
  if (!id)
    return Exit::Usage;
  const bool stop = line.options.contains("stop");
  if (line.words.size() == 1)
    return store_remove(*id, std::nullopt, stop);
  const auto point = number_arg("POINT", line.words[1]);
  if (!point)
    return Exit::Usage;
  return store_remove(*id, point, stop);
}

constexpr std::array kCommands = {
    Command{"play",
            "play TOUR",
            "start playing a tour",
            1,
            1,
            {},
            [](const Line &l) { return tour_method(Request::Play, l); }},
    Command{"stop",
            "stop TOUR",
            "stop a tour",
            1,
            1,
            {},
            [](const Line &l) { return tour_method(Request::Stop, l); }},
    Command{"pause",
            "pause TOUR",
            "pause a playing tour",
            1,
            1,
            {},
            [](const Line &l) { return tour_method(Request::Pause, l); }},
    Command{"resume",
            "resume TOUR",
            "resume a paused tour",
            1,
            1,
            {},
            [](const Line &l) { return tour_method(Request::Resume, l); }},
    Command{"block",
            "block CAMERA",
            "stop the camera's tour and refuse plays on it",
            1,
            1,
            {},
            [](const Line &l) { return camera_method("block", l); }},
    Command{"unblock",
            "unblock CAMERA",
            "allow plays on the camera again",
            1,
            1,
            {},
            [](const Line &l) { return camera_method("unblock", l); }},
    Command{"running",
            "running yes|no TOUR",
            "report a tour's running state to patrold",
            2,
            2,
            {},
            run_running},
    Command{
        "status",
        "status [--json]",
        "show what every camera's tour is doing",
        0,
        0,
        {"json"},
        [](const Line &l) { return run_status(l.options.contains("json")); }},
    Command{"watch",
            "watch",
            "show the status, redrawn as it changes, until Ctrl-C",
            0,
            0,
            {},
            [](const Line &) { return run_watch(); }},
    Command{
        "list",
        "list [--json]",
        "list every tour",
        0,
        0,
        {"json"},
        [](const Line &l) { return view_list(l.options.contains("json")); }},
    Command{"show",
            "show TOUR [--json]",
            "show a tour's points as patrold plays them",
            1,
            1,
            {"json"},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              return id ? view_show(*id, l.options.contains("json"))
                        : Exit::Usage;
            }},
    Command{
        "check",
        "check [--json]",
        "list every problem patrold would meet in the tours",
        0,
        0,
        {"json"},
        [](const Line &l) { return run_check(l.options.contains("json")); }},
    Command{"add",
            "add --camera N [--name TEXT] [--random yes|no] [--pause MINUTES] "
            "[--id TOUR]",
            "create a tour; prints its number",
            0,
            0,
            {"camera", "name", "random", "pause", "id"},
            [](const Line &l) { return store_add_tour(l.options); }},
    Command{"add-point",
            "add-point TOUR --preset N [--position N] [--speed N] [--wait N] "
            "[--unit Minutes|Seconds]",
            "append a point to a tour; prints its number",
            1,
            1,
            {"preset", "position", "speed", "wait", "unit"},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              return id ? store_add_point(*id, l.options) : Exit::Usage;
            }},
    Command{"edit",
            "edit TOUR [--camera N [--stop]] [--name TEXT] [--random yes|no] "
            "[--pause MINUTES]\n"
            "       tourctl edit TOUR POINT [--preset N] [--position N] "
            "[--speed N] [--wait N] "
            "[--unit Minutes|Seconds]",
            "change a tour or one of its points",
            1,
            2,
            {"camera", "name", "random", "pause", "preset", "position", "speed",
             "wait", "unit", "stop"},
            run_edit},
    Command{"remove",
            "remove TOUR [POINT] [--stop]",
            "delete a tour, or one point of it",
            1,
            2,
            {"stop"},
            run_remove},
    Command{"schedule",
            "schedule TOUR 'WINDOWS' | schedule TOUR --clear",
            "set or clear a tour's weekly timetable (see patrold-tours(5))",
            1,
            2,
            {"clear"},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              if (id && (l.words.size() == 2) == l.options.contains("clear")) {
                complain("give either WINDOWS or --clear");
                return Exit::Usage;
              }
              return id ? run_schedule(*id, l.words.size() == 2
                                                ? std::optional(l.words[1])
                                                : std::nullopt)
                        : Exit::Usage;
            }},
};

/* Options that take no value. */
const std::set<std::string> kFlags = {"json", "stop", "clear"};

bool option_allowed(const Command &command, std::string_view option) {
  for (const char *allowed : command.options)
    if (allowed && option == allowed)
      return true;
  return false;
}

constexpr const char *kRanges =
    "TOUR and POINT are numbers from 0 to 2147483647, CAMERA from 1 to 8; "
    "--speed 1 to 100,\n"
    "--pause 0 to 10080 minutes, --wait up to a week (604800 s or 10080 "
    "min).\n";

void print_usage(FILE *out) {
  std::fputs(
      "usage: tourctl COMMAND [ARGS]   (tourctl COMMAND --help for details)\n",
      out);
  for (const Command &command : kCommands)
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  std::fprintf(out,
               "%s"
               "Environment: DBUS_SYSTEM_BUS_ADDRESS, the bus patrold is on;\n"
               "PARAM_STORE_PATH, the store file (else %s).\n"
               "Exit status 0 done, 1 failed or refused, 2 usage error.\n"
               "See tourctl(1) and patrold-tours(5).\n",
               kRanges, PARAM_STORE_DEFAULT_PATH);
}

void print_command_help(const Command &command) {
  std::printf("usage: tourctl %s\n%s.\n%sSee tourctl(1).\n", command.usage,
              command.summary, kRanges);
}

Exit usage_error(const Command &command, const char *what) {
  complain("%s", what);
  std::fprintf(stderr, "usage: tourctl %s\n", command.usage);
  return Exit::Usage;
}

/* Edit's point options only make sense with a POINT, and its tour options
 * only without one. */
bool options_fit_edit(const Line &line) {
  static const std::set<std::string> point_options = {"preset", "position",
                                                      "speed", "wait", "unit"};
  const bool with_point = line.words.size() == 2;
  if (line.options.contains("stop") && !line.options.contains("camera")) {
    complain("--stop goes with --camera: it stops a tour before moving it");
    return false;
  }
  for (const auto &[option, value] : line.options) {
    if (point_options.contains(option) != with_point) {
      complain("--%s applies to %s", option.c_str(),
               with_point ? "a tour" : "a point");
      return false;
    }
  }
  return true;
}

Exit dispatch(int argc, char **argv) {
  if (argc < 2) {
    print_usage(stderr);
    return Exit::Usage;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    print_usage(stdout);
    return Exit::Ok;
  }
  if (name == "--version") {
    std::printf("tourctl (patrold) %s\n", PATROLD_VERSION);
    return Exit::Ok;
  }
  const Command *command = nullptr;
  for (const Command &candidate : kCommands)
    if (name == candidate.name)
      command = &candidate;
  if (!command) {
    complain("unknown command \"%s\"", tour_text_bounded(argv[1], 64).c_str());
    print_usage(stderr);
    return Exit::Usage;
  }
  Line line;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_command_help(*command);
      return Exit::Ok;
    }
    if (!arg.starts_with("--")) {
      line.words.emplace_back(arg);
      continue;
    }
    std::string option(arg.substr(2));
    std::optional<std::string> value;
    if (const auto eq = option.find('='); eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
    }
    if (!option_allowed(*command, option)) {
      const std::string what =
          "unknown option --" + tour_text_bounded(option, 64);
      return usage_error(*command, what.c_str());
    }
    if (kFlags.contains(option)) {
      if (value) {
        const std::string what = "--" + option + " takes no value";
        return usage_error(*command, what.c_str());
      }
      value = "yes";
    } else if (!value && i + 1 < argc) {
      value = argv[++i];
    } else if (!value) {
      const std::string what = "--" + option + " needs a value";
      return usage_error(*command, what.c_str());
    }
    line.options[option] = *value;
  }
  if (line.words.size() < command->min_words ||
      line.words.size() > command->max_words)
    return usage_error(*command, "wrong number of arguments");
  if (name == "edit" && line.options.size() == line.options.count("stop"))
    return usage_error(*command, "nothing to change");
  if (name == "edit" && !options_fit_edit(line))
    return Exit::Usage;
  return command->run(line);
}

} // namespace
} // namespace tourctl

/* tourctl tells every problem in its own words: the store library's GLib
 * warnings would repeat it under another name, and the parameter module's
 * syslog lines are the daemon's to write. Criticals still show. */
static void drop_message(const char *, GLogLevelFlags, const char *, gpointer) {
}

int main(int argc, char **argv) {
  g_log_set_handler(G_LOG_DOMAIN,
                    GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE |
                                   G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
                    drop_message, nullptr);
  setlogmask(LOG_MASK(LOG_EMERG));
  return static_cast<int>(tourctl::dispatch(argc, argv));
}
