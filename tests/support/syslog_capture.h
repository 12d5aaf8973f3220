/* Syslog capture for unit tests: linked in, it replaces the C library's syslog
 * for the whole binary and records every line. Thread-safe; cut at 2 kB. */
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
/* How many lines have this message, with this priority or (-1) any. */
int count(int priority, const std::string &message);
int count(const std::string &message);

} // namespace syslog_capture
