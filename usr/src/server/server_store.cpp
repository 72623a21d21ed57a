// SPDX-License-Identifier: MIT
// The database: characters and the chat memory, in one SQLite file in WAL
// mode. Each change is its own committed statement before the caller
// replies; with WAL and synchronous=NORMAL a commit survives the death of
// the process (only a power cut may lose the last ones).
#include "server.h"

// The server owns its file: with an exclusive lock taken before WAL mode,
// SQLite keeps the WAL index in memory and takes no file lock per
// transaction, and a second server on the same file is refused.
static const char *const kSchema[] = {
    "PRAGMA locking_mode=EXCLUSIVE",
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "CREATE TABLE IF NOT EXISTS characters ("
    " name TEXT PRIMARY KEY, password_hash TEXT NOT NULL,"
    " hunger REAL NOT NULL, thirst REAL NOT NULL, sleep REAL NOT NULL,"
    " asleep INTEGER NOT NULL, dead INTEGER NOT NULL, since REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS lines (id INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT NOT NULL)",
};

// Lines beyond the memory go in the same statement as the line said.
static const char kForgetTrigger[] = "CREATE TRIGGER IF NOT EXISTS forget AFTER INSERT ON lines"
                                     " BEGIN DELETE FROM lines WHERE id <= NEW.id - %d; END";

static const char kFind[] = "SELECT password_hash, hunger, thirst, sleep, asleep, dead, since"
                            " FROM characters WHERE name = ?1";
static const char kInsert[] =
    "INSERT OR IGNORE INTO characters VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
static const char kUpdate[] = "UPDATE characters SET hunger = ?2, thirst = ?3, sleep = ?4,"
                              " asleep = ?5, dead = ?6, since = ?7 WHERE name = ?1";
static const char kSay[] = "INSERT INTO lines (text) VALUES (?1)";
static const char kLoadLines[] = "SELECT text FROM (SELECT id, text FROM lines"
                                 " ORDER BY id DESC LIMIT ?1) ORDER BY id";

static int StoreFail(Store *store, const char *call, FILE *log) {
  fprintf(log, "varkel_server: %s: %s\n", call, sqlite3_errmsg(store->db));
  return 1;
}

static int Prepare(Store *store, const char *sql, sqlite3_stmt **statement, FILE *log) {
  if (sqlite3_prepare_v3(store->db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, NULL) ==
      SQLITE_OK)
    return 0;
  return StoreFail(store, "sqlite3_prepare_v3", log);
}

static int LoadLines(Store *store, FILE *log) {
  sqlite3_stmt *statement = NULL;
  if (Prepare(store, kLoadLines, &statement, log) != 0) return 1;
  sqlite3_bind_int(statement, 1, WIRE_LISTEN_LINES);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
    store->lines.push_back((const char *)sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE ? 0 : StoreFail(store, "sqlite3_step", log);
}

int StoreOpen(Store *store, const char *path, FILE *log) {
  store->db = NULL;
  store->find = store->insert = store->update = store->say = NULL;
  store->lines.clear();
  if (sqlite3_open_v2(path, &store->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL) !=
      SQLITE_OK) {
    StoreFail(store, "sqlite3_open_v2", log);
    StoreClose(store);
    return 1;
  }
  char trigger[sizeof(kForgetTrigger) + 16];
  snprintf(trigger, sizeof(trigger), kForgetTrigger, WIRE_LISTEN_LINES);
  for (const char *sql : kSchema) {
    if (sqlite3_exec(store->db, sql, NULL, NULL, NULL) != SQLITE_OK) {
      StoreFail(store, "sqlite3_exec", log);
      StoreClose(store);
      return 1;
    }
  }
  if (sqlite3_exec(store->db, trigger, NULL, NULL, NULL) != SQLITE_OK) {
    StoreFail(store, "sqlite3_exec", log);
    StoreClose(store);
    return 1;
  }
  if (Prepare(store, kFind, &store->find, log) != 0 ||
      Prepare(store, kInsert, &store->insert, log) != 0 ||
      Prepare(store, kUpdate, &store->update, log) != 0 ||
      Prepare(store, kSay, &store->say, log) != 0 || LoadLines(store, log) != 0) {
    StoreClose(store);
    return 1;
  }
  return 0;
}

void StoreClose(Store *store) {
  sqlite3_stmt **statements[] = {&store->find, &store->insert, &store->update, &store->say};
  for (sqlite3_stmt **statement : statements) {
    sqlite3_finalize(*statement);
    *statement = NULL;
  }
  sqlite3_close(store->db);
  store->db = NULL;
}

// Runs a bound statement to its end and resets it; 0 on success.
static int RunStatement(sqlite3_stmt *statement) {
  int rc = sqlite3_step(statement);
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

// Caller holds the lock.
static int FindLocked(Store *store, const char *name, Account *account, int *found) {
  sqlite3_stmt *statement = store->find;
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(statement);
  *found = rc == SQLITE_ROW;
  if (*found) {
    account->password_hash = (const char *)sqlite3_column_text(statement, 0);
    account->body.hunger = sqlite3_column_double(statement, 1);
    account->body.thirst = sqlite3_column_double(statement, 2);
    account->body.sleep = sqlite3_column_double(statement, 3);
    account->body.asleep = sqlite3_column_int(statement, 4);
    account->body.dead = sqlite3_column_int(statement, 5);
    account->body.since = sqlite3_column_double(statement, 6);
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : 1;
}

int StoreFind(Store *store, const char *name, Account *account, int *found) {
  std::lock_guard<std::mutex> hold(store->lock);
  return FindLocked(store, name, account, found);
}

int StoreCreate(Store *store, const char *name, const char *password_hash, double now,
                int *created) {
  std::lock_guard<std::mutex> hold(store->lock);
  sqlite3_stmt *statement = store->insert;
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(statement, 2, password_hash, -1, SQLITE_TRANSIENT);
  BindBody(statement, 3, BodyNew(now));
  if (RunStatement(statement) != 0) return 1;
  *created = sqlite3_changes(store->db) == 1;
  return 0;
}

int StoreUpdate(Store *store, const char *name, enum BodyChange change, double now, Body *body,
                int *was_dead) {
  std::lock_guard<std::mutex> hold(store->lock);
  Account account;
  int found = 0;
  if (FindLocked(store, name, &account, &found) != 0 || !found) return 1;
  *body = account.body;
  int changed = BodyAdvance(body, now);
  *was_dead = body->dead;
  changed |= BodyApply(body, change);
  if (!changed) return 0;
  sqlite3_bind_text(store->update, 1, name, -1, SQLITE_TRANSIENT);
  BindBody(store->update, 2, *body);
  return RunStatement(store->update);
}

int StoreSay(Store *store, const std::string &line) {
  std::lock_guard<std::mutex> hold(store->lock);
  sqlite3_bind_text(store->say, 1, line.c_str(), (int)line.size(), SQLITE_TRANSIENT);
  if (RunStatement(store->say) != 0) return 1;
  store->lines.push_back(line);
  if (store->lines.size() > WIRE_LISTEN_LINES) store->lines.pop_front();
  return 0;
}

std::vector<std::string> StoreListen(Store *store) {
  std::lock_guard<std::mutex> hold(store->lock);
  std::vector<std::string> lines(WIRE_LISTEN_LINES - store->lines.size());
  lines.insert(lines.end(), store->lines.begin(), store->lines.end());
  return lines;
}
