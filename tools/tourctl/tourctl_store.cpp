/*
 * tourctl's store side, on the platform calls of param_store.h alone (and
 * the daemon's parameter module, which makes the same calls): the raw
 * leaves for showing and checking, and the plan a play would load.
 *
 * A missing store is never created by reading it: every command but `add`
 * needs the store file to exist, and `add` needs its folder to.
 */
#include "tourctl.h"

#include "param_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#ifndef PARAM_STORE_DEFAULT_PATH
#error                                                                         \
    "PARAM_STORE_DEFAULT_PATH must name the store file used without PARAM_STORE_PATH"
#endif

namespace tourctl {

namespace {

constexpr std::array kTourLeaves = {"Name",          "CamNbr",
                                    "RandomEnabled", "TimeBetweenSequences",
                                    "Running",       "Schedule"};
constexpr std::array kPointLeaves = {"PresetNbr", "Position", "MoveSpeed",
                                     "WaitTime", "WaitTimeViewType"};

/* One operation's options record and error word, as patrold keeps them.
 * Made only once store_present() has said the file may be opened. */
struct Session {
  cli_Options options{};
  int32_t error = 0;
  Session() {
    cli_resetOptions(&options);
    cli_sync(&options, &error);
  }
};

/* The store file, for messages: the stand-in's PARAM_STORE_PATH rule. */
std::string store_file() {
  const char *path = g_getenv("PARAM_STORE_PATH");
  return path ? path : PARAM_STORE_DEFAULT_PATH;
}

bool looks_like_store(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || st.st_size == 0)
    return true; /* SQLite takes an empty file as an empty database */
  static constexpr char kMagic[] = "SQLite format 3";
  char head[sizeof kMagic] = {};
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file)
    return true; /* unreadable: the permission check says so */
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  return got == sizeof head && std::memcmp(head, kMagic, sizeof head) == 0;
}

/* Why the store could not be used: file and reason, from what the file
 * system shows; the error word when it shows nothing wrong. */
std::string store_problem(bool writing, int32_t error) {
  const char *variable = g_getenv("PARAM_STORE_PATH");
  if (variable && !*variable)
    return "PARAM_STORE_PATH is set but empty";
  const std::string path = store_file();
  g_autofree char *folder = g_path_get_dirname(path.c_str());
  struct stat st {};
  if (stat(folder, &st) != 0)
    return path + ": folder " + folder + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode))
    return path + ": " + folder + " is not a folder";
  const int mode = writing ? R_OK | W_OK : R_OK;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode))
      return path + ": not a regular file";
    if (access(path.c_str(), mode) != 0)
      return path + ": " + std::strerror(errno);
    if (!looks_like_store(path))
      return path + ": not a parameter store";
    for (const char *suffix : {"-wal", "-shm"}) {
      const std::string side = path + suffix;
      if (access(side.c_str(), F_OK) == 0 && access(side.c_str(), mode) != 0)
        return side + ": " + std::strerror(errno);
    }
  }
  /* A missing file is created, and the journal files always are. */
  if ((writing || access(path.c_str(), F_OK) != 0) && access(folder, W_OK) != 0)
    return path + ": folder " + folder + ": " + std::strerror(errno);
  return path + ": the store refused the request (error " +
         std::to_string(error) + ")";
}

void store_failed(bool writing, int32_t error) {
  complain("cannot %s the parameter store: %s", writing ? "write" : "read",
           store_problem(writing, error).c_str());
}

/* Whether the store file exists; else a message, unless `may_create` and
 * its folder exists (the store library would otherwise create both). */
bool store_present(bool may_create) {
  const char *variable = g_getenv("PARAM_STORE_PATH");
  if (variable && !*variable) {
    complain(
        "cannot use the parameter store: PARAM_STORE_PATH is set but empty");
    return false;
  }
  const std::string path = store_file();
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 || errno != ENOENT)
    return true; /* anything else wrong is told when the store refuses */
  g_autofree char *folder = g_path_get_dirname(path.c_str());
  if (!may_create) {
    complain("cannot read the parameter store: %s: no such file (no tour was "
             "ever added)",
             path.c_str());
    return false;
  }
  const bool found = stat(folder, &st) == 0;
  if (!found || !S_ISDIR(st.st_mode)) {
    complain("cannot write the parameter store: %s: folder %s: %s",
             path.c_str(), folder,
             found ? "not a folder" : std::strerror(errno));
    return false;
  }
  return true;
}

/* The children of `group` in enumeration order; none when it has none or
 * cannot be enumerated. */
std::vector<std::string> children(Session &session, const std::string &group) {
  std::vector<std::string> names;
  int32_t error = 0;
  cli_GroupContext *context =
      cli_getChildGroupsInGroup(group.c_str(), &session.options, &error);
  while (error == 0 && context) {
    cli_getChildGroupInGroup(context, &session.options, &error);
    if (error != 0 || context->end)
      break;
    names.emplace_back(context->name ? context->name : "");
  }
  cli_cleanupGroupContext(context);
  return names;
}

/* The number patrold scans from a child named `prefix` and a number;
 * nullopt when the name fails patrold's listing. */
std::optional<int32_t> child_number(const std::string &name,
                                    const char *prefix) {
  int32_t number = 0;
  if (tour_confhub_scan_number(name.c_str(), prefix, &number) != 0)
    return std::nullopt;
  return number;
}

template <size_t N>
Values read_leaves(Session &session, const std::string &group,
                   const std::array<const char *, N> &leaves) {
  Values values;
  for (const char *leaf : leaves) {
    int32_t error = 0;
    const std::string name = group + "." + leaf;
    g_autofree char *value =
        cli_getCustomParam(name.c_str(), &session.options, &error);
    if (error == 0 && value)
      values[leaf] = value;
  }
  return values;
}

std::string tour_group(int tour_id) {
  return std::string(TOUR_ROOT_GROUP) + ".G" + std::to_string(tour_id);
}

std::string point_group(int tour_id, int point_id) {
  return tour_group(tour_id) + ".Tour.T" + std::to_string(point_id);
}

Tour read_tour(Session &session, int32_t tour_id, const std::string &group) {
  Tour tour{.id = tour_id,
            .group = group,
            .values = read_leaves(session, tour_group(tour_id), kTourLeaves)};
  TourPlan plan;
  if (tour_confhub_read_plan(tour_id, &plan, &tour.failure,
                             &tour.failed_point) == 0)
    tour.plan = std::move(plan);
  for (const std::string &name :
       children(session, tour_group(tour_id) + ".Tour")) {
    const auto point_id = child_number(name, "T");
    if (!point_id || *point_id < 0) {
      tour.stray.push_back(name);
      continue;
    }
    if (std::none_of(tour.points.begin(), tour.points.end(),
                     [&](const Point &p) { return p.id == *point_id; }))
      tour.points.push_back(
          {*point_id, read_leaves(session, point_group(tour_id, *point_id),
                                  kPointLeaves)});
  }
  return tour;
}

/* ---- writing ---- */

using Writes = std::vector<std::pair<std::string, std::string>>;

/* Writes each pair with its own call, as the platform has no batch. When a
 * write fails, the values written before it are put back and `undo` runs,
 * so a failure leaves the tour as it was. */
Exit commit(const Writes &writes,
            const std::function<void(Session &)> &undo = {}) {
  if (!store_present(true))
    return Exit::Failure;
  Session session;
  if (session.error != 0) {
    store_failed(true, session.error);
    return Exit::Failure;
  }
  session.options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
  Writes restore;
  for (const auto &[name, value] : writes) {
    int32_t error = 0;
    g_autofree char *before =
        cli_getCustomParam(name.c_str(), &session.options, &error);
    if (error == 0 && before)
      restore.emplace_back(name, before);
    error = 0;
    cli_setCustomParam(name.c_str(), value.c_str(), &session.options, &error);
    if (error == 0)
      continue;
    store_failed(true, error);
    for (const auto &[old_name, old_value] : restore) {
      int32_t ignored = 0;
      cli_setCustomParam(old_name.c_str(), old_value.c_str(), &session.options,
                         &ignored);
    }
    if (undo)
      undo(session);
    return Exit::Failure;
  }
  cli_sync(&session.options, &session.error);
  return Exit::Ok;
}

void delete_group(Session &session, const std::string &group) {
  int32_t ignored = 0;
  cli_deleteGroup(group.c_str(), &session.options, &ignored);
}

/* One option of a command: its flag, the parameter leaf it writes and the
 * rule its value must follow. */
enum class Rule : uint8_t { Camera, Count, Speed, Pause, YesNo, Unit, Text };

struct Field {
  const char *option;
  const char *leaf;
  Rule rule;
};

constexpr std::array kTourFields = {
    Field{"name", "Name", Rule::Text},
    Field{"camera", "CamNbr", Rule::Camera},
    Field{"random", "RandomEnabled", Rule::YesNo},
    Field{"pause", "TimeBetweenSequences", Rule::Pause},
};

constexpr std::array kPointFields = {
    Field{"preset", "PresetNbr", Rule::Count},
    Field{"position", "Position", Rule::Count},
    Field{"speed", "MoveSpeed", Rule::Speed},
    Field{"wait", "WaitTime", Rule::Count},
    Field{"unit", "WaitTimeViewType", Rule::Unit},
};

bool valid(const Field &field, const std::string &value) {
  const std::string shown = tour_text_escape(value);
  switch (field.rule) {
  case Rule::Camera:
    if (parse_int(value, 1, kCameraCount))
      return true;
    complain("--%s must be a camera number from 1 to %d, not \"%s\"",
             field.option, kCameraCount, shown.c_str());
    return false;
  case Rule::Count:
    if (parse_int(value, 0, INT32_MAX))
      return true;
    complain("--%s must be a whole number from 0 to %d, not \"%s\"",
             field.option, INT32_MAX, shown.c_str());
    return false;
  case Rule::Speed:
    if (parse_int(value, TOUR_CONFHUB_SPEED_MIN, TOUR_CONFHUB_SPEED_MAX))
      return true;
    complain("--%s must be a speed from %d to %d, not \"%s\"", field.option,
             TOUR_CONFHUB_SPEED_MIN, TOUR_CONFHUB_SPEED_MAX, shown.c_str());
    return false;
  case Rule::Pause:
    if (parse_int(value, 0, kMaxPauseMinutes))
      return true;
    complain("--%s must be from 0 to %d minutes (a week), not \"%s\"",
             field.option, kMaxPauseMinutes, shown.c_str());
    return false;
  case Rule::YesNo:
    if (value == "yes" || value == "no")
      return true;
    complain("--%s must be \"yes\" or \"no\", not \"%s\"", field.option,
             shown.c_str());
    return false;
  case Rule::Unit:
    if (value == "Minutes" || value == "Seconds")
      return true;
    complain("--%s must be \"Minutes\" or \"Seconds\", not \"%s\"",
             field.option, shown.c_str());
    return false;
  case Rule::Text:
    if (!value.empty() && tour_text_is_plain(value))
      return true;
    complain("--%s must be non-empty text without control characters",
             field.option);
    return false;
  }
  return false;
}

/* Validates every option before anything is written, so a bad value leaves
 * the store as it was. Unknown options were refused by the caller. */
template <size_t N, typename NameOf>
std::optional<Writes> writes_for(const std::array<Field, N> &fields,
                                 const Options &options, NameOf name_of) {
  Writes writes;
  for (const Field &field : fields) {
    const auto it = options.find(field.option);
    if (it == options.end())
      continue;
    if (!valid(field, it->second))
      return std::nullopt;
    /* A number is stored as patrold's own writes store it: "050" as 50. */
    const auto number = parse_int(it->second, INT32_MIN, INT32_MAX);
    writes.emplace_back(name_of(field.leaf),
                        number ? std::to_string(*number) : it->second);
  }
  return writes;
}

/* The wait a point ends with must fit the documented maximum, in the unit
 * it ends with; either may come from the command or from the store. */
bool wait_fits(const Options &options, const Values &stored) {
  const auto option = [&](const char *name, const char *leaf,
                          const char *fallback) {
    const auto it = options.find(name);
    if (it != options.end())
      return it->second;
    const auto kept = stored.find(leaf);
    return kept != stored.end() ? kept->second : std::string(fallback);
  };
  const bool minutes =
      option("unit", "WaitTimeViewType", "Seconds") == "Minutes";
  int32_t wait_value = 0;
  const auto wait =
      tour_confhub_scan_number(option("wait", "WaitTime", "10").c_str(), "",
                               &wait_value) == 0
          ? std::optional<int32_t>(wait_value)
          : std::nullopt;
  const int limit = minutes ? kMaxDwellSeconds / 60 : kMaxDwellSeconds;
  if (!wait || *wait <= limit)
    return true;
  complain("a wait of %d %s is longer than a week (%d %s)", *wait,
           minutes ? "minutes" : "seconds", limit,
           minutes ? "minutes" : "seconds");
  return false;
}

/* Options that a new record cannot do without. */
bool has_required(const Options &options,
                  std::initializer_list<const char *> required) {
  for (const char *option : required) {
    if (!options.contains(option)) {
      complain("--%s is required", option);
      return false;
    }
  }
  return true;
}

/* Appends the defaults of leaves the command did not set. */
void add_defaults(
    Writes &writes, const std::string &group,
    std::initializer_list<std::pair<const char *, std::string>> defaults) {
  for (const auto &[leaf, value] : defaults) {
    const std::string name = group + "." + leaf;
    if (std::none_of(writes.begin(), writes.end(),
                     [&](const auto &w) { return w.first == name; }))
      writes.emplace_back(name, value);
  }
}

} // namespace

const Tour *Tours::find(int32_t id) const {
  for (const Tour &tour : tours)
    if (tour.id == id)
      return &tour;
  return nullptr;
}

namespace {

std::optional<Tours> load(bool may_be_missing) {
  if (!store_present(may_be_missing))
    return std::nullopt;
  Tours result;
  if (may_be_missing && access(store_file().c_str(), F_OK) != 0)
    return result; /* `add` of the first tour: nothing to read yet */
  Session session;
  if (session.error != 0) {
    store_failed(false, session.error);
    return std::nullopt;
  }
  for (const std::string &name : children(session, TOUR_ROOT_GROUP)) {
    const auto id = child_number(name, "G");
    if (!id) {
      result.stray.push_back(name);
      continue;
    }
    if (*id < 0)
      continue; /* listed, but never read by its number */
    /* patrold reads tour n from G<n> whatever the group's own spelling. */
    if (name != "G" + std::to_string(*id))
      result.aliases.emplace_back(name, *id);
    if (!result.find(*id))
      result.tours.push_back(read_tour(session, *id, name));
  }
  std::sort(result.tours.begin(), result.tours.end(),
            [](const Tour &a, const Tour &b) { return a.id < b.id; });
  return result;
}

} // namespace

std::optional<Tours> store_load() { return load(false); }

std::optional<int32_t> camera_of(const Tour *tour) {
  if (!tour)
    return std::nullopt;
  const auto camera = stored_int(tour->values, "CamNbr");
  if (!camera || *camera < 1 || *camera > kCameraCount)
    return std::nullopt;
  return camera;
}

std::optional<std::string> unplayable_reason(const Tour &tour) {
  if (!camera_of(&tour))
    return "its CamNbr is not a camera number from 1 to " +
           std::to_string(kCameraCount);
  switch (tour.failure) {
  case TourPlanFailure::NONE:
    return std::nullopt;
  case TourPlanFailure::PAUSE:
    return "its TimeBetweenSequences cannot be read";
  case TourPlanFailure::ORDER:
    return "its RandomEnabled cannot be read";
  case TourPlanFailure::POINT_LIST:
    if (!tour.stray.empty())
      return "its Tour group holds " +
             tour_text_bounded(tour.stray.front(), 64) +
             ", which is not a point";
    return tour.points.empty() ? "it has no points"
                               : "its points cannot be listed";
  case TourPlanFailure::POINT:
    break;
  }
  std::string leaf = "WaitTimeViewType";
  for (const Point &point : tour.points)
    if (point.id == tour.failed_point)
      for (const char *name :
           {"PresetNbr", "Position", "MoveSpeed", "WaitTime"})
        if (!stored_int(point.values, name)) {
          leaf = name;
          break;
        }
  return "the " + leaf + " of point T" + std::to_string(tour.failed_point) +
         " cannot be read";
}

const TourPlanPoint *wrapped_speed(const Tour &tour) {
  if (tour.plan)
    for (const TourPlanPoint &entry : tour.plan->points)
      if (!tour_confhub_speed_carried(entry.point.move_speed))
        return &entry;
  return nullptr;
}

Exit store_add_tour(const Options &options) {
  if (!has_required(options, {"camera"}))
    return Exit::Usage;
  std::optional<int> wanted;
  if (const auto it = options.find("id"); it != options.end()) {
    wanted = parse_int(it->second, 0, INT32_MAX);
    if (!wanted) {
      complain("--id must be a tour number from 0 to %d, not \"%s\"", INT32_MAX,
               tour_text_bounded(it->second, 64).c_str());
      return Exit::Usage;
    }
  }
  auto writes = writes_for(kTourFields, options,
                           [](const char *) { return std::string(); });
  if (!writes)
    return Exit::Usage;
  const auto tours = load(true);
  if (!tours)
    return Exit::Failure;
  if (wanted && tours->find(*wanted)) {
    complain("tour %d already exists", *wanted);
    return Exit::Failure;
  }
  const int tour_id = wanted                 ? *wanted
                      : tours->tours.empty() ? 1
                                             : tours->tours.back().id + 1;
  writes = writes_for(kTourFields, options, [&](const char *leaf) {
    return tour_group(tour_id) + "." + leaf;
  });
  /* A new tour is complete from the start: patrold refuses to play a tour
   * whose order or round pause it cannot read. */
  add_defaults(*writes, tour_group(tour_id),
               {{"Name", "Tour " + std::to_string(tour_id)},
                {"RandomEnabled", "no"},
                {"TimeBetweenSequences", "0"},
                {"Running", "no"}});
  if (commit(*writes, [&](Session &s) {
        delete_group(s, tour_group(tour_id));
      }) != Exit::Ok)
    return Exit::Failure;
  std::printf("%d\n", tour_id);
  return Exit::Ok;
}

Exit store_add_point(int tour_id, const Options &options) {
  if (!has_required(options, {"preset"}))
    return Exit::Usage;
  if (!writes_for(kPointFields, options,
                  [](const char *) { return std::string(); }) ||
      !wait_fits(options, {}))
    return Exit::Usage;
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = tours->find(tour_id);
  if (!tour) {
    complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  int point_id = 0;
  int position = 0;
  for (const Point &point : tour->points) {
    point_id = std::max(point_id, point.id + 1);
    position = std::max(position,
                        stored_int(point.values, "Position").value_or(0) + 1);
  }
  const std::string group = point_group(tour_id, point_id);
  auto writes = writes_for(kPointFields, options, [&](const char *leaf) {
    return group + "." + leaf;
  });
  /* Unless told otherwise, a new point comes last, moves at a middling
   * speed and stays ten seconds. */
  add_defaults(*writes, group,
               {{"Position", std::to_string(position)},
                {"MoveSpeed", "50"},
                {"WaitTime", "10"},
                {"WaitTimeViewType", "Seconds"}});
  if (commit(*writes, [&](Session &s) { delete_group(s, group); }) != Exit::Ok)
    return Exit::Failure;
  std::printf("%d\n", point_id);
  note_loaded_edit(*tour, "new point");
  return Exit::Ok;
}

Exit store_edit_tour(int tour_id, const Options &options) {
  const auto writes = writes_for(kTourFields, options, [&](const char *leaf) {
    return tour_group(tour_id) + "." + leaf;
  });
  if (!writes)
    return Exit::Usage;
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = tours->find(tour_id);
  if (!tour) {
    complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  if (const auto camera = options.find("camera"); camera != options.end()) {
    const Exit settled =
        settle_loaded_tour(*tour, parse_int(camera->second, 1, kCameraCount),
                           options.contains("stop"));
    if (settled != Exit::Ok)
      return settled;
  }
  if (commit(*writes) != Exit::Ok)
    return Exit::Failure;
  /* The status shows the name read when the tour was played. */
  note_loaded_edit(*tour, options.contains("name") ? "new name" : "change");
  return Exit::Ok;
}

Exit store_edit_point(int tour_id, int point_id, const Options &options) {
  const auto writes = writes_for(kPointFields, options, [&](const char *leaf) {
    return point_group(tour_id, point_id) + "." + leaf;
  });
  if (!writes)
    return Exit::Usage;
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = tours->find(tour_id);
  const auto point =
      tour ? std::find_if(tour->points.begin(), tour->points.end(),
                          [&](const Point &p) { return p.id == point_id; })
           : std::vector<Point>::const_iterator{};
  if (!tour || point == tour->points.end()) {
    if (tour)
      complain("tour %d has no point %d", tour_id, point_id);
    else
      complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  if (!wait_fits(options, point->values))
    return Exit::Usage;
  if (commit(*writes) != Exit::Ok)
    return Exit::Failure;
  note_loaded_edit(*tour, "change");
  return Exit::Ok;
}

Exit store_remove(int tour_id, std::optional<int> point_id, bool stop_first) {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = tours->find(tour_id);
  if (!tour) {
    complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  if (point_id &&
      std::none_of(tour->points.begin(), tour->points.end(),
                   [&](const Point &p) { return p.id == *point_id; })) {
    complain("tour %d has no point %d", tour_id, *point_id);
    return Exit::Failure;
  }
  if (!point_id) {
    const Exit settled = settle_loaded_tour(*tour, std::nullopt, stop_first);
    if (settled != Exit::Ok)
      return settled;
  }
  Session session;
  if (session.error == 0) {
    session.options.word[CLI_OPTIONS_WRITE_MODE] = CLI_WRITE_MODE_DURABLE;
    cli_deleteGroup(
        (point_id ? point_group(tour_id, *point_id) : tour_group(tour_id))
            .c_str(),
        &session.options, &session.error);
  }
  if (session.error != 0) {
    store_failed(true, session.error);
    return Exit::Failure;
  }
  if (point_id)
    note_loaded_edit(*tour, "removal");
  return Exit::Ok;
}

Exit store_set_leaf(int tour_id, const char *leaf, const std::string &value) {
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  if (!tours->find(tour_id)) {
    complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  return commit({{tour_group(tour_id) + "." + leaf, value}});
}

} // namespace tourctl
