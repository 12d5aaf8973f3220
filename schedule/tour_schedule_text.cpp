/*
 * tour_schedule, the grammar: windows "DAYS HH:MM-HH:MM" separated by ';'.
 * DAYS is '*', a weekday Mon..Sun, a range Mon..Fri (which may wrap past
 * Sunday) or a comma list of these; weekday names are English, case as
 * written. Spaces and tabs may stand around ';' and ','. A reader that
 * stops says where, so the person who typed the text can find the fault.
 */
#include "tour_schedule.h"

#include <algorithm>

namespace {

constexpr std::array<std::string_view, 7> WEEKDAYS = {
    "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr uint8_t EVERY_DAY = 0x7f;
constexpr int WEEK_MINUTES = 7 * TOUR_SCHEDULE_DAY_MINUTES;

class Reader {
public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool parse(TourScheduleWindows *windows) {
    skip_blanks();
    if (at_end())
      return true;
    for (;;) {
      TourScheduleWindow window{};
      if (!days(&window.days) || !times(&window))
        return false;
      windows->push_back(window);
      skip_blanks();
      if (at_end())
        return true;
      if (!take(';'))
        return fail("expected ';' or the end");
      skip_blanks();
    }
  }

  TourScheduleError error() const { return error_; }

private:
  bool at_end() const { return at_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[at_]; }
  bool take(char c) {
    if (peek() != c)
      return false;
    ++at_;
    return true;
  }
  bool skip_blanks() {
    const size_t from = at_;
    while (peek() == ' ' || peek() == '\t')
      ++at_;
    return at_ > from;
  }
  bool fail(const char *what) {
    error_ = {at_ + 1, what};
    return false;
  }

  bool weekday(int *day) {
    for (size_t i = 0; i < WEEKDAYS.size(); ++i)
      if (text_.substr(at_).starts_with(WEEKDAYS[i])) {
        at_ += WEEKDAYS[i].size();
        *day = int(i);
        return true;
      }
    return fail("expected '*' or a weekday Mon..Sun");
  }

  bool days(uint8_t *mask) {
    if (take('*')) {
      *mask = EVERY_DAY;
    } else {
      for (;;) {
        int first = 0, last = 0;
        if (!weekday(&first))
          return false;
        last = first;
        if (text_.substr(at_).starts_with("..")) {
          at_ += 2;
          if (!weekday(&last))
            return false;
        }
        for (int d = first;; d = (d + 1) % 7) {
          *mask |= uint8_t(1u << d);
          if (d == last)
            break;
        }
        const size_t before = at_;
        skip_blanks();
        if (!take(',')) {
          at_ = before;
          break;
        }
        skip_blanks();
      }
    }
    if (!skip_blanks())
      return fail("expected a space before the times");
    return true;
  }

  bool two_digits(int *value) {
    if (!g_ascii_isdigit(peek()) || at_ + 1 >= text_.size() ||
        !g_ascii_isdigit(text_[at_ + 1]))
      return fail("expected two digits");
    *value = (text_[at_] - '0') * 10 + (text_[at_ + 1] - '0');
    at_ += 2;
    return true;
  }

  /* HH:MM as minutes of the day; 24:00 only where `end` allows it. */
  bool clock_time(bool end, uint16_t *minutes) {
    const size_t start = at_;
    int hours = 0, mins = 0;
    if (!two_digits(&hours))
      return false;
    if (!take(':'))
      return fail("expected ':'");
    if (!two_digits(&mins))
      return false;
    const bool midnight_end = end && hours == 24 && mins == 0;
    if ((hours > 23 && !midnight_end) || mins > 59) {
      at_ = start;
      return fail(end ? "time out of range 00:00..24:00"
                      : "time out of range 00:00..23:59");
    }
    *minutes = uint16_t(hours * 60 + mins);
    return true;
  }

  bool times(TourScheduleWindow *window) {
    if (!clock_time(false, &window->start))
      return false;
    if (!take('-'))
      return fail("expected '-'");
    uint16_t end = 0;
    if (!clock_time(true, &end))
      return false;
    /* An end of 00:00 is always at or before the start, so it runs into
     * the next day's midnight: the same as 24:00. */
    window->end = end == 0 ? uint16_t(TOUR_SCHEDULE_DAY_MINUTES) : end;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
  TourScheduleError error_;
};

/* A timetable as minutes of the week [from, to), wrapping ones split. */
std::vector<std::pair<int, int>>
week_minutes(const TourScheduleWindows &windows) {
  std::vector<std::pair<int, int>> spans;
  for (const TourScheduleWindow &w : windows)
    for (int d = 0; d < 7; ++d) {
      if ((w.days & (1u << d)) == 0)
        continue;
      const int from = d * TOUR_SCHEDULE_DAY_MINUTES + w.start;
      const int to = d * TOUR_SCHEDULE_DAY_MINUTES + w.end +
                     (w.end <= w.start ? TOUR_SCHEDULE_DAY_MINUTES : 0);
      spans.emplace_back(from, std::min(to, WEEK_MINUTES));
      if (to > WEEK_MINUTES)
        spans.emplace_back(0, to - WEEK_MINUTES);
    }
  return spans;
}

} // namespace

bool tour_schedule_parse(std::string_view text, TourScheduleWindows *windows,
                         TourScheduleError *error) {
  windows->clear();
  if (text.size() > TOUR_SCHEDULE_TEXT_MAX) {
    *error = {TOUR_SCHEDULE_TEXT_MAX + 1, "longer than 4096 characters"};
    return false;
  }
  Reader reader(text);
  if (reader.parse(windows))
    return true;
  windows->clear();
  *error = reader.error();
  return false;
}

bool tour_schedule_overlap(const TourScheduleWindows &a,
                           const TourScheduleWindows &b) {
  const auto spans_a = week_minutes(a), spans_b = week_minutes(b);
  for (auto [from_a, to_a] : spans_a)
    for (auto [from_b, to_b] : spans_b)
      if (from_a < to_b && from_b < to_a)
        return true;
  return false;
}
