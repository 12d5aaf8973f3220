/* paramctl: internals shared by its source files. */
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace paramctl {

/* Exit statuses of every command. */
enum Status : int { kOk = 0, kFailed = 1, kUsage = 2 };

struct Assignment {
  std::string name;
  std::string value;
};

int usage_error();
/* True once the store library has told the user what went wrong. */
bool store_reported();
int cmd_get(const std::vector<std::string> &args);
int cmd_set(const std::vector<std::string> &args);
int cmd_list(const std::vector<std::string> &args);
int cmd_delete(const std::vector<std::string> &args);
int cmd_import(const std::vector<std::string> &args);

/* Splits NAME=VALUE at the first '=', undoing the escaping of both sides
 * when `escaped`; false when there is no '=', the escaping is broken or the
 * name is not acceptable to the store. */
bool parse_assignment(const std::string &text, bool escaped, Assignment *out);

/* After a committed write: tells the daemon about every changed
 * root.RezazErar.G<n>.Running value. Never fails. */
void notify_running_changes(const std::vector<Assignment> &written,
                            const std::vector<int> &changed);

} // namespace paramctl
