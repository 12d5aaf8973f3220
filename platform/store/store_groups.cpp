/*
 * Group enumeration and deletion.
 *
 * A context is a live cursor: it remembers the insertion number of the
 * current child and each step fetches the next one. A child deleted behind
 * the cursor's back is simply not met; one added meanwhile comes at the end.
 * No lock or transaction is held between steps, so an enumeration left open
 * never blocks a writer.
 */
#include "store_internal.h"

#include <new>

using namespace paramstore;

namespace {

struct GroupCursor {
  cli_GroupContext pub{};
  std::string group;
  std::string full_name;
  std::string name;
  int64_t seq = 0;

  explicit GroupCursor(const char *g) : group(g ? g : "") {
    pub.priv = this;
    show();
  }
  // The public pointers never dangle and are never NULL, even at the end.
  void show() {
    pub.full_name = full_name.c_str();
    pub.name = name.c_str();
  }
  void finish() {
    full_name.clear();
    name.clear();
    pub.end = 1;
    show();
  }
};

GroupCursor *cursor_of(cli_GroupContext *context) {
  return context ? static_cast<GroupCursor *>(context->priv) : nullptr;
}

} // namespace

extern "C" cli_GroupContext *cli_getChildGroupsInGroup(const char *group,
                                                       cli_Options *options,
                                                       int32_t *error) {
  run_open_hook(group ? group : "");
  auto *cursor = new (std::nothrow) GroupCursor(group);
  if (!cursor) {
    raise(error, StoreError::Failed);
    return nullptr;
  }
  // A failed open still returns a context, already at its end, so that a
  // caller stepping it regardless stops at once.
  auto fail = [&](StoreError e) {
    raise(error, e);
    cursor->finish();
    return &cursor->pub;
  };
  if (!enter_call("cli_getChildGroupsInGroup"))
    return fail(StoreError::Injected);
  if (!valid_name(group))
    return fail(StoreError::Invalid);
  Connection *c = connection(options);
  if (!c)
    return fail(StoreError::Unavailable);
  StmtUse exists(*c, Stmt::GroupExists);
  if (!exists)
    return fail(StoreError::Failed);
  exists.bind(1, cursor->group);
  switch (exists.step()) {
  case SQLITE_ROW:
    return &cursor->pub;
  case SQLITE_DONE:
    return fail(StoreError::Absent);
  default:
    return fail(StoreError::Failed);
  }
}

extern "C" void cli_getChildGroupInGroup(cli_GroupContext *context,
                                         cli_Options *options, int32_t *error) {
  GroupCursor *cursor = cursor_of(context);
  if (!enter_call("cli_getChildGroupInGroup")) {
    if (cursor)
      cursor->finish();
    return raise(error, StoreError::Injected);
  }
  if (!cursor)
    return raise(error, StoreError::Invalid);
  if (cursor->pub.end)
    return;
  Connection *c = connection(options);
  if (!c) {
    cursor->finish();
    return raise(error, StoreError::Unavailable);
  }
  StmtUse next(*c, Stmt::NextChild);
  if (!next) {
    cursor->finish();
    return raise(error, StoreError::Failed);
  }
  next.bind(1, cursor->group);
  next.bind(2, cursor->seq);
  switch (next.step()) {
  case SQLITE_ROW:
    cursor->seq = sqlite3_column_int64(next.get(), 0);
    cursor->full_name.assign(next.text(1));
    cursor->name.assign(own_name(cursor->full_name));
    cursor->show();
    return;
  case SQLITE_DONE:
    cursor->finish();
    return;
  default:
    cursor->finish();
    return raise(error, StoreError::Failed);
  }
}

extern "C" void cli_cleanupGroupContext(cli_GroupContext *context) {
  enter_call("cli_cleanupGroupContext");
  delete cursor_of(context);
}

extern "C" void cli_deleteGroup(const char *group, cli_Options *options,
                                int32_t *error) {
  if (!enter_call("cli_deleteGroup"))
    return raise(error, StoreError::Injected);
  if (!valid_name(group))
    return raise(error, StoreError::Invalid);
  Connection *c = connection(options);
  if (!c)
    return raise(error, StoreError::Unavailable);
  WriteTxn txn(*c, write_is_durable(options));
  if (!txn.ok())
    return raise(error, StoreError::Failed);
  int removed = remove_group(*c, group);
  if (removed < 0 || txn.commit() != 0)
    return raise(error, StoreError::Failed);
  if (removed == 0)
    raise(error, StoreError::Absent);
}
