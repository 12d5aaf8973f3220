/*
 * tour_confhub, parameter access: parameter names, one-parameter reads and
 * writes, and whole tour points. Every call starts from fresh options and a
 * zeroed error word and keeps nothing afterwards, so the Running writer
 * thread and the main thread may be in here at once.
 */
#include "tour_confhub.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <syslog.h>

#include <glib.h>

#include "param_store.h"
#include "tour_confhub_internal.h"

namespace {

enum class Level : uint8_t { NONE, TOUR, POINT };
enum class Form : uint8_t { NONE, TEXT, INTEGER };

struct Leaf {
  const char *name;
  Level level;
  Form form;
};

/* Indexed by TourParamKind; 4 has no leaf. */
constexpr std::array<Leaf, 12> LEAVES = {{
    {"Running", Level::TOUR, Form::TEXT},
    {"Name", Level::TOUR, Form::TEXT},
    {"RandomEnabled", Level::TOUR, Form::TEXT},
    {"WaitTimeViewType", Level::POINT, Form::TEXT},
    {nullptr, Level::NONE, Form::NONE},
    {"CamNbr", Level::TOUR, Form::INTEGER},
    {"TimeBetweenSequences", Level::TOUR, Form::INTEGER},
    {"PresetNbr", Level::POINT, Form::INTEGER},
    {"Position", Level::POINT, Form::INTEGER},
    {"MoveSpeed", Level::POINT, Form::INTEGER},
    {"WaitTime", Level::POINT, Form::INTEGER},
    {"Schedule", Level::TOUR, Form::TEXT},
}};

/* The leaf of `type`, or nullptr for an unassigned kind. */
constexpr const Leaf *leaf_of(TourParamKind type) {
  if (type >= LEAVES.size() || LEAVES[type].level == Level::NONE)
    return nullptr;
  return &LEAVES[type];
}

constexpr std::string_view MINUTES = "Minutes";
constexpr int64_t SECONDS_PER_MINUTE = 60;

void log_unknown_type(const TourParam *tour_param) {
  /* The platform's log monitoring matches this text as written, spelling
   * included: keep it. */
  syslog(LOG_ERR, "Faild to fetch parameter query for type: %d",
         static_cast<int>(tour_param->type));
}

/* What every read and write starts with: the parameter's name, then a fresh
 * options record brought up to date with the store. false when the kind
 * names no parameter (logged); the store is then not touched. */
bool begin_call(const TourParam *tour_param, char *name, cli_Options *options,
                int32_t *error) {
  if (get_param_name(tour_param, name) != 0) {
    log_unknown_type(tour_param);
    return false;
  }
  cli_resetOptions(options);
  cli_sync(options, error);
  return true;
}

/* What sscanf's "%255s" gives, without the scanf engine: that is a 64 kB
 * stretch of libc's text that nothing else in the daemon touches, resident
 * for good once read. Only the first TOUR_PARAM_PARSE_MAX bytes are looked
 * at. false for a text of white space only. */
bool first_word(const char *text, char (&word)[TOUR_PARAM_STR_SIZE]) {
  const char *end = text + strnlen(text, TOUR_PARAM_PARSE_MAX);
  const auto is_space = [](char ch) {
    return isspace(static_cast<unsigned char>(ch)) != 0;
  };
  const char *start = std::find_if_not(text, end, is_space);
  const char *stop = std::find_if(start, end, is_space);
  const size_t length = std::min<size_t>(stop - start, TOUR_PARAM_STR_SIZE - 1);
  if (length == 0)
    return false;
  std::memcpy(word, start, length);
  word[length] = '\0';
  return true;
}

/* Scans one stored value into the record; true when exactly one item was
 * converted. A text keeps only its first word, at most 255 characters. */
bool scan_value(const char *value, Form form, TourParam *tour_param) {
  if (value == nullptr)
    return false;
  if (form == Form::TEXT)
    return first_word(value, tour_param->str_value);
  return tour_confhub_scan_number(value, "", &tour_param->int_value) == 0;
}

/* Minutes to seconds without leaving the int32 range. */
int32_t minutes_to_seconds(int32_t minutes) {
  const int64_t seconds = minutes * SECONDS_PER_MINUTE;
  if (seconds > INT32_MAX)
    return INT32_MAX;
  if (seconds < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(seconds);
}

} // namespace

int tour_confhub_scan_number(const char *text, std::string_view prefix,
                             int32_t *value) {
  if (text == nullptr || strncmp(text, prefix.data(), prefix.size()) != 0)
    return -1;
  /* Past `end` nothing is read: the text stops there, or is too long. */
  const char *end = text + strnlen(text, TOUR_PARAM_PARSE_MAX);
  const char *at = text + prefix.size();
  while (at < end && isspace(static_cast<unsigned char>(*at)))
    ++at;
  const bool negative = at < end && *at == '-';
  if (at < end && (*at == '-' || *at == '+'))
    ++at;
  if (at == end || !g_ascii_isdigit(*at))
    return -1;
  /* The magnitude is bounded before it can grow past 2^31, so leading zeros
   * and any length of digits stay well defined. */
  const int64_t limit = negative ? -int64_t{INT32_MIN} : INT32_MAX;
  int64_t magnitude = 0;
  for (; at < end && g_ascii_isdigit(*at); ++at) {
    magnitude = magnitude * 10 + (*at - '0');
    if (magnitude > limit)
      return TOUR_CONFHUB_NUMBER_TOO_LARGE;
  }
  if (at == end && g_ascii_isdigit(*at))
    return TOUR_CONFHUB_NUMBER_TOO_LARGE;
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return 0;
}

int tour_confhub_format_name(char *buffer, size_t size, const char *format,
                             ...) {
  va_list args;
  va_start(args, format);
  const int written = g_vsnprintf(buffer, size, format, args);
  va_end(args);
  if (written < 0 || static_cast<size_t>(written) >= size)
    return -1;
  return 0;
}

int get_param_name(const TourParam *tour_param, char *name) {
  const Leaf *leaf = leaf_of(tour_param->type);
  if (leaf == nullptr)
    return -1;
  if (leaf->level == Level::TOUR)
    return tour_confhub_format_name(name, TOUR_PARAM_NAME_SIZE,
                                    "root.RezazErar.G%d.%s",
                                    tour_param->tour_id, leaf->name);
  g_assert(tour_param->preset_id >= 0);
  return tour_confhub_format_name(
      name, TOUR_PARAM_NAME_SIZE, "root.RezazErar.G%d.Tour.T%d.%s",
      tour_param->tour_id, tour_param->preset_id, leaf->name);
}

int tour_confhub_get_parameter(TourParam *tour_param) {
  g_assert(tour_param != NULL);
  g_assert(tour_param->tour_id >= 0);

  char name[TOUR_PARAM_NAME_SIZE];
  int32_t error = 0;
  cli_Options options;
  if (!begin_call(tour_param, name, &options, &error))
    return -1;
  g_autofree char *value = cli_getCustomParam(name, &options, &error);
  if (error != 0)
    return -1;

  if (!scan_value(value, leaf_of(tour_param->type)->form, tour_param)) {
    syslog(LOG_ERR, "Failed to parse parameter");
    return -1;
  }
  return 0;
}

int tour_confhub_set_parameter(TourParam *tour_param) {
  g_assert(tour_param != NULL);
  g_assert(tour_param->tour_id >= 0);

  char name[TOUR_PARAM_NAME_SIZE];
  int32_t error = 0;
  cli_Options options;
  if (!begin_call(tour_param, name, &options, &error))
    return -1;

  /* The Running state must survive a power cut right after the write, since
   * start-up recovery resumes the tours it marks. */
  if (tour_param->type == GUARD_RUNNING)
    options.word[CLI_OPTIONS_WRITE_MODE] = GUARD_RUNNING_WRITE_MODE;
  else if (leaf_of(tour_param->type)->form == Form::INTEGER)
    g_snprintf(tour_param->str_value, sizeof tour_param->str_value, "%d",
               tour_param->int_value);

  cli_setCustomParam(name, tour_param->str_value, &options, &error);
  if (error != 0) {
    syslog(LOG_ERR, "Failed to set parameter in confhub");
    return -1;
  }
  /* Publishes the write to other clients; the value is already stored, so a
   * failure here changes nothing for the caller. */
  cli_sync(&options, &error);
  return 0;
}

int tour_confhub_fetch_preset_point(int tour_id, int preset_id,
                                    PresetPoint *preset) {
  g_assert(tour_id >= 0);
  g_assert(preset_id >= 0);
  g_assert(preset != NULL);

  struct IntegerField {
    TourParamKind kind;
    int32_t PresetPoint::*field;
  };
  static constexpr std::array<IntegerField, 4> INTEGER_FIELDS = {{
      {GUARD_PRESET_NBR, &PresetPoint::preset_nbr},
      {GUARD_POSITION, &PresetPoint::position},
      {GUARD_MOVE_SPEED, &PresetPoint::move_speed},
      {GUARD_WAIT_TIME, &PresetPoint::wait_time},
  }};

  TourParam param = {};
  param.tour_id = tour_id;
  param.preset_id = preset_id;
  for (const IntegerField &read : INTEGER_FIELDS) {
    param.type = read.kind;
    if (tour_confhub_get_parameter(&param) != 0)
      return -1;
    preset->*read.field = param.int_value;
  }

  param.type = GUARD_WAIT_TIME_VIEW_TYPE;
  if (tour_confhub_get_parameter(&param) != 0)
    return -1;
  if (std::string_view(param.str_value) == MINUTES)
    preset->wait_time = minutes_to_seconds(preset->wait_time);
  return 0;
}
