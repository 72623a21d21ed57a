// SPDX-License-Identifier: MIT
// The SQLite engine: characters and the chat memory in one file in WAL
// mode, which other programs may read and change while the server runs.
// The jobs that wait together are run in one transaction and committed
// together before any of their callers replies; with WAL and
// synchronous=FULL a commit is on disk when it returns, so it survives a
// power cut, and the cost of the flush is shared by the batch.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

#include "server_internal.h"

// Writers wait this long for each other (the admin tool and the server).
#define SQLITE_BUSY_MS 5000

namespace {

typedef struct SqliteStore {
  sqlite3 *db;
  std::mutex lock; // one connection, one writer at a time
  int owner_fd;    // a server's hold on its file, or -1
  sqlite3_stmt *find;
  sqlite3_stmt *insert;
  sqlite3_stmt *update;
  sqlite3_stmt *say;
  sqlite3_stmt *list;
  sqlite3_stmt *remove;
  sqlite3_stmt *own;
  std::deque<std::string> lines; // the chat memory, oldest first
} SqliteStore;

} // namespace

// Each entry takes the schema from one version to the next, in a
// transaction. The first layout is also what unversioned files hold.
static const char *const kMigrations[] = {
    "CREATE TABLE IF NOT EXISTS characters ("
    " name TEXT PRIMARY KEY, password_hash TEXT NOT NULL,"
    " hunger REAL NOT NULL, thirst REAL NOT NULL, sleep REAL NOT NULL,"
    " asleep INTEGER NOT NULL, dead INTEGER NOT NULL, since REAL NOT NULL);"
    "CREATE TABLE IF NOT EXISTS lines (id INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT NOT NULL);"
    // Lines beyond the memory go in the same statement as the line said.
    "CREATE TRIGGER IF NOT EXISTS forget AFTER INSERT ON lines"
    " BEGIN DELETE FROM lines WHERE id <= NEW.id - 100; END;",
    // The addresses where each character was identified: its owner's.
    "CREATE TABLE owners (name TEXT NOT NULL, peer TEXT NOT NULL, PRIMARY KEY (name, peer));"
    "CREATE TRIGGER disown AFTER DELETE ON characters"
    " BEGIN DELETE FROM owners WHERE name = OLD.name; END;",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == STORE_SCHEMA_VERSION,
              "one migration per version");
static_assert(WIRE_LISTEN_LINES == 100, "the trigger keeps 100 lines");

static const char kFind[] = "SELECT password_hash, hunger, thirst, sleep, asleep, dead, since,"
                            " (SELECT group_concat(peer, ' ') FROM owners WHERE name = ?1)"
                            " FROM characters WHERE name = ?1";
static const char kOwn[] = "INSERT OR IGNORE INTO owners VALUES (?1, ?2)";
static const char kInsert[] =
    "INSERT OR IGNORE INTO characters VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
static const char kUpdate[] = "UPDATE characters SET hunger = ?2, thirst = ?3, sleep = ?4,"
                              " asleep = ?5, dead = ?6, since = ?7 WHERE name = ?1";
static const char kSay[] = "INSERT INTO lines (text) VALUES (?1)";
static const char kList[] = "SELECT name, hunger, thirst, sleep, asleep, dead, since"
                            " FROM characters ORDER BY name";
static const char kRemove[] = "DELETE FROM characters WHERE name = ?1";
static const char kLoadLines[] = "SELECT text FROM (SELECT id, text FROM lines"
                                 " ORDER BY id DESC LIMIT ?1) ORDER BY id";

static SqliteStore *State(Store *store) {
  return (SqliteStore *)store->db;
}

static int Fail(Store *store, const char *call) {
  return StoreFail(store, call, sqlite3_errmsg(State(store)->db));
}

static int Prepare(Store *store, const char *sql, sqlite3_stmt **statement) {
  if (sqlite3_prepare_v3(State(store)->db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, NULL) ==
      SQLITE_OK)
    return 0;
  return Fail(store, "sqlite3_prepare_v3");
}

static int Exec(Store *store, const char *sql) {
  if (sqlite3_exec(State(store)->db, sql, NULL, NULL, NULL) == SQLITE_OK) return 0;
  return Fail(store, "sqlite3_exec");
}

// A new file is made 0600 whatever the umask (SQLite gives its WAL and
// shared-memory files the same mode); a server also locks it so that a
// second server on the same file is refused.
static int TakeFile(Store *store, const char *path) {
  SqliteStore *state = State(store);
  // Each failure names the file and the step.
  std::string file(path);
  state->owner_fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (state->owner_fd >= 0) {
    if (fchmod(state->owner_fd, 0600) != 0)
      return StoreFail(store, (file + ": fchmod").c_str(), strerror(errno));
  } else if (errno == EEXIST) {
    state->owner_fd = open(path, O_RDWR | O_CLOEXEC);
  }
  if (state->owner_fd < 0) return StoreFail(store, (file + ": open").c_str(), strerror(errno));
  if (flock(state->owner_fd, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno == EWOULDBLOCK) return StoreFail(store, path, "used by another server");
  return StoreFail(store, (file + ": flock").c_str(), strerror(errno));
}

static int SchemaVersion(Store *store, int *version) {
  sqlite3_stmt *statement = NULL;
  if (Prepare(store, "PRAGMA user_version", &statement) != 0) return 1;
  int rc = sqlite3_step(statement);
  *version = sqlite3_column_int(statement, 0);
  sqlite3_finalize(statement);
  return rc == SQLITE_ROW ? 0 : Fail(store, "sqlite3_step");
}

// Brings an older layout up to this program's, or refuses a newer one.
static int Migrate(Store *store, const char *path) {
  int version = 0;
  if (Exec(store, "BEGIN IMMEDIATE") != 0) return 1;
  int rc = SchemaVersion(store, &version);
  if (rc == 0 && version > STORE_SCHEMA_VERSION) {
    char detail[160];
    snprintf(detail, sizeof(detail),
             "schema version %d is newer than this program's %d; use a newer Varkel", version,
             STORE_SCHEMA_VERSION);
    rc = StoreFail(store, path, detail);
  }
  for (int next = version; rc == 0 && next < STORE_SCHEMA_VERSION; next++)
    rc = Exec(store, kMigrations[next]);
  if (rc == 0 && version < STORE_SCHEMA_VERSION) {
    char pragma[64];
    snprintf(pragma, sizeof(pragma), "PRAGMA user_version = %d", STORE_SCHEMA_VERSION);
    rc = Exec(store, pragma);
  }
  if (rc == 0) return Exec(store, "COMMIT");
  sqlite3_exec(State(store)->db, "ROLLBACK", NULL, NULL, NULL);
  return 1;
}

static int LoadLines(Store *store) {
  sqlite3_stmt *statement = NULL;
  if (Prepare(store, kLoadLines, &statement) != 0) return 1;
  sqlite3_bind_int(statement, 1, WIRE_LISTEN_LINES);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
    State(store)->lines.push_back((const char *)sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE ? 0 : Fail(store, "sqlite3_step");
}

static int SqliteOpen(Store *store, const char *path, int own) {
  SqliteStore *state = new SqliteStore();
  state->owner_fd = -1;
  store->db = state;
  int in_memory = strcmp(path, ":memory:") == 0;
  if (!in_memory && own && TakeFile(store, path) != 0) return 1;
  if (!in_memory && !own && access(path, F_OK) != 0)
    return StoreFail(store, path, "no database there");
  int flags = SQLITE_OPEN_READWRITE | (own ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path, &state->db, flags, NULL) != SQLITE_OK)
    return Fail(store, "sqlite3_open_v2");
  sqlite3_busy_timeout(state->db, SQLITE_BUSY_MS);
  if (Exec(store, "PRAGMA journal_mode=WAL") != 0 || Exec(store, "PRAGMA synchronous=FULL") != 0 ||
      Migrate(store, path) != 0)
    return 1;
  if (Prepare(store, kFind, &state->find) != 0 || Prepare(store, kInsert, &state->insert) != 0 ||
      Prepare(store, kUpdate, &state->update) != 0 || Prepare(store, kSay, &state->say) != 0 ||
      Prepare(store, kList, &state->list) != 0 || Prepare(store, kRemove, &state->remove) != 0 ||
      Prepare(store, kOwn, &state->own) != 0)
    return 1;
  return LoadLines(store);
}

static void SqliteClose(Store *store) {
  SqliteStore *state = State(store);
  sqlite3_stmt *statements[] = {state->find, state->insert, state->update, state->say,
                                state->list, state->remove, state->own};
  for (sqlite3_stmt *statement : statements)
    sqlite3_finalize(statement);
  sqlite3_close(state->db);
  // Only now: closing a descriptor of the file would drop SQLite's locks.
  if (state->owner_fd >= 0) close(state->owner_fd);
  delete state;
}

// Runs a bound statement to its end and resets it; 0 on success.
static int RunStatement(Store *store, sqlite3_stmt *statement) {
  int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) Fail(store, "sqlite3_step");
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return rc == SQLITE_DONE ? 0 : 1;
}

static void BindBody(sqlite3_stmt *statement, int first, const Body &body) {
  sqlite3_bind_double(statement, first, body.hunger);
  sqlite3_bind_double(statement, first + 1, body.thirst);
  sqlite3_bind_double(statement, first + 2, body.sleep);
  sqlite3_bind_int(statement, first + 3, body.asleep);
  sqlite3_bind_int(statement, first + 4, body.dead);
  sqlite3_bind_double(statement, first + 5, body.since);
}

static Body ColumnBody(sqlite3_stmt *statement, int first) {
  Body body;
  body.hunger = sqlite3_column_double(statement, first);
  body.thirst = sqlite3_column_double(statement, first + 1);
  body.sleep = sqlite3_column_double(statement, first + 2);
  body.asleep = sqlite3_column_int(statement, first + 3);
  body.dead = sqlite3_column_int(statement, first + 4);
  body.since = sqlite3_column_double(statement, first + 5);
  return body;
}

// Caller holds the lock.
static int FindLocked(Store *store, const char *name, Account *account, int *found) {
  sqlite3_stmt *statement = State(store)->find;
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(statement);
  *found = rc == SQLITE_ROW;
  if (*found) {
    account->password_hash = (const char *)sqlite3_column_text(statement, 0);
    account->body = ColumnBody(statement, 1);
    const unsigned char *owners = sqlite3_column_text(statement, 7);
    account->owners = owners != NULL ? (const char *)owners : "";
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(store, "sqlite3_step");
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : 1;
}

// One job within the batch's transaction; the caller holds the lock. A
// character removed meanwhile (by the admin tool) fails its update.
static int RunJob(Store *store, StoreJob *job) {
  SqliteStore *state = State(store);
  const char *name = job->name.c_str();
  switch (job->call) {
  case STORE_FIND:
    return FindLocked(store, name, &job->account, &job->found);
  case STORE_CREATE:
    sqlite3_bind_text(state->insert, 1, name, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(state->insert, 2, job->text.c_str(), -1, SQLITE_TRANSIENT);
    BindBody(state->insert, 3, BodyNew(job->now));
    if (RunStatement(store, state->insert) != 0) return 1;
    job->found = sqlite3_changes(state->db) == 1;
    return 0;
  case STORE_UPDATE:
    if (FindLocked(store, name, &job->account, &job->found) != 0 || !job->found) return 1;
    if (!job->owner.empty()) {
      sqlite3_bind_text(state->own, 1, name, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(state->own, 2, job->owner.c_str(), -1, SQLITE_TRANSIENT);
      if (RunStatement(store, state->own) != 0) return 1;
    }
    if (!BodyChangeAt(job->account.body, job->change, job->now, &job->body, &job->was_dead))
      return 0;
    sqlite3_bind_text(state->update, 1, name, -1, SQLITE_TRANSIENT);
    BindBody(state->update, 2, job->body);
    return RunStatement(store, state->update);
  case STORE_SAY:
    sqlite3_bind_text(state->say, 1, job->text.c_str(), (int)job->text.size(), SQLITE_TRANSIENT);
    return RunStatement(store, state->say);
  case STORE_LISTEN:
    // The server is the only one to speak on its file: its copy of the
    // memory is the file's.
    job->lines.assign(WIRE_LISTEN_LINES - state->lines.size(), std::string());
    job->lines.insert(job->lines.end(), state->lines.begin(), state->lines.end());
    return 0;
  }
  return 1;
}

static int Writes(StoreJob **jobs, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (jobs[i]->call != STORE_FIND && jobs[i]->call != STORE_LISTEN) return 1;
  }
  return 0;
}

// The lines said join the memory once on disk.
static void Remember(SqliteStore *state, StoreJob **jobs, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (jobs[i]->call != STORE_SAY || jobs[i]->rc != 0) continue;
    state->lines.push_back(jobs[i]->text);
    if (state->lines.size() > WIRE_LISTEN_LINES) state->lines.pop_front();
  }
}

// The batch in one transaction, one flush to disk for all; a writer
// beside (the admin tool) is waited for until the first deadline.
static int SqliteRun(Store *store, StoreJob **jobs, size_t count) {
  SqliteStore *state = State(store);
  std::lock_guard<std::mutex> hold(state->lock);
  double deadline = jobs[0]->deadline_ms;
  for (size_t i = 1; i < count; i++)
    deadline = jobs[i]->deadline_ms < deadline ? jobs[i]->deadline_ms : deadline;
  double left = deadline - MonotonicMs();
  sqlite3_busy_timeout(state->db, left > 1 ? (int)left : 1);
  int failed = Exec(store, Writes(jobs, count) ? "BEGIN IMMEDIATE" : "BEGIN");
  for (size_t i = 0; i < count; i++)
    jobs[i]->rc = failed ? 1 : RunJob(store, jobs[i]);
  if (!failed && Exec(store, "COMMIT") != 0) {
    failed = 1;
    sqlite3_exec(state->db, "ROLLBACK", NULL, NULL, NULL);
  }
  for (size_t i = 0; i < count && failed; i++)
    jobs[i]->rc = 1;
  if (!failed) Remember(state, jobs, count);
  return failed;
}

static int SqliteCheckThreads(Store *store, int threads) {
  (void)store;
  (void)threads; // one thread writes the file, whatever is asked
  return 0;
}

static int SqliteList(Store *store, std::vector<CharacterRow> *rows) {
  SqliteStore *state = State(store);
  std::lock_guard<std::mutex> hold(state->lock);
  int rc;
  while ((rc = sqlite3_step(state->list)) == SQLITE_ROW)
    rows->push_back(
        {(const char *)sqlite3_column_text(state->list, 0), ColumnBody(state->list, 1)});
  sqlite3_reset(state->list);
  return rc == SQLITE_DONE ? 0 : Fail(store, "sqlite3_step");
}

static int SqliteRemove(Store *store, const char *name, int *removed) {
  SqliteStore *state = State(store);
  std::lock_guard<std::mutex> hold(state->lock);
  sqlite3_bind_text(state->remove, 1, name, -1, SQLITE_TRANSIENT);
  if (RunStatement(store, state->remove) != 0) return 1;
  *removed = sqlite3_changes(state->db) == 1;
  return 0;
}

// SQLite's online backup copies one snapshot of the file while writers go
// on; the copy takes its place under `path` only once whole.
static int SqliteBackup(Store *store, const char *path) {
  SqliteStore *state = State(store);
  std::string partial = std::string(path) + ".partial";
  unlink(partial.c_str());
  int fd = open(partial.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return StoreFail(store, partial.c_str(), strerror(errno));
  close(fd);
  sqlite3 *copy = NULL;
  int rc = sqlite3_open_v2(partial.c_str(), &copy, SQLITE_OPEN_READWRITE, NULL);
  sqlite3_backup *backup = NULL;
  if (rc == SQLITE_OK) {
    std::lock_guard<std::mutex> hold(state->lock);
    backup = sqlite3_backup_init(copy, "main", state->db, "main");
    if (backup != NULL) {
      rc = sqlite3_backup_step(backup, -1);
      sqlite3_backup_finish(backup);
    }
  }
  if (backup == NULL || rc != SQLITE_DONE) {
    StoreFail(store, "sqlite3_backup", sqlite3_errmsg(copy));
    sqlite3_close(copy);
    unlink(partial.c_str());
    return 1;
  }
  sqlite3_close(copy);
  if (rename(partial.c_str(), path) == 0) return 0;
  StoreFail(store, "rename", strerror(errno));
  unlink(partial.c_str());
  return 1;
}

extern const StoreEngine kSqliteEngine;
// One thread, one connection: the batches are its group commits.
const StoreEngine kSqliteEngine = {
    "SQLite",           1,          64,           SqliteOpen,   SqliteClose, SqliteRun,
    SqliteCheckThreads, SqliteList, SqliteRemove, SqliteBackup,
};
