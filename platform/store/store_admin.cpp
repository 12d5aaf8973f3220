/*
 * Administration calls (param_store_admin.h): multi-parameter writes with
 * change reporting, recursive listing, group deletion with an existence
 * answer.
 */
#include "param_store_admin.h"
#include "store_internal.h"

#include <map>
#include <optional>

#include <glib.h>

using namespace paramstore;

namespace {

constexpr bool kAdminDurable = true;

struct Row {
  std::string name;
  std::string value;
};

struct Tree {
  std::map<std::string, std::vector<std::string>, std::less<>> children;
  std::map<std::string, std::vector<Row>, std::less<>> params;
};

/* Each row is a bounded piece of work: a large store takes its time, but
 * never more than the bound for any one row. */
int load_tree(Connection &c, std::string_view group, Tree *tree) {
  {
    StmtUse groups(c, Stmt::ListGroupsUnder);
    if (!groups)
      return -1;
    groups.bind(1, group);
    int rc;
    // Filed under the parent their name gives, not the stored one: a
    // group stored as its own parent would make the walk endless.
    while ((rc = groups.step()) == SQLITE_ROW) {
      std::string_view name = groups.text(0);
      tree->children[std::string(parent_of(name))].emplace_back(name);
      rearm(c);
    }
    if (rc != SQLITE_DONE)
      return -1;
  }
  StmtUse params(c, Stmt::ListParamsUnder);
  if (!params)
    return -1;
  params.bind(1, group);
  int rc;
  while ((rc = params.step()) == SQLITE_ROW) {
    std::string_view name = params.text(0);
    tree->params[std::string(parent_of(name))].push_back(
        Row{std::string(name), std::string(params.text(1))});
    rearm(c);
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

int visit_tree(const Tree &tree, const std::string &group,
               param_store_visit visit, void *user_data) {
  int count = 0;
  if (auto own = tree.params.find(group); own != tree.params.end())
    for (const Row &row : own->second) {
      if (visit)
        visit(row.name.c_str(), row.value.c_str(), user_data);
      ++count;
    }
  if (auto kids = tree.children.find(group); kids != tree.children.end())
    for (const std::string &child : kids->second)
      count += visit_tree(tree, child, visit, user_data);
  return count;
}

int failed(const Connection &c) {
  report_failure(c);
  return -1;
}

} // namespace

extern "C" int param_store_admin_valid_name(const char *name) {
  return valid_name(name) ? 1 : 0;
}

extern "C" char *param_store_admin_path(void) {
  return g_strdup(store_path().c_str());
}

extern "C" int param_store_admin_get(const char *name, char **value) {
  if (value)
    *value = nullptr;
  if (!enter_call("param_store_admin_get") || !valid_name(name))
    return -1;
  Connection *c = connection(nullptr);
  if (!c)
    return -1;
  std::string text;
  int found = read_param(*c, name, &text);
  if (found < 0)
    return failed(*c);
  if (found == 1 && value)
    *value = g_strndup(text.data(), text.size());
  return found;
}

extern "C" int param_store_admin_set_many(const param_store_pair *pairs,
                                          size_t count, int *changed) {
  if (!enter_call("param_store_admin_set_many") || (count > 0 && !pairs))
    return -1;
  for (size_t i = 0; i < count; ++i)
    if (!valid_name(pairs[i].name) || !pairs[i].value)
      return -1;
  Connection *c = connection(nullptr);
  if (!c)
    return -1;
  WriteTxn txn(*c, kAdminDurable);
  if (!txn.ok())
    return failed(*c);
  // The value each name had before the call, and the last pair naming it.
  std::map<std::string, std::optional<std::string>, std::less<>> before;
  std::map<std::string, size_t, std::less<>> last;
  for (size_t i = 0; i < count; ++i) {
    last[pairs[i].name] = i;
    if (before.count(std::string_view(pairs[i].name)))
      continue;
    std::string old;
    int found = read_param(*c, pairs[i].name, &old);
    if (found < 0)
      return failed(*c);
    rearm(*c);
    before.emplace(pairs[i].name,
                   found ? std::optional<std::string>(std::move(old))
                         : std::nullopt);
  }
  for (size_t i = 0; i < count; ++i) {
    if (write_param(*c, pairs[i].name, pairs[i].value) != 0)
      return failed(*c);
    rearm(*c);
  }
  if (txn.commit() != 0)
    return failed(*c);
  if (changed)
    for (size_t i = 0; i < count; ++i) {
      const auto &old = before.find(std::string_view(pairs[i].name))->second;
      changed[i] = last.find(std::string_view(pairs[i].name))->second == i &&
                   (!old || *old != pairs[i].value);
    }
  return 0;
}

extern "C" int param_store_admin_list(const char *group,
                                      param_store_visit visit,
                                      void *user_data) {
  std::string root = group ? group : "";
  if (!enter_call("param_store_admin_list") ||
      (!root.empty() && !valid_name(group)))
    return -1;
  Connection *c = connection(nullptr);
  if (!c)
    return -1;
  Tree tree;
  {
    ReadTxn snapshot(*c);
    if (!snapshot.ok() || load_tree(*c, root, &tree) != 0)
      return failed(*c);
  }
  return visit_tree(tree, root, visit, user_data);
}

extern "C" int param_store_admin_delete_group(const char *group) {
  if (!enter_call("param_store_admin_delete_group") || !valid_name(group))
    return -1;
  Connection *c = connection(nullptr);
  if (!c)
    return -1;
  WriteTxn txn(*c, kAdminDurable);
  if (!txn.ok())
    return failed(*c);
  int removed = remove_group(*c, group);
  if (removed < 0 || txn.commit() != 0)
    return failed(*c);
  return removed;
}
