#include "syslog_capture.h"

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
  int n = 0;
  for (const auto &line : lines())
    n += line.priority == priority && line.message == message;
  return n;
}

int count(const std::string &message) {
  int n = 0;
  for (const auto &line : lines())
    n += line.message == message;
  return n;
}

} // namespace syslog_capture
