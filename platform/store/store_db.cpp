/*
 * Connections, schema and cached statements of libparamstore.
 *
 * Each thread has a connection of its own (SQLite connections must not be
 * shared without a lock, and a lock would serialise the daemon's main thread
 * behind its Running writer). Processes and threads meet in the file: WAL
 * lets readers run beside the one writer, and a busy timeout makes a writer
 * wait for the lock instead of failing.
 */
#include "store_internal.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <pthread.h>

#include <glib.h>

#ifndef PARAM_STORE_DEFAULT_PATH
#error "PARAM_STORE_DEFAULT_PATH must be defined by the build"
#endif

namespace paramstore {
namespace {

constexpr std::array<const char *, kStmtCount> kSql = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "PRAGMA synchronous=FULL",
    "PRAGMA synchronous=NORMAL",
    "SELECT value FROM params WHERE name = ?1",
    "INSERT INTO params(name, value) VALUES (?1, ?2) "
    "ON CONFLICT(name) DO UPDATE SET value = excluded.value",
    "INSERT OR IGNORE INTO groups(name, parent) VALUES (?1, ?2)",
    "SELECT 1 FROM groups WHERE name = ?1",
    "SELECT seq, name FROM groups WHERE parent = ?1 AND seq > ?2 "
    "ORDER BY seq LIMIT 1",
    // '/' follows '.', so this range is exactly the names starting "group."
    // (LIKE would be case-insensitive and treat '_' and '%' specially).
    "DELETE FROM params WHERE name >= ?1 || '.' AND name < ?1 || '/'",
    "DELETE FROM groups WHERE name = ?1 "
    "OR (name >= ?1 || '.' AND name < ?1 || '/')",
    "DELETE FROM groups WHERE name = ?1 AND NOT EXISTS (SELECT 1 FROM params "
    "WHERE name >= ?1 || '.' AND name < ?1 || '/')",
    "SELECT name, value FROM params WHERE ?1 = '' "
    "OR (name >= ?1 || '.' AND name < ?1 || '/') ORDER BY seq",
    "SELECT name, parent FROM groups WHERE ?1 = '' "
    "OR (name >= ?1 || '.' AND name < ?1 || '/') ORDER BY seq",
};

constexpr const char *kSchema =
    "CREATE TABLE IF NOT EXISTS params ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL UNIQUE,"
    " value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS groups ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL UNIQUE,"
    " parent TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS groups_by_parent ON groups(parent, seq);";

void close_connection(Connection *c) {
  if (!c)
    return;
  for (sqlite3_stmt *s : c->stmts)
    sqlite3_finalize(s);
  sqlite3_close_v2(c->db);
  delete c;
}

void destroy_connection(gpointer data) {
  close_connection(static_cast<Connection *>(data));
}

GPrivate thread_connection = G_PRIVATE_INIT(destroy_connection);

/* Bumped in every child process right after fork(). */
std::atomic<unsigned> fork_generation{0};
std::once_flag fork_watch;
/* Serialises the write transactions of this process (see WriteTxn). */
pthread_mutex_t process_writer = PTHREAD_MUTEX_INITIALIZER;

struct ConnectionDeleter {
  void operator()(Connection *c) const { close_connection(c); }
};
using ConnectionPtr = std::unique_ptr<Connection, ConnectionDeleter>;

int exec_sql(sqlite3 *db, const char *sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : -1;
}

/* Creating the file races with other processes doing the same; the busy
 * timeout covers the schema transaction, and journal_mode gets a few tries
 * because switching to WAL briefly needs the file to itself. */
int prepare_file(sqlite3 *db) {
  bool wal = false;
  for (int attempt = 0; attempt < 50 && !wal; ++attempt) {
    wal = exec_sql(db, "PRAGMA journal_mode=WAL") == 0;
    if (!wal)
      g_usleep(20000);
  }
  if (!wal || exec_sql(db, "PRAGMA synchronous=NORMAL") != 0)
    return -1;
  if (exec_sql(db, "BEGIN IMMEDIATE") != 0)
    return -1;
  if (exec_sql(db, kSchema) != 0) {
    exec_sql(db, "ROLLBACK");
    return -1;
  }
  return exec_sql(db, "COMMIT");
}

ConnectionPtr open_connection(const std::string &path) {
  g_autofree char *dir = g_path_get_dirname(path.c_str());
  if (g_mkdir_with_parents(dir, 0755) != 0)
    return nullptr;
  std::call_once(fork_watch, [] {
    pthread_atfork(nullptr, nullptr, [] {
      fork_generation.fetch_add(1, std::memory_order_relaxed);
      /* The child has only the forking thread: a writer that held the
       * mutex in the parent is not there to release it. */
      pthread_mutex_init(&process_writer, nullptr);
    });
  });
  ConnectionPtr c(new Connection);
  c->path = path;
  c->fork_generation = fork_generation.load(std::memory_order_relaxed);
  int rc = sqlite3_open_v2(path.c_str(), &c->db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                               SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK)
    return nullptr;
  sqlite3_busy_timeout(c->db, c->lock_wait_ms);
  if (prepare_file(c->db) != 0)
    return nullptr;
  return c;
}

int lock_wait_of(const cli_Options *options) {
  if (!options || options->word[kOptionsLockWaitWord] == 0)
    return kDefaultLockWaitMs;
  return static_cast<int>(
      std::min<uint32_t>(options->word[kOptionsLockWaitWord], 600000));
}

} // namespace

std::string store_path() {
  const char *env = g_getenv("PARAM_STORE_PATH");
  return (env && *env) ? env : PARAM_STORE_DEFAULT_PATH;
}

Connection *connection(const cli_Options *options) {
  auto *c = static_cast<Connection *>(g_private_get(&thread_connection));
  // Every cli_ call comes through here, so the checks are cheap: a fork is
  // noticed by a counter bumped in the child (getpid would be a system call
  // per call), and the path is compared in place rather than copied.
  if (c && c->fork_generation != fork_generation.load(std::memory_order_relaxed)) {
    // Inherited through fork(): SQLite forbids using or even closing it in
    // the child, so it is abandoned.
    g_private_set(&thread_connection, nullptr);
    c = nullptr;
  }
  const char *env = g_getenv("PARAM_STORE_PATH");
  const char *path = (env && *env) ? env : PARAM_STORE_DEFAULT_PATH;
  if (c && c->path != path) {
    g_private_replace(&thread_connection, nullptr);
    c = nullptr;
  }
  if (!c) {
    ConnectionPtr fresh = open_connection(path);
    if (!fresh)
      return nullptr;
    c = fresh.release();
    g_private_set(&thread_connection, c);
  }
  int wait = lock_wait_of(options);
  if (wait != c->lock_wait_ms) {
    c->lock_wait_ms = wait;
    sqlite3_busy_timeout(c->db, wait);
  }
  return c;
}

void close_thread_connection() { g_private_replace(&thread_connection, nullptr); }

bool write_is_durable(const cli_Options *options) {
  return options &&
         options->word[CLI_OPTIONS_WRITE_MODE] == CLI_WRITE_MODE_DURABLE;
}

StmtUse::StmtUse(Connection &c, Stmt s) : stmt_(nullptr) {
  sqlite3_stmt *&slot = c.stmts[static_cast<size_t>(s)];
  if (!slot &&
      sqlite3_prepare_v3(c.db, kSql[static_cast<size_t>(s)], -1,
                         SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK)
    slot = nullptr;
  stmt_ = slot;
}

StmtUse::~StmtUse() {
  if (stmt_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
}

void StmtUse::bind(int index, std::string_view text) {
  // A null pointer would bind SQL NULL; an empty view means empty text.
  sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void StmtUse::bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
}

int StmtUse::step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }

std::string_view StmtUse::text(int column) const {
  const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
  return p ? std::string_view(p, sqlite3_column_bytes(stmt_, column))
           : std::string_view();
}

int exec(Connection &c, Stmt s) {
  StmtUse st(c, s);
  return st && st.step() == SQLITE_DONE ? 0 : -1;
}

WriteTxn::WriteTxn(Connection &c, bool durable) : c_(c), durable_(durable) {
  pthread_mutex_lock(&process_writer);
  locked_ = true;
  if (durable_ && exec(c_, Stmt::SyncFull) != 0)
    return;
  open_ = exec(c_, Stmt::BeginWrite) == 0;
}

WriteTxn::~WriteTxn() {
  if (open_)
    exec(c_, Stmt::Rollback);
  if (durable_)
    exec(c_, Stmt::SyncNormal);
  if (locked_)
    pthread_mutex_unlock(&process_writer);
}

int WriteTxn::commit() {
  if (!open_ || exec(c_, Stmt::Commit) != 0)
    return -1;
  open_ = false;
  return 0;
}

ReadTxn::ReadTxn(Connection &c) : c_(c) { open_ = exec(c_, Stmt::BeginRead) == 0; }

ReadTxn::~ReadTxn() {
  if (open_)
    exec(c_, Stmt::Commit);
}

} // namespace paramstore
