#include "tourctl.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace tourctl {

std::optional<int32_t> scan_number(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && g_ascii_isspace(text[at]))
    ++at;
  const bool negative = at < text.size() && text[at] == '-';
  if (at < text.size() && (text[at] == '-' || text[at] == '+'))
    ++at;
  if (at >= text.size() || !g_ascii_isdigit(text[at]))
    return std::nullopt;
  const int64_t limit = negative ? -int64_t{INT32_MIN} : INT32_MAX;
  int64_t magnitude = 0;
  for (; at < text.size() && g_ascii_isdigit(text[at]); ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > limit)
      return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::optional<std::string> first_word(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && g_ascii_isspace(text[start]))
    ++start;
  size_t end = start;
  while (end < text.size() && !g_ascii_isspace(text[end]))
    ++end;
  if (end == start)
    return std::nullopt;
  return std::string(text.substr(start, end - start));
}

std::optional<int32_t> stored_int(const Values &values, const char *leaf) {
  const auto it = values.find(leaf);
  return it == values.end() ? std::nullopt : scan_number(it->second);
}

std::optional<std::string> stored_word(const Values &values, const char *leaf) {
  const auto it = values.find(leaf);
  return it == values.end() ? std::nullopt : first_word(it->second);
}

std::optional<int32_t> dwell_seconds(const Values &point) {
  const auto wait = stored_int(point, "WaitTime");
  const auto unit = stored_word(point, "WaitTimeViewType");
  if (!wait || !unit)
    return std::nullopt;
  if (*unit != "Minutes")
    return *wait;
  const int64_t seconds = int64_t{*wait} * 60;
  return static_cast<int32_t>(std::clamp<int64_t>(seconds, INT32_MIN, INT32_MAX));
}

std::optional<int> parse_int(const std::string &text, int64_t min, int64_t max) {
  gint64 value = 0;
  if (text.empty() || text.front() == '+' ||
      !g_ascii_string_to_signed(text.c_str(), 10, min, max, &value, nullptr))
    return std::nullopt;
  return static_cast<int>(value);
}

void complain(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("tourctl: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

} // namespace tourctl
