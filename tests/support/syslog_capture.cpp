#include "syslog_capture.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <syslog.h>
#include <unistd.h>

/* The product's capture (tools/syslog-capture) is linked in whole and writes
 * "<priority> ident[pid]: message" lines to this process's own file. */
namespace {
const std::string file = [] {
  char name[] = "/tmp/syslog-capture-XXXXXX";
  close(mkstemp(name));
  setenv("SYSLOG_CAPTURE_FILE", name, 1);
  atexit([] { unlink(getenv("SYSLOG_CAPTURE_FILE")); });
  return std::string(name);
}();
} // namespace

namespace syslog_capture {

std::vector<Line> lines() {
  std::vector<Line> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (const auto colon = line.find(": "); line[0] == '<' && colon != std::string::npos)
      out.push_back({LOG_PRI(std::atoi(line.c_str() + 1)), line.substr(colon + 2)});
  return out;
}

void clear() { (void)truncate(file.c_str(), 0); }

int count(int priority, const std::string &message) {
  const auto all = lines();
  return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const Line &line) {
    return (priority < 0 || line.priority == priority) && line.message == message;
  }));
}

int count(const std::string &message) { return count(-1, message); }

} // namespace syslog_capture
