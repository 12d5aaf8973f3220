/*
 * Syslog capture for unit tests. Linked in, it replaces the C library's
 * openlog/syslog/vsyslog (and the fortified variants) for the whole binary,
 * so every line the code under test logs is recorded instead of reaching the
 * system log. Thread-safe; a message is one line, cut at 2 kB.
 */
#pragma once

#include <string>
#include <vector>

namespace syslog_capture {

struct Line {
  int priority; /* LOG_ERR, LOG_WARNING, ... (facility bits removed) */
  std::string message;
};

std::vector<Line> lines();
void clear();
/* How many captured lines have exactly this priority and message. */
int count(int priority, const std::string &message);
/* How many captured lines have exactly this message, at any priority. */
int count(const std::string &message);

} // namespace syslog_capture
