/*
 * tour_confhub: the guard tour parameters in the parameter store.
 *
 * Tree: a guard tour n is the group root.RezazErar.G<n>; its points are the
 * groups root.RezazErar.G<n>.Tour.T<m>. Nothing is cached: every call goes to
 * the store through the cli_ calls of platform/param_store.h, with a fresh
 * options record and error word of its own.
 *
 * Threads: every function may run on the main thread and on the Running
 * writer thread at once; none keeps state between calls.
 * Ownership: callers own every TourParam and PresetPoint they pass; id arrays
 * returned through `id_list` are g_malloc'ed and released by the caller with
 * g_free (an empty listing may give NULL).
 * Logging: syslog at LOG_ERR, only the texts listed with each function.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <vector>

/* One leaf of a guard tour or tour point. 4 is unassigned: every operation
 * refuses it, and every value above 11. */
enum TourParamKind : uint32_t {
  GUARD_RUNNING = 0,                /* tour, text: "yes" / "no" */
  GUARD_NAME = 1,                   /* tour, text */
  GUARD_RANDOM_ENABLED = 2,         /* tour, text: "yes" = random order */
  GUARD_WAIT_TIME_VIEW_TYPE = 3,    /* point, text: "Minutes" or seconds */
  GUARD_CAM_NBR = 5,                /* tour, integer: camera 1..8 */
  GUARD_TIME_BETWEEN_SEQUENCES = 6, /* tour, integer: minutes */
  GUARD_PRESET_NBR = 7,             /* point, integer */
  GUARD_POSITION = 8,               /* point, integer: order key */
  GUARD_MOVE_SPEED = 9,             /* point, integer */
  GUARD_WAIT_TIME = 10,             /* point, integer */
  GUARD_SCHEDULE = 11,              /* tour, text: weekly windows, optional */
};

constexpr int TOUR_PARAM_STR_SIZE = 256;
constexpr int TOUR_PARAM_NAME_SIZE = 256;
/* How much of a stored value or group name is parsed: more than any value
 * patrold reads needs, so that a value of megabytes costs no more than a
 * short one. What has not ended by then is unreadable. */
constexpr size_t TOUR_PARAM_PARSE_MAX = 256;
/* Options word written for GUARD_RUNNING writes: a durable commit. */
constexpr uint32_t GUARD_RUNNING_WRITE_MODE = 12;

/* The request record for one parameter. */
struct TourParam {
  TourParamKind type;
  int32_t int_value;                   /* integer kinds */
  char str_value[TOUR_PARAM_STR_SIZE]; /* text kinds; decimal text on integer
                                          writes */
  int32_t tour_id;                     /* >= 0 (asserted) */
  int32_t preset_id;                   /* >= 0 for point kinds (asserted) */
};

/* One tour point. wait_time is always in seconds. */
struct PresetPoint {
  int32_t preset_nbr;
  int32_t position;
  int32_t move_speed;
  int32_t wait_time;
};

/* Writes the full name of `tour_param` into `name` (TOUR_PARAM_NAME_SIZE
 * bytes). 0, or -1 for kind 4 or > 11, and for a name that would not fit. */
int get_param_name(const TourParam *tour_param, char *name);

/* Reads one parameter into str_value (text kinds: the first word, at most 255
 * characters) or int_value (integer kinds), from the value's first
 * TOUR_PARAM_PARSE_MAX bytes. 0, or -1 with the value fields
 * undefined. Logs "Faild to fetch parameter query for type: %d" and
 * "Failed to parse parameter". */
int tour_confhub_get_parameter(TourParam *tour_param);

/* Writes one parameter (integer kinds: int_value as decimal text, also left in
 * str_value). 0 or -1. Logs "Faild to fetch parameter query for type: %d" and
 * "Failed to set parameter in confhub". */
int tour_confhub_set_parameter(TourParam *tour_param);

/* Reads PresetNbr, Position, MoveSpeed, WaitTime, WaitTimeViewType of point
 * T<preset_id> of tour G<tour_id>, in that order, into `preset` ("Minutes"
 * scales wait_time by 60). 0, or -1 at the first failed read, fields read
 * before it kept. Logs nothing of its own. */
int tour_confhub_fetch_preset_point(int tour_id, int preset_id,
                                    PresetPoint *preset);

/* Reads a decimal integer as "%d" does (leading white space, an optional
 * sign, digits, anything after them ignored), but refuses one whose value
 * does not fit in 32 bits instead of wrapping it: such a number names no
 * camera, point or tour. A number that has not ended within the text's first
 * TOUR_PARAM_PARSE_MAX bytes counts as too large. `prefix` must match the
 * text's start exactly
 * ("G" for a tour group, "" for a value). 0 with *value set; -1 when the
 * text is not the prefix and a number; TOUR_CONFHUB_NUMBER_TOO_LARGE when
 * it is, but the number does not fit. */
constexpr int TOUR_CONFHUB_NUMBER_TOO_LARGE = -2;
int tour_confhub_scan_number(const char *text, std::string_view prefix,
                             int32_t *value);

/* Lists the numbers of the children of `group` scanned with `filter` (a
 * prefix and "%d", e.g. "G%d", read by tour_confhub_scan_number), in the
 * store's enumeration order; one child named otherwise fails the listing.
 * Returns the count (0 or more) with *id_list set, or -1 with *id_list NULL.
 * Logs nothing. */
int tour_confhub_get_tours(const char *group, const char *filter,
                           int32_t **id_list);
/* The numbers of every guard tour: children G<n> of root.RezazErar. */
int tour_confhub_get_guard_tour_ids(int32_t **id_list);
/* The point numbers of tour `tour_id`: children T<m> of its Tour group. */
int tour_confhub_get_preset_ids(int tour_id, int32_t **id_list);
/* Deletes root.RezazErar.G<id> with everything under it. 0 or -1; no log. */
int tour_confhub_delete_group(int id);

/* The whole Name text of tour `tour_id` (the reads above keep only its first
 * word), newly allocated for g_free; NULL when it cannot be read. No log: a
 * tour without a name is not a failure. */
char *tour_confhub_get_tour_name(int tour_id);

/* The whole Schedule texts of the tours `ids` (`count` of them) into
 * `texts`: each g_malloc'ed, or NULL when absent, unreadable or the id is
 * negative. A text longer than `max_bytes` is cut one byte past the bound,
 * so the reader sees it is too long without holding it all. No log. */
void tour_confhub_get_tour_schedules(const int32_t *ids, int count,
                                     size_t max_bytes, char **texts);

/* ---- A tour as patrold plays it (tour_confhub_plan.cpp) ----
 * The engine loads a tour with these calls and tourctl shows and checks
 * tours with them, so both agree on order, numbering and timing. */

/* TimeBetweenSequences counts minutes. */
constexpr int32_t TOUR_CONFHUB_ROUND_PAUSE_UNIT = 60;
/* The speeds the coordinator takes. */
constexpr int32_t TOUR_CONFHUB_SPEED_MIN = 1;
constexpr int32_t TOUR_CONFHUB_SPEED_MAX = 100;

/* The integer GotoPresetNumber carries for `speed`: the speed in the upper
 * 16 bits of a signed 32-bit integer (shifted unsigned, so any speed is
 * well defined). */
int32_t tour_confhub_wire_speed(int32_t speed);
/* True when the coordinator reads `speed` back from its wire integer
 * (divided by 65536): -32768 to 32767. Any other speed arrives wrapped. */
bool tour_confhub_speed_carried(int32_t speed);

/* Seconds patrold stays at a point whose wait is `wait_time` seconds: on
 * the last point of an ordered tour the round pause of `pause_minutes`
 * minutes is added. Not held to any range: the engine's deadline
 * saturates at the clock's end. */
int64_t tour_confhub_dwell_seconds(int32_t wait_time, int32_t pause_minutes,
                                   bool random, bool last_of_round);

struct TourPlanPoint {
  int32_t point_id; /* m of Tour.T<m> */
  PresetPoint point;
  int64_t dwell; /* seconds, tour_confhub_dwell_seconds */
};

/* What a play loads. Points are in the order of the engine's list: the
 * visiting order of an ordered tour (by Position; ties in the reverse of
 * the store's order), the list a random tour draws from otherwise. A
 * point's index here is its PointIndex in the live status. */
struct TourPlan {
  int32_t pause_minutes = 0; /* TimeBetweenSequences */
  bool random = false;
  std::vector<TourPlanPoint> points;
};

/* The read a play failed at, in the order they are made. */
enum class TourPlanFailure : uint8_t {
  NONE = 0,
  PAUSE,      /* TimeBetweenSequences */
  ORDER,      /* RandomEnabled */
  POINT_LIST, /* the Tour group: no point, or a child not named T<m> */
  POINT,      /* one point's parameters (*failed_point names it) */
};

/* Reads tour `tour_id` as a play does: the round pause, the order flag,
 * the point list and every point, then orders them. 0 with *plan filled;
 * -1 with *failure set (and *failed_point for POINT, when not null). Logs
 * what tour_confhub_get_parameter logs. */
int tour_confhub_read_plan(int tour_id, TourPlan *plan,
                           TourPlanFailure *failure, int32_t *failed_point);
