#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {
std::mutex lock;
std::vector<syslog_capture::Line> captured;

void record(int priority, const char *format, va_list args) {
  char *text = nullptr;
  if (vasprintf(&text, format, args) < 0)
    return;
  std::lock_guard<std::mutex> guard(lock);
  captured.push_back({LOG_PRI(priority), text});
  free(text);
}
} // namespace

namespace syslog_capture {

std::vector<Line> lines() {
  std::lock_guard<std::mutex> guard(lock);
  return captured;
}

void clear() {
  std::lock_guard<std::mutex> guard(lock);
  captured.clear();
}

int count(int priority, const std::string &message) {
  std::lock_guard<std::mutex> guard(lock);
  int n = 0;
  for (const auto &line : captured)
    n += line.priority == priority && line.message == message;
  return n;
}

int count(const std::string &message) {
  std::lock_guard<std::mutex> guard(lock);
  int n = 0;
  for (const auto &line : captured)
    n += line.message == message;
  return n;
}

} // namespace syslog_capture

extern "C" {
void openlog(const char *, int, int) {}
void closelog(void) {}
void vsyslog(int priority, const char *format, va_list args) {
  record(priority, format, args);
}
void syslog(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}
void __vsyslog_chk(int priority, int, const char *format, va_list args) {
  record(priority, format, args);
}
void __syslog_chk(int priority, int, const char *format, ...) {
  va_list args;
  va_start(args, format);
  record(priority, format, args);
  va_end(args);
}
}
