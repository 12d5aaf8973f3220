/* The five commands of paramctl over the store's admin calls. */
#include "paramctl.h"

#include <cstdio>
#include <fstream>
#include <iostream>

#include <glib.h>

#include "param_store_admin.h"
#include "tour_text.h"

namespace paramctl {
namespace {

int store_failure() {
  // The store names the file and what is wrong with it when it cannot
  // open it (see store_log in main.cpp); this covers everything else.
  if (!store_reported()) {
    g_autofree char *path = param_store_admin_path();
    std::fprintf(stderr, "paramctl: cannot use the parameter store %s\n", path);
  }
  return kFailed;
}

/* Writes the assignments in one transaction, then announces Running
 * changes; nothing is announced unless the write committed. */
int write_all(const std::vector<Assignment> &items) {
  std::vector<param_store_pair> pairs;
  pairs.reserve(items.size());
  for (const Assignment &a : items)
    pairs.push_back({a.name.c_str(), a.value.c_str()});
  std::vector<int> changed(items.size(), 0);
  if (param_store_admin_set_many(pairs.data(), pairs.size(), changed.data()) !=
      0)
    return store_failure();
  notify_running_changes(items, changed);
  return kOk;
}

void print_row(const char *name, const char *value, void *) {
  std::printf("%s=%s\n", tour_text_escape(name, true).c_str(),
              tour_text_escape(value).c_str());
}

bool blank(const std::string &line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

} // namespace

bool parse_assignment(const std::string &text, bool escaped, Assignment *out) {
  size_t eq = text.find('=');
  if (eq == std::string::npos)
    return false;
  std::string_view name = std::string_view(text).substr(0, eq);
  std::string_view value = std::string_view(text).substr(eq + 1);
  if (escaped) {
    if (!tour_text_unescape(name, &out->name) ||
        !tour_text_unescape(value, &out->value))
      return false;
  } else {
    out->name = name;
    out->value = value;
  }
  return param_store_admin_valid_name(out->name.c_str()) == 1;
}

int cmd_get(const std::vector<std::string> &args) {
  if (args.size() != 1)
    return usage_error();
  g_autofree char *value = nullptr;
  switch (param_store_admin_get(args[0].c_str(), &value)) {
  case 1:
    std::printf("%s\n", tour_text_escape(value).c_str());
    return kOk;
  case 0:
    std::fprintf(stderr, "paramctl: %s: no such parameter\n", args[0].c_str());
    return kFailed;
  default:
    // An unacceptable name can never have been stored.
    if (!param_store_admin_valid_name(args[0].c_str())) {
      std::fprintf(stderr, "paramctl: %s: no such parameter\n",
                   args[0].c_str());
      return kFailed;
    }
    return store_failure();
  }
}

int cmd_set(const std::vector<std::string> &args) {
  if (args.empty())
    return usage_error();
  std::vector<Assignment> items(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].find('=') == std::string::npos || args[i][0] == '=')
      return usage_error();
    if (!parse_assignment(args[i], false, &items[i])) {
      std::fprintf(stderr, "paramctl: %s: invalid parameter name\n",
                   items[i].name.c_str());
      return kFailed;
    }
  }
  return write_all(items);
}

int cmd_list(const std::vector<std::string> &args) {
  if (args.size() > 1)
    return usage_error();
  const char *group = args.empty() ? nullptr : args[0].c_str();
  if (group && !param_store_admin_valid_name(group)) {
    std::fprintf(stderr, "paramctl: %s: invalid group name\n", group);
    return kFailed;
  }
  if (param_store_admin_list(group, print_row, nullptr) < 0)
    return store_failure();
  return kOk;
}

int cmd_delete(const std::vector<std::string> &args) {
  if (args.size() != 1)
    return usage_error();
  const char *group = args[0].c_str();
  if (!param_store_admin_valid_name(group)) {
    std::fprintf(stderr, "paramctl: %s: no such group\n", group);
    return kFailed;
  }
  switch (param_store_admin_delete_group(group)) {
  case 1:
    return kOk;
  case 0:
    std::fprintf(stderr, "paramctl: %s: no such group\n", group);
    return kFailed;
  default:
    return store_failure();
  }
}

int cmd_import(const std::vector<std::string> &args) {
  if (args.size() > 1)
    return usage_error();
  std::ifstream file;
  if (!args.empty()) {
    file.open(args[0]);
    if (!file) {
      std::fprintf(stderr, "paramctl: cannot read %s\n", args[0].c_str());
      return kFailed;
    }
  }
  std::istream &in = args.empty() ? std::cin : file;
  std::vector<Assignment> items;
  std::string line;
  for (long number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (blank(line) || line[0] == '#')
      continue;
    Assignment a;
    if (!parse_assignment(line, true, &a)) {
      std::fprintf(stderr, "paramctl: line %ld: malformed line\n", number);
      return kFailed;
    }
    items.push_back(std::move(a));
  }
  if (in.bad()) {
    std::fprintf(stderr, "paramctl: read error\n");
    return kFailed;
  }
  if (items.empty())
    return kOk;
  return write_all(items);
}

} // namespace paramctl
