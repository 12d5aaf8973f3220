/*
 * tourctl: the command line of patrold. Bus commands go to the running
 * daemon, after checking against the store and the daemon's live status
 * that they will do what the operator asked; tour editing goes straight to
 * the parameter store through the same platform calls the daemon uses
 * (param_store.h), so it works wherever patrold works.
 */
#pragma once

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

constexpr int kCameraCount = 8;
constexpr const char *kTourRoot = "root.RezazErar";
/* The coordinator takes speeds 1 to 100 (sent as speed x 65536). */
constexpr int kSpeedMin = 1;
constexpr int kSpeedMax = 100;
/* Longest dwell and round pause tourctl writes: a week. patrold's clock
 * counts seconds since boot in 32 bits; a week keeps every deadline far
 * inside it whatever the uptime. patrold-tours(5) documents it. */
constexpr int kMaxDwellSeconds = 7 * 24 * 3600;
constexpr int kMaxPauseMinutes = 7 * 24 * 60;

/* Named options of one command line, "--key value" or "--key=value". */
using Options = std::map<std::string, std::string>;
/* Leaf name -> stored text, for the leaves that could be read. */
using Values = std::map<std::string, std::string>;

/* ---- values as patrold reads them (tourctl_values.cpp) ---- */

/* "%d" as patrold reads it: leading white space, an optional sign, digits,
 * anything after them ignored; a number that does not fit in 32 bits is
 * unreadable. */
std::optional<int32_t> scan_number(std::string_view text);
/* "%s": the first white-space-delimited word. */
std::optional<std::string> first_word(std::string_view text);
std::optional<int32_t> stored_int(const Values &values, const char *leaf);
std::optional<std::string> stored_word(const Values &values, const char *leaf);
/* A point's dwell in seconds as patrold computes it (minutes saturate at
 * the 32-bit range). nullopt when patrold could not read it. */
std::optional<int32_t> dwell_seconds(const Values &point);

/* Strict decimal integer within [min, max]. */
std::optional<int> parse_int(const std::string &text, int64_t min, int64_t max);

/* Prints "tourctl: <message>" on stderr. */
[[gnu::format(printf, 1, 2)]] void complain(const char *format, ...);

/* ---- the store (tourctl_store.cpp) ---- */

struct Point {
  int32_t id = -1;
  Values values;
};

struct Tour {
  int32_t id = -1;
  Values values;
  std::vector<Point> points;       /* in the store's enumeration order */
  std::vector<std::string> stray;  /* children of Tour not named T<number> */
};

struct Tours {
  std::vector<Tour> tours;         /* by ascending id */
  std::vector<std::string> stray;  /* children of root.RezazErar not named G<number> */
  const Tour *find(int32_t id) const;
};

/* Every tour, read as patrold reads it. nullopt (after a message naming the
 * store file and the reason) when the store cannot be read. */
std::optional<Tours> store_load();

/* The points in the order patrold visits them. */
std::vector<const Point *> visiting_order(const Tour &tour);
/* Why patrold would refuse to play the tour; nullopt when it would play. */
std::optional<std::string> unplayable_reason(const Tour &tour);

Exit store_add_tour(const Options &options);
Exit store_add_point(int tour_id, const Options &options);
Exit store_edit_tour(int tour_id, const Options &options);
Exit store_edit_point(int tour_id, int point_id, const Options &options);
/* Removing a whole tour, like moving it to another camera, first settles a
 * tour loaded on a camera (settle_loaded_tour). */
Exit store_remove(int tour_id, std::optional<int> point_id, bool stop_first);
/* Writes one leaf of an existing tour. */
Exit store_set_leaf(int tour_id, const char *leaf, const std::string &value);

/* ---- views (tourctl_view.cpp) ---- */

Exit view_list();
Exit view_show(int tour_id);

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

struct CameraStatus {
  int32_t camera = 0;
  int32_t tour_id = -1;
  std::string tour_name;
  std::string state = "idle";
  bool blocked = false;
  int32_t point_index = -1;
  int32_t preset = -1;
  uint64_t state_since = 0;
  uint64_t dwell_until = 0;
  std::string last_error;
  uint64_t last_error_time = 0;
  uint64_t schedule_next = 0;
  std::string schedule_action;
};

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
bool wait_until_unloaded(GDBusConnection *bus, int32_t tour_id, unsigned timeout_s);
Exit run_status(bool json);
Exit run_watch();

/* ---- checks before acting (tourctl_checks.cpp) ---- */

enum class Request : uint8_t { Play, Stop, Pause, Resume };

/* Sends one request for a tour only when patrold would carry it out (or
 * when its status cannot be read, which is said). With `as_running`, a play
 * or stop goes as the running-state report "yes" or "no" of the tour's
 * group, which patrold turns into the same request. */
Exit request_tour(Request request, int32_t tour_id, bool as_running = false);
/* Before an edit that would strand a loaded tour (patrold follows the
 * tour's current CamNbr, so a moved or removed tour could no longer be
 * stopped): refuses when `tour` is loaded on a camera other than
 * `new_camera` (nullopt: removal), or with stop_first stops it and waits
 * until it is unloaded. Ok when the edit may go ahead. */
Exit settle_loaded_tour(const Tour &tour, std::optional<int> new_camera, bool stop_first);

/* ---- timetables (tourctl_schedule.cpp) ---- */

/* Checks `text` with patrold's reader (nullopt: --clear), writes it and
 * has patrold reload; an unreadable text is refused with its column. */
Exit run_schedule(int tour_id, const std::optional<std::string> &text);
/* The stored timetable for a table cell or line: escaped, bounded, "-" for
 * none, marked when patrold cannot read it. */
std::string schedule_shown(const Tour &tour);
/* A camera's next timetable edge: "Mon 22:00 play G3", "-" for none. */
std::string schedule_next(const CameraStatus &camera);
/* Warns of two tours of one camera whose timetables overlap. */
void warn_schedule_overlaps(const Tours &tours);

} // namespace tourctl
