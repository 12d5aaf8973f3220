/*
 * Files, connections, schema and cached statements of libparamstore.
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
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

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
    "SELECT name FROM groups WHERE ?1 = '' "
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

/* A failure to open is logged once, not on every call that meets it, and
 * again only after an open has succeeded or the reason has changed. */
std::mutex reported_lock;
std::string reported;

void report_open_failure(const std::string &reason) {
  std::lock_guard guard(reported_lock);
  if (reason == reported)
    return;
  reported = reason;
  g_warning("%s", reason.c_str());
}

void clear_open_failure() {
  std::lock_guard guard(reported_lock);
  reported.clear();
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0)
      close(fd);
  }
};

/* Creates `name` in the folder unless it is there already. A created file
 * gets the folder's owner and group (the owner only when running as root)
 * and group write whatever the umask, so that the service account and the
 * operators' group can all write a store that root touched first. Ownership
 * goes through the descriptor: a name swapped meanwhile changes nothing.
 * 0 when the name is a plain file of one link now; -1 when it is something
 * else (a planted symbolic or hard link); -2 when it cannot be created. *why
 * says which. */
int create_owned(int dir_fd, const struct stat &dir, const std::string &name,
                 std::string *why) {
  FdCloser file{openat(dir_fd, name.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0660)};
  if (file.fd < 0) {
    int err = errno;
    struct stat st;
    if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      // A second name may be a link to a file of another account (where
      // fs.protected_hardlinks is off), which SQLite would write and, run
      // by root, chown to the store's owner.
      if (S_ISREG(st.st_mode) && st.st_nlink == 1)
        return 0;
      *why = name + (S_ISREG(st.st_mode) ? " has more than one link"
                                         : " is not a regular file");
      return -1;
    }
    *why = name + ": " + g_strerror(err);
    return -2;
  }
  if (fchown(file.fd, dir.st_uid, dir.st_gid) != 0 &&
      fchown(file.fd, static_cast<uid_t>(-1), dir.st_gid) != 0)
    g_debug("%s keeps its creator's group: %s", name.c_str(),
            g_strerror(errno));
  if (fchmod(file.fd, 0660) != 0) {
    *why = name + ": " + g_strerror(errno);
    return -2;
  }
  return 0;
}

/* The database and its WAL side files, created by the store itself (see
 * create_owned) before SQLite would create them as whoever runs. */
int prepare_files(const std::string &path, std::string *why) {
  g_autofree char *dir_name = g_path_get_dirname(path.c_str());
  g_autofree char *base = g_path_get_basename(path.c_str());
  if (g_mkdir_with_parents(dir_name, 0755) != 0) {
    *why = std::string("cannot create its folder: ") + g_strerror(errno);
    return -1;
  }
  FdCloser dir{open(dir_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  struct stat dir_stat;
  if (dir.fd < 0 || fstat(dir.fd, &dir_stat) != 0) {
    *why = std::string("cannot open its folder: ") + g_strerror(errno);
    return -1;
  }
  if (create_owned(dir.fd, dir_stat, base, why) != 0)
    return -1;
  // A side file that cannot be created is left to SQLite, which knows
  // whether it needs one (a reader in a read-only folder may not).
  for (const char *suffix : {"-wal", "-shm"})
    if (create_owned(dir.fd, dir_stat, std::string(base) + suffix, why) == -1)
      return -1;
  return 0;
}

/* A file SQLite would only call "not a database" after retrying: a store
 * is empty (new) or starts with SQLite's header. Read through SQLite's own
 * descriptor: closing one of ours would drop every POSIX lock this process
 * holds on the file, its other connections' included, and another process
 * closing its connection would then take itself for the last one and
 * delete the WAL file that this process still writes to. */
bool looks_like_store(sqlite3 *db) {
  static constexpr char kMagic[] = "SQLite format 3";
  sqlite3_file *file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) !=
          SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr)
    return true; // SQLite says what is wrong with it
  char head[sizeof kMagic] = {};
  const int rc = file->pMethods->xRead(file, head, sizeof head, 0);
  if (rc == SQLITE_IOERR_SHORT_READ) // what is missing reads as zeros
    return std::all_of(std::begin(head), std::end(head),
                       [](char ch) { return ch == 0; });
  return rc != SQLITE_OK || std::memcmp(head, kMagic, sizeof head) == 0;
}

bool retryable(sqlite3 *db) {
  int rc = sqlite3_errcode(db);
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

/* The rows of sqlite_schema, one line each, in name order. */
bool schema_rows(sqlite3 *db, std::string *rows) {
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT type, name, tbl_name, ifnull(sql, '') "
                         "FROM sqlite_schema ORDER BY name",
                         -1, &stmt, nullptr) != SQLITE_OK)
    return false;
  rows->clear();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    for (int column = 0; column < 4; ++column) {
      const unsigned char *text = sqlite3_column_text(stmt, column);
      rows->append(text ? reinterpret_cast<const char *>(text) : "");
      rows->push_back(column == 3 ? '\n' : '\t');
    }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

/* The schema kSchema makes, as schema_rows gives it. */
const std::string &own_schema() {
  static const std::string rows = [] {
    std::string made;
    sqlite3 *db = nullptr;
    if (sqlite3_open(":memory:", &db) == SQLITE_OK &&
        exec_sql(db, kSchema) == 0)
      schema_rows(db, &made);
    sqlite3_close(db);
    return made;
  }();
  return rows;
}

enum class Schema : uint8_t { Ours, Empty, Foreign, Unreadable };
constexpr const char *kForeign =
    "its schema is not the store's (a foreign table, view or trigger)";

/* Only the store's own tables and index, to the letter: a view, trigger or
 * table of someone else's design (one that hides a recursive query behind
 * the name "params") would run as the caller. */
Schema schema_of(sqlite3 *db) {
  std::string rows;
  if (!schema_rows(db, &rows))
    return Schema::Unreadable;
  if (rows.empty())
    return Schema::Empty;
  return rows == own_schema() ? Schema::Ours : Schema::Foreign;
}

/* A store already set up needs only reading: no write lock, so opening
 * never waits behind a writer. */
bool in_wal_mode(sqlite3 *db) {
  sqlite3_stmt *stmt = nullptr;
  bool wal = false;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) ==
      SQLITE_OK)
    wal =
        sqlite3_step(stmt) == SQLITE_ROW &&
        g_strcmp0(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
                  "wal") == 0;
  sqlite3_finalize(stmt);
  return wal;
}

/* Creating the store races with other processes doing the same; the busy
 * timeout covers the schema transaction, and journal_mode gets a few tries
 * because switching to WAL briefly needs the file to itself. Any other
 * failure is final at once. */
int prepare_schema(sqlite3 *db, std::string *why) {
  // The size limit also makes the last connection to close empty the WAL
  // file it keeps (see open_connection).
  if (exec_sql(db, "PRAGMA synchronous=NORMAL") != 0 ||
      exec_sql(db, "PRAGMA journal_size_limit=4194304") != 0)
    return -1;
  Schema found = schema_of(db); // reading it makes SQLite look at the file
  if (found == Schema::Foreign)
    *why = kForeign;
  if (found == Schema::Foreign ||
      (found == Schema::Unreadable && !retryable(db)))
    return -1;
  if (found == Schema::Ours && in_wal_mode(db))
    return 0;
  bool wal = false;
  for (int attempt = 0; attempt < 50 && !wal; ++attempt) {
    wal = exec_sql(db, "PRAGMA journal_mode=WAL") == 0;
    if (!wal && !retryable(db))
      return -1;
    if (!wal)
      g_usleep(20000);
  }
  if (!wal || exec_sql(db, "BEGIN IMMEDIATE") != 0)
    return -1;
  // Another process may have made the tables meanwhile, or other ones.
  found = schema_of(db);
  if (found == Schema::Empty && exec_sql(db, kSchema) != 0)
    found = Schema::Unreadable;
  if (found == Schema::Foreign)
    *why = kForeign;
  if (found != Schema::Ours && found != Schema::Empty) {
    exec_sql(db, "ROLLBACK");
    return -1;
  }
  return exec_sql(db, "COMMIT");
}

/* The store's own statements never go through a view, a trigger or a
 * common table expression, which is when SQLite names one here. One met
 * after the schema check was planted under an open connection, and SQLite
 * re-prepares statements against a changed schema without asking: refused
 * then, at no cost to any call that prepares nothing. */
int own_sql_only(void *, int, const char *, const char *, const char *,
                 const char *inner) {
  return inner == nullptr ? SQLITE_OK : SQLITE_DENY;
}

/* Interrupts the statement running past its call's bound. */
int past_bound(void *data) {
  return g_get_monotonic_time() > static_cast<Connection *>(data)->deadline_us;
}

ConnectionPtr open_connection(const std::string &path, std::string *why) {
  if (prepare_files(path, why) != 0)
    return nullptr;
  std::call_once(fork_watch, [] {
    /* Before SQLite's first use in the process, or refused (harmless): no
     * page-cache block set aside per connection up front. Pages are then
     * allocated as they are read, and a connection that reads a few pages
     * of a small store holds a few pages rather than the whole block. */
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
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
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                               SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    if (c->db && sqlite3_extended_errcode(c->db) == SQLITE_CANTOPEN_SYMLINK)
      *why = "the path goes through a symbolic link";
    else
      *why = c->db ? sqlite3_errmsg(c->db) : sqlite3_errstr(rc);
    return nullptr;
  }
  if (!looks_like_store(c->db)) {
    *why = "file is not a database";
    return nullptr;
  }
  sqlite3_db_config(c->db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(c->db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  rearm(*c);
  sqlite3_progress_handler(c->db, 1000, past_bound, c.get());
  sqlite3_set_authorizer(c->db, own_sql_only, nullptr);
  // The side files stay when the last connection closes: the next one
  // would otherwise have SQLite create them, owned by whoever runs it.
  int persist = 1;
  sqlite3_file_control(c->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sqlite3_busy_timeout(c->db, c->lock_wait_ms);
  if (prepare_schema(c->db, why) != 0) {
    if (why->empty())
      *why = sqlite3_errmsg(c->db);
    return nullptr;
  }
  return c;
}

int lock_wait_of(const cli_Options *options) {
  if (!options || options->word[kOptionsLockWaitWord] == 0)
    return kDefaultLockWaitMs;
  return static_cast<int>(
      std::min<uint32_t>(options->word[kOptionsLockWaitWord], 600000));
}

/* The store file, or nullptr when PARAM_STORE_PATH is set but empty: an
 * empty setting is a mistake, and falling back to the built-in path would
 * quietly write somewhere else. */
const char *resolved_path() {
  const char *env = g_getenv("PARAM_STORE_PATH");
  if (!env)
    return PARAM_STORE_DEFAULT_PATH;
  return *env ? env : nullptr;
}

} // namespace

std::string store_path() {
  const char *path = resolved_path();
  return path ? path : "";
}

Connection *connection(const cli_Options *options) {
  auto *c = static_cast<Connection *>(g_private_get(&thread_connection));
  // Every cli_ call comes through here, so the checks are cheap: a fork is
  // noticed by a counter bumped in the child (getpid would be a system call
  // per call), and the path is compared in place rather than copied.
  if (c &&
      c->fork_generation != fork_generation.load(std::memory_order_relaxed)) {
    // Inherited through fork(): SQLite forbids using or even closing it in
    // the child, so it is abandoned.
    g_private_set(&thread_connection, nullptr);
    c = nullptr;
  }
  const char *path = resolved_path();
  if (!path) {
    report_open_failure("PARAM_STORE_PATH is set but empty");
    return nullptr;
  }
  // Reopening checks the schema again, and names the file if it refuses.
  if (c && (c->path != path || c->foreign_sql)) {
    g_private_replace(&thread_connection, nullptr);
    c = nullptr;
  }
  if (!c) {
    std::string why;
    ConnectionPtr fresh = open_connection(path, &why);
    if (!fresh) {
      report_open_failure(std::string("parameter store ") + path + ": " + why);
      return nullptr;
    }
    clear_open_failure();
    c = fresh.release();
    g_private_set(&thread_connection, c);
  }
  int wait = lock_wait_of(options);
  if (wait != c->lock_wait_ms) {
    c->lock_wait_ms = wait;
    sqlite3_busy_timeout(c->db, wait);
  }
  rearm(*c);
  c->failure.clear();
  return c;
}

void rearm(Connection &c) {
  // The lock wait is spent in the busy handler, where the progress
  // handler does not run; the bound counts from when it may end.
  c.deadline_us = g_get_monotonic_time() +
                  (int64_t{c.lock_wait_ms} + call_bound_ms()) * 1000;
}

void report_failure(const Connection &c) {
  g_warning("parameter store %s: %s", c.path.c_str(),
            c.failure.empty() ? "the request failed" : c.failure.c_str());
}

void close_thread_connection() {
  g_private_replace(&thread_connection, nullptr);
}

bool write_is_durable(const cli_Options *options) {
  return options &&
         options->word[CLI_OPTIONS_WRITE_MODE] == CLI_WRITE_MODE_DURABLE;
}

StmtUse::StmtUse(Connection &c, Stmt s) : c_(c), stmt_(nullptr) {
  sqlite3_stmt *&slot = c.stmts[static_cast<size_t>(s)];
  if (!slot && sqlite3_prepare_v3(c.db, kSql[static_cast<size_t>(s)], -1,
                                  SQLITE_PREPARE_PERSISTENT, &slot,
                                  nullptr) != SQLITE_OK) {
    slot = nullptr;
    if (c.failure.empty())
      c.failure = sqlite3_errmsg(c.db);
  }
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

int StmtUse::step() {
  if (!stmt_)
    return SQLITE_ERROR;
  int rc = sqlite3_step(stmt_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE && c_.failure.empty())
    c_.failure = sqlite3_errmsg(c_.db);
  c_.foreign_sql = c_.foreign_sql || rc == SQLITE_AUTH;
  return rc;
}

std::string_view StmtUse::text(int column) const {
  const auto *p =
      reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
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
  if (durable_)
    enter_call("durable write"); /* counted for the tests; never refused */
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

ReadTxn::ReadTxn(Connection &c) : c_(c) {
  open_ = exec(c_, Stmt::BeginRead) == 0;
}

ReadTxn::~ReadTxn() {
  if (open_)
    exec(c_, Stmt::Commit);
}

} // namespace paramstore
