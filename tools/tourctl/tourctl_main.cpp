#include "tourctl.h"

#include <array>
#include <cstdio>
#include <set>
#include <string_view>

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

std::optional<int> tour_arg(const std::string &word) {
  const auto id = parse_int(word, 0, INT32_MAX);
  if (!id)
    complain("TOUR must be a tour number of 0 or more, not \"%s\"", tour_text_escape(word).c_str());
  return id;
}

Exit tour_method(Request request, const Line &line) {
  const auto id = tour_arg(line.words[0]);
  return id ? request_tour(request, *id) : Exit::Usage;
}

Exit camera_method(const char *method, const Line &line) {
  const auto camera = parse_int(line.words[0], 1, kCameraCount);
  if (!camera) {
    complain("CAMERA must be a camera number from 1 to %d, not \"%s\"", kCameraCount,
             tour_text_escape(line.words[0]).c_str());
    return Exit::Usage;
  }
  g_autoptr(GDBusConnection) bus = daemon_bus();
  if (!bus)
    return Exit::Failure;
  return bus_call(bus, "com.vorn.PresetTourController", method, g_variant_new("(i)", *camera));
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
  return request_tour(value == "yes" ? Request::Play : Request::Stop, *id, true);
}

Exit run_edit(const Line &line) {
  const auto id = tour_arg(line.words[0]);
  if (!id)
    return Exit::Usage;
  if (line.words.size() == 1)
    return store_edit_tour(*id, line.options);
  const auto point = parse_int(line.words[1], 0, INT32_MAX);
  if (!point) {
    complain("POINT must be a point number of 0 or more, not \"%s\"",
             tour_text_escape(line.words[1]).c_str());
    return Exit::Usage;
  }
  return store_edit_point(*id, *point, line.options);
}

Exit run_remove(const Line &line) {
  const auto id = tour_arg(line.words[0]);
  if (!id)
    return Exit::Usage;
  const bool stop = line.options.contains("stop");
  if (line.words.size() == 1)
    return store_remove(*id, std::nullopt, stop);
  const auto point = parse_int(line.words[1], 0, INT32_MAX);
  if (!point) {
    complain("POINT must be a point number of 0 or more, not \"%s\"",
             tour_text_escape(line.words[1]).c_str());
    return Exit::Usage;
  }
  return store_remove(*id, point, stop);
}

constexpr std::array kCommands = {
    Command{"play", "play TOUR", "start playing a tour", 1, 1, {},
            [](const Line &l) { return tour_method(Request::Play, l); }},
    Command{"stop", "stop TOUR", "stop a tour", 1, 1, {},
            [](const Line &l) { return tour_method(Request::Stop, l); }},
    Command{"pause", "pause TOUR", "pause a playing tour", 1, 1, {},
            [](const Line &l) { return tour_method(Request::Pause, l); }},
    Command{"resume", "resume TOUR", "resume a paused tour", 1, 1, {},
            [](const Line &l) { return tour_method(Request::Resume, l); }},
    Command{"block", "block CAMERA", "stop the camera's tour and refuse plays on it", 1, 1, {},
            [](const Line &l) { return camera_method("BlockPlayback", l); }},
    Command{"unblock", "unblock CAMERA", "allow plays on the camera again", 1, 1, {},
            [](const Line &l) { return camera_method("UnblockPlayback", l); }},
    Command{"running", "running yes|no TOUR", "report a tour's running state to patrold", 2, 2,
            {}, run_running},
    Command{"status", "status [--json]", "show what every camera's tour is doing", 0, 0,
            {"json"}, [](const Line &l) { return run_status(l.options.contains("json")); }},
    Command{"watch", "watch", "show the status, redrawn as it changes, until Ctrl-C", 0, 0, {},
            [](const Line &) { return run_watch(); }},
    Command{"list", "list", "list every tour", 0, 0, {}, [](const Line &) { return view_list(); }},
    Command{"show", "show TOUR", "show a tour's points in visiting order", 1, 1, {},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              return id ? view_show(*id) : Exit::Usage;
            }},
    Command{"add",
            "add --camera N [--name TEXT] [--random yes|no] [--pause MINUTES] [--id TOUR]",
            "create a tour; prints its number",
            0, 0, {"camera", "name", "random", "pause", "id"},
            [](const Line &l) { return store_add_tour(l.options); }},
    Command{"add-point",
            "add-point TOUR --preset N [--position N] [--speed N] [--wait N] "
            "[--unit Minutes|Seconds]",
            "append a point to a tour; prints its number",
            1, 1, {"preset", "position", "speed", "wait", "unit"},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              return id ? store_add_point(*id, l.options) : Exit::Usage;
            }},
    Command{"edit",
            "edit TOUR [--camera N [--stop]] [--name TEXT] [--random yes|no] [--pause MINUTES]\n"
            "       tourctl edit TOUR POINT [--preset N] [--position N] [--speed N] [--wait N] "
            "[--unit Minutes|Seconds]",
            "change a tour or one of its points",
            1, 2,
            {"camera", "name", "random", "pause", "preset", "position", "speed", "wait", "unit",
             "stop"},
            run_edit},
    Command{"remove", "remove TOUR [POINT] [--stop]", "delete a tour, or one point of it", 1, 2,
            {"stop"}, run_remove},
    Command{"schedule", "schedule TOUR 'WINDOWS' | schedule TOUR --clear",
            "set or clear a tour's weekly timetable (see patrold-tours(5))", 1, 2, {"clear"},
            [](const Line &l) {
              const auto id = tour_arg(l.words[0]);
              if (id && (l.words.size() == 2) == l.options.contains("clear")) {
                complain("give either WINDOWS or --clear");
                return Exit::Usage;
              }
              return id ? run_schedule(*id, l.words.size() == 2 ? std::optional(l.words[1])
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

void print_usage(FILE *out) {
  std::fputs("usage: tourctl COMMAND [ARGS]   (tourctl COMMAND --help for details)\n", out);
  for (const Command &command : kCommands)
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
}

void print_command_help(const Command &command) {
  std::printf("usage: tourctl %s\n%s.\n", command.usage, command.summary);
}

Exit usage_error(const Command &command, const char *what) {
  complain("%s", what);
  std::fprintf(stderr, "usage: tourctl %s\n", command.usage);
  return Exit::Usage;
}

/* Edit's point options only make sense with a POINT, and its tour options
 * only without one. */
bool options_fit_edit(const Line &line) {
  static const std::set<std::string> point_options = {"preset", "position", "speed", "wait",
                                                      "unit"};
  const bool with_point = line.words.size() == 2;
  if (line.options.contains("stop") && !line.options.contains("camera")) {
    complain("--stop goes with --camera: it stops a tour before moving it");
    return false;
  }
  for (const auto &[option, value] : line.options) {
    if (point_options.contains(option) != with_point) {
      complain("--%s applies to %s", option.c_str(), with_point ? "a tour" : "a point");
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
  const Command *command = nullptr;
  for (const Command &candidate : kCommands)
    if (name == candidate.name)
      command = &candidate;
  if (!command) {
    complain("unknown command \"%s\"", tour_text_escape(argv[1]).c_str());
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
    std::string value;
    if (kFlags.contains(option)) {
      value = "yes";
    } else if (const auto eq = option.find('='); eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      const std::string what = "--" + option + " needs a value";
      return usage_error(*command, what.c_str());
    }
    if (!option_allowed(*command, option)) {
      const std::string what = "unknown option --" + tour_text_escape(option);
      return usage_error(*command, what.c_str());
    }
    line.options[option] = value;
  }
  if (line.words.size() < command->min_words || line.words.size() > command->max_words)
    return usage_error(*command, "wrong number of arguments");
  if (name == "edit" && line.options.size() == line.options.count("stop"))
    return usage_error(*command, "nothing to change");
  if (name == "edit" && !options_fit_edit(line))
    return Exit::Usage;
  return command->run(line);
}

} // namespace
} // namespace tourctl

int main(int argc, char **argv) { return static_cast<int>(tourctl::dispatch(argc, argv)); }
