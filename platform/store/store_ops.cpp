/*
 * Names and the row-level operations every write path shares. Callers hold
 * the transaction, so a parameter and the groups above it always change
 * together.
 */
#include "store_internal.h"

#include <cstring>

namespace paramstore {

bool valid_name(const char *name) {
  if (!name || !*name || std::strlen(name) > kMaxNameLength)
    return false;
  bool component_empty = true;
  for (const char *p = name; *p; ++p) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (ch == '.') {
      if (component_empty)
        return false;
      component_empty = true;
      continue;
    }
    // Printable ASCII or UTF-8 bytes; '=' would make paramctl's NAME=VALUE
    // ambiguous, so no name may carry it.
    if (ch <= ' ' || ch == 0x7f || ch == '=')
      return false;
    component_empty = false;
  }
  return !component_empty;
}

std::string_view parent_of(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view()
                                       : name.substr(0, dot);
}

std::string_view own_name(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

int read_param(Connection &c, std::string_view name, std::string *value) {
  StmtUse st(c, Stmt::GetValue);
  if (!st)
    return -1;
  st.bind(1, name);
  switch (st.step()) {
  case SQLITE_ROW:
    if (value)
      value->assign(st.text(0));
    return 1;
  case SQLITE_DONE:
    return 0;
  default:
    return -1;
  }
}

int write_param(Connection &c, std::string_view name, std::string_view value) {
  {
    StmtUse put(c, Stmt::PutValue);
    if (!put)
      return -1;
    put.bind(1, name);
    put.bind(2, value);
    if (put.step() != SQLITE_DONE)
      return -1;
  }
  // Every ancestor becomes a group, outermost first; existing ones keep their
  // place in their parent's order.
  for (size_t dot = name.find('.'); dot != std::string_view::npos;
       dot = name.find('.', dot + 1)) {
    std::string_view group = name.substr(0, dot);
    StmtUse add(c, Stmt::AddGroup);
    if (!add)
      return -1;
    add.bind(1, group);
    add.bind(2, parent_of(group));
    if (add.step() != SQLITE_DONE)
      return -1;
  }
  return 0;
}

int remove_group(Connection &c, std::string_view group) {
  {
    StmtUse exists(c, Stmt::GroupExists);
    if (!exists)
      return -1;
    exists.bind(1, group);
    int rc = exists.step();
    if (rc == SQLITE_DONE)
      return 0;
    if (rc != SQLITE_ROW)
      return -1;
  }
  for (Stmt s : {Stmt::DeleteParamsUnder, Stmt::DeleteGroupsUnder}) {
    StmtUse del(c, s);
    if (!del)
      return -1;
    del.bind(1, group);
    if (del.step() != SQLITE_DONE)
      return -1;
  }
  // Ancestors that held nothing but this group stop existing with it.
  for (std::string_view up = parent_of(group); !up.empty();
       up = parent_of(up)) {
    StmtUse prune(c, Stmt::PruneGroup);
    if (!prune)
      return -1;
    prune.bind(1, up);
    if (prune.step() != SQLITE_DONE)
      return -1;
  }
  return 1;
}

} // namespace paramstore
