#include "tourctl.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace tourctl {

std::optional<int> parse_int(const std::string &text, int64_t min,
                             int64_t max) {
  gint64 value = 0;
  if (text.empty() || text.front() == '+' ||
      !g_ascii_string_to_signed(text.c_str(), 10, min, max, &value, nullptr))
    return std::nullopt;
  return static_cast<int>(value);
}

std::optional<int32_t> stored_int(const Values &values, const char *leaf) {
  const auto it = values.find(leaf);
  int32_t number = 0;
  if (it == values.end() ||
      tour_confhub_scan_number(it->second.c_str(), "", &number) != 0)
    return std::nullopt;
  return number;
}

std::optional<std::string> stored_word(const Values &values, const char *leaf) {
  const auto it = values.find(leaf);
  if (it == values.end())
    return std::nullopt;
  const std::string &text = it->second;
  size_t start = 0;
  while (start < text.size() && g_ascii_isspace(text[start]))
    ++start;
  size_t end = start;
  while (end < text.size() && !g_ascii_isspace(text[end]))
    ++end;
  if (end == start)
    return std::nullopt;
  return text.substr(start, end - start);
}

std::string stored_text(const Values &values, const char *leaf) {
  const auto it = values.find(leaf);
  return it == values.end() ? "?" : tour_text_bounded(it->second, 64);
}

void complain(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("tourctl: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

std::string json_string(std::string_view text) {
  /* tour_text leaves no control character and no invalid UTF-8: only the
   * quote and the backslash need escaping here. */
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\')
      out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string cell(std::string_view text, size_t width) {
  const glong length =
      g_utf8_strlen(text.data(), static_cast<gssize>(text.size()));
  std::string out;
  if (static_cast<size_t>(length) <= width) {
    out = text;
    out.append(width - static_cast<size_t>(length), ' ');
    return out;
  }
  const char *end =
      g_utf8_offset_to_pointer(text.data(), static_cast<glong>(width) - 1);
  out.assign(text.data(), end);
  return out += TOUR_TEXT_CUT_MARK;
}

std::string clock_time(uint64_t microseconds) {
  const time_t seconds = static_cast<time_t>(microseconds / G_USEC_PER_SEC);
  const time_t now = time(nullptr);
  struct tm when {
  }, today{};
  char text[32] = "?";
  if (localtime_r(&seconds, &when) && localtime_r(&now, &today)) {
    const bool same_day =
        when.tm_year == today.tm_year && when.tm_yday == today.tm_yday;
    std::strftime(text, sizeof text,
                  same_day ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &when);
  }
  return text;
}

} // namespace tourctl
