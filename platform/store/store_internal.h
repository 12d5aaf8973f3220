/*
 * Internals shared by the files of libparamstore. Not installed, not part of
 * any contract.
 *
 * Layout of the database:
 *   params(seq, name, value)   one row per parameter; seq is its first write
 *   groups(seq, name, parent)  one row per group that has a parameter under
 *                              it; seq orders siblings by first insertion
 * AUTOINCREMENT keeps seq strictly growing even after the newest row is
 * deleted, so a group re-created after a deletion sorts after its siblings
 * and a live enumeration cursor never skips it.
 */
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "param_store.h"

namespace paramstore {

/* Values of the error word. A call only ever raises it; callers zero it. */
enum class StoreError : int32_t {
  Invalid = 1,     /* NULL or malformed argument */
  Absent = 2,      /* no such parameter or group */
  Unavailable = 3, /* the store file cannot be opened or created */
  Failed = 4,      /* SQLite refused (lock wait ran out, disk full, ...) */
  Injected = 5,    /* a test asked this call to fail */
};

inline void raise(int32_t *error, StoreError e) {
  if (error)
    *error = static_cast<int32_t>(e);
}

constexpr int kDefaultLockWaitMs = 5000;
constexpr uint32_t kOptionsVersion = 1;
constexpr int kOptionsVersionWord = 0;
constexpr int kOptionsLockWaitWord = 2;
constexpr size_t kMaxNameLength = 1024;
/* How long the SQL of one call may run, on top of its lock wait, before
 * SQLite's progress handler interrupts it: a store with hostile contents
 * may cost a caller's thread (the daemon's main loop) this much, no more. */
constexpr int kCallBoundMs = 5000;

enum class Stmt : uint8_t {
  BeginWrite,
  BeginRead,
  Commit,
  Rollback,
  SyncFull,
  SyncNormal,
  GetValue,
  PutValue,
  AddGroup,
  GroupExists,
  NextChild,
  DeleteParamsUnder,
  DeleteGroupsUnder,
  PruneGroup,
  ListParamsUnder,
  ListGroupsUnder,
  Count_,
};
constexpr size_t kStmtCount = static_cast<size_t>(Stmt::Count_);

/* One SQLite connection, owned by one thread of one process. */
struct Connection {
  sqlite3 *db = nullptr;
  std::string path;
  unsigned fork_generation = 0; /* see connection() */
  int lock_wait_ms = kDefaultLockWaitMs;
  int64_t deadline_us = 0;  /* monotonic; the progress handler's bound */
  bool foreign_sql = false; /* a statement met a view or trigger: reopen */
  std::string failure;      /* SQLite's reason for the last failed statement */
  std::array<sqlite3_stmt *, kStmtCount> stmts{};
};

/* The calling thread's connection to the current store path, opened (and
 * the file, its folder and tables created) on first use, its call bound
 * started afresh. nullptr when the store cannot be opened; why is logged
 * once as a GLib warning. */
Connection *connection(const cli_Options *options);
/* Starts the call bound afresh, for a caller that works through many rows
 * in one call and bounds each. */
void rearm(Connection &c);
/* Logs, as a GLib warning, the file and SQLite's reason for the failure of
 * the call just made on `c` (for the tools, which show it). */
void report_failure(const Connection &c);
void close_thread_connection();
/* Resolved store path: PARAM_STORE_PATH, else the build-time default; ""
 * when PARAM_STORE_PATH is set but empty (an error). */
std::string store_path();

/* A cached statement, reset and unbound when the holder goes out of scope. */
class StmtUse {
public:
  StmtUse(Connection &c, Stmt s);
  ~StmtUse();
  StmtUse(const StmtUse &) = delete;
  StmtUse &operator=(const StmtUse &) = delete;
  sqlite3_stmt *get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }
  void bind(int index, std::string_view text);
  void bind(int index, int64_t value);
  /* SQLITE_ROW, SQLITE_DONE or an error code. */
  int step();
  std::string_view text(int column) const;

private:
  Connection &c_;
  sqlite3_stmt *stmt_;
};

/* Runs one statement without parameters to completion: 0 or -1. */
int exec(Connection &c, Stmt s);

/* A write transaction (BEGIN IMMEDIATE, so the lock wait applies when the
 * lock is taken rather than failing on upgrade). Rolls back unless
 * committed. Durable commits run with synchronous=FULL.
 *
 * Writers of one process also queue on a process-wide mutex for the whole
 * transaction. SQLite's busy handler polls with sleeps of up to 100 ms, so a
 * thread that writes back to back could keep another thread of the same
 * process out until its lock wait ran out; a blocked mutex waiter is woken
 * at once. The busy timeout is then only for writers of other processes. */
class WriteTxn {
public:
  WriteTxn(Connection &c, bool durable);
  ~WriteTxn();
  WriteTxn(const WriteTxn &) = delete;
  WriteTxn &operator=(const WriteTxn &) = delete;
  bool ok() const { return open_; }
  int commit();

private:
  Connection &c_;
  bool durable_;
  bool open_ = false;
  bool locked_ = false;
};

/* A read transaction: one consistent snapshot over several statements. */
class ReadTxn {
public:
  explicit ReadTxn(Connection &c);
  ~ReadTxn();
  ReadTxn(const ReadTxn &) = delete;
  ReadTxn &operator=(const ReadTxn &) = delete;
  bool ok() const { return open_; }

private:
  Connection &c_;
  bool open_ = false;
};

/* Names: non-empty components of printable characters other than '=',
 * joined by single dots. */
bool valid_name(const char *name);
std::string_view parent_of(std::string_view name);
std::string_view own_name(std::string_view name);

/* Store operations, run inside a transaction the caller holds. */
/* 1 and the value in *value when present, 0 when absent, -1 on failure. */
int read_param(Connection &c, std::string_view name, std::string *value);
int write_param(Connection &c, std::string_view name, std::string_view value);
/* 1 when the group existed and is gone, 0 when absent, -1 on failure. */
int remove_group(Connection &c, std::string_view group);

/* Test seams: counts the call and says whether it should proceed (false
 * when a fault is injected for it). Only the tests' build of these sources
 * (tests/support) defines PARAM_STORE_SEAMS; the installed library has no
 * seams and pays nothing for them. */
#ifdef PARAM_STORE_SEAMS
bool enter_call(const char *call);
/* kCallBoundMs, unless a test set another bound. */
int call_bound_ms();
void run_open_hook(const char *group);
#else
inline bool enter_call(const char *) { return true; }
inline int call_bound_ms() { return kCallBoundMs; }
inline void run_open_hook(const char *) {}
#endif

bool write_is_durable(const cli_Options *options);

} // namespace paramstore
