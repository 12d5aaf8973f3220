/*
 * tourctl: the command line of patrold. Bus commands go to the running
 * daemon, after checking against the store and the daemon's live status
 * that they will do what the operator asked; tour editing goes straight to
 * the parameter store through the same platform calls the daemon uses
 * (param_store.h), so it works wherever patrold works.
 *
 * What patrold makes of a stored tour (its order, point numbering and
 * timing) is never worked out here: it comes from the daemon's own
 * parameter module (tour_confhub_read_plan). Names on the bus come from
 * patrold_names.h, and every stored text shown passes tour_text.h.
 *
 * Files: tourctl_main.cpp (command table, options), tourctl_store.cpp
 * (reading and writing the store), tourctl_values.cpp (arguments, output
 * helpers), tourctl_view.cpp (list, show), tourctl_check.cpp (check),
 * tourctl_status.cpp (status, watch), tourctl_checks.cpp (requests),
 * tourctl_bus.cpp (calls to patrold). Single-threaded.
 */
#pragma once

#include "patrold_names.h"
#include "tour_confhub.h"
#include "tour_status_record.h"
#include "tour_text.h"

#include <gio/gio.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tourctl {

enum class Exit : int { Ok = 0, Failure = 1, Usage = 2 };

constexpr int kCameraCount = IMAGE_SOURCES;
/* Longest dwell and round pause tourctl writes: a week. patrold's clock
 * counts seconds since boot in 32 bits; a week keeps every deadline far
 * inside it whatever the uptime. patrold-tours(5) documents it. */
constexpr int kMaxDwellSeconds = 7 * 24 * 3600;
constexpr int kMaxPauseMinutes = 7 * 24 * 60;

/* Named options of one command line, "--key value" or "--key=value". */
using Options = std::map<std::string, std::string>;
/* Leaf name -> stored text, for the leaves that could be read. */
using Values = std::map<std::string, std::string>;

/* ---- arguments and output (tourctl_values.cpp) ---- */

/* Strict decimal integer within [min, max] ("050" is 50). */
std::optional<int> parse_int(const std::string &text, int64_t min, int64_t max);
/* A stored leaf read as patrold reads a number ("%d", bounded to 32 bits). */
std::optional<int32_t> stored_int(const Values &values, const char *leaf);
/* The first word of a stored leaf, as patrold reads a text ("%s"). */
std::optional<std::string> stored_word(const Values &values, const char *leaf);
/* The stored text of a leaf, escaped and bounded for a message or cell. */
std::string stored_text(const Values &values, const char *leaf);
/* Prints "tourctl: <message>" on stderr. */
[[gnu::format(printf, 1, 2)]] void complain(const char *format, ...);
/* `text` (already passed through tour_text) as a JSON string. */
std::string json_string(std::string_view text);
/* `text` cut to `width` characters (ending with the cut mark when cut) and
 * padded to it, for a table cell. */
std::string cell(std::string_view text, size_t width);
/* A wall-clock time (microseconds since 1970): "HH:MM:SS" today, with the
 * date otherwise. */
std::string clock_time(uint64_t microseconds);

/* ---- the store (tourctl_store.cpp) ---- */

struct Point {
  int32_t id = -1;
  Values values;
};

/* One tour group: its raw leaves and children, for showing and checking,
 * and what a play would load (the daemon's own reading). */
struct Tour {
  int32_t id = -1;
  std::string group; /* its own name, e.g. "G5" */
  Values values;
  std::vector<Point> points;      /* in the store's enumeration order */
  std::vector<std::string> stray; /* children of Tour not named T<number> */
  std::optional<TourPlan> plan;   /* nullopt when a play would fail */
  TourPlanFailure failure = TourPlanFailure::NONE;
  int32_t failed_point = -1;
};

struct Tours {
  std::vector<Tour> tours;        /* by ascending id; first of each id */
  std::vector<std::string> stray; /* children of the root not named G<number> */
  /* Children of the root that patrold reads as a tour already listed. */
  std::vector<std::pair<std::string, int32_t>> aliases;
  const Tour *find(int32_t id) const;
};

/* Every tour, read as patrold reads it. nullopt (after a message naming the
 * store file and the reason) when the store is missing or unreadable: a
 * read never creates it. */
std::optional<Tours> store_load();

/* The camera patrold reads for the tour: its CamNbr when 1 to 8. */
std::optional<int32_t> camera_of(const Tour *tour);
/* Why patrold would not play the tour as stored; nullopt when it would. */
std::optional<std::string> unplayable_reason(const Tour &tour);
/* The first point whose speed does not reach the coordinator unchanged. */
const TourPlanPoint *wrapped_speed(const Tour &tour);

Exit store_add_tour(const Options &options);
Exit store_add_point(int tour_id, const Options &options);
Exit store_edit_tour(int tour_id, const Options &options);
Exit store_edit_point(int tour_id, int point_id, const Options &options);
/* Removing a whole tour, like moving it to another camera, first settles a
 * tour loaded on a camera (settle_loaded_tour). */
Exit store_remove(int tour_id, std::optional<int> point_id, bool stop_first);
/* Writes one leaf of an existing tour. */
Exit store_set_leaf(int tour_id, const char *leaf, const std::string &value);

/* ---- views (tourctl_view.cpp, tourctl_check.cpp) ---- */

Exit view_list(bool json);
Exit view_show(int tour_id, bool json);
Exit run_check(bool json);

/* ---- the bus (tourctl_bus.cpp) ---- */

/* The system bus, or nullptr after a message. */
GDBusConnection *bus_open();
bool daemon_on_bus(GDBusConnection *bus);
/* The system bus with patrold on it, or nullptr after a message. */
GDBusConnection *daemon_bus();
/* Calls `method` of `interface` on patrold with `args` (floating or not,
 * consumed). A failure is told in an operator's words. */
Exit bus_call(GDBusConnection *bus, const char *interface, const char *method,
              GVariant *args);

/* ---- live status (tourctl_status.cpp) ---- */

using CameraStatus = TourStatusValues;

struct Status {
  bool ok = false;
  std::string why; /* when not ok: why the status could not be read */
  std::array<CameraStatus, kCameraCount> cameras{};
  /* The camera whose engine holds `tour_id`, or nullptr. */
  const CameraStatus *holding(int32_t tour_id) const;
};

Status status_read(GDBusConnection *bus);
/* Waits, on the status signals, until no camera holds `tour_id`; false when
 * it still does after `timeout_s` or the status cannot be read. */
bool wait_until_unloaded(GDBusConnection *bus, int32_t tour_id,
                         unsigned timeout_s);
Exit run_status(bool json);
Exit run_watch();

/* ---- checks before acting (tourctl_checks.cpp) ---- */

enum class Request : uint8_t { Play, Stop, Pause, Resume };

/* Sends one request for a tour only when patrold would carry it out (or
 * when its status cannot be read, which is said). With `as_running`, a play
 * or stop goes as the running-state report "yes" or "no" of the tour's
 * group, which patrold turns into the same request. */
Exit request_tour(Request request, int32_t tour_id, bool as_running = false);
/* Block or unblock a camera, saying when that changes nothing. */
Exit request_block(bool block, int32_t camera);
/* Before an edit that would strand a loaded tour (patrold follows the
 * tour's current CamNbr, so a moved or removed tour could no longer be
 * stopped): refuses when `tour` is loaded on a camera other than
 * `new_camera` (nullopt: removal), or with stop_first stops it and waits
 * until it is unloaded. Ok when the edit may go ahead. */
Exit settle_loaded_tour(const Tour &tour, std::optional<int> new_camera,
                        bool stop_first);
/* After an edit of a tour that a camera has loaded: says that the change
 * reaches it at its next play. */
void note_loaded_edit(const Tour &tour, const char *what);

/* ---- timetables (tourctl_schedule.cpp) ---- */

/* Checks `text` with patrold's reader (nullopt: --clear), writes it and
 * has patrold reload; an unreadable text is refused with its column. */
Exit run_schedule(int tour_id, const std::optional<std::string> &text);
/* The stored timetable for a table cell or line: escaped, bounded, "-" for
 * none, marked when patrold cannot read it. */
std::string schedule_shown(const Tour &tour);
/* A camera's next timetable edge: "Mon 22:00 play G3", "-" for none. */
std::string schedule_next(const CameraStatus &camera);
/* Two tours of one camera whose timetables share a minute of the week:
 * patrold gives the camera to the window that started last. */
struct ScheduleOverlap {
  int32_t first;
  int32_t second;
  int32_t camera;
};
std::vector<ScheduleOverlap> schedule_overlaps(const Tours &tours);
/* Warns of each of them on stderr. */
void warn_schedule_overlaps(const Tours &tours);

} // namespace tourctl
