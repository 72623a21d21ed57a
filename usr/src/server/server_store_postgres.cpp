// SPDX-License-Identifier: MIT
// The PostgreSQL engine: one world that any number of servers share. Each
// call takes a connection of a small pool, so that the loops query side by
// side; a connection that broke is dropped and a new one made, no more
// often than once a second while the database is away, and the failures
// are logged once per interval.
//
// Concurrent changes to one character: a change runs in a READ COMMITTED
// transaction that reads the row with SELECT ... FOR UPDATE. The row lock
// makes every read-change-write of a character wait for the one before it,
// and a waiting transaction then reads the committed row, so no update is
// lost; unlike SERIALIZABLE, nothing has to be retried. Looking only (no
// change to write) reads without a lock. The chat memory's counter row is
// locked by each line said, so the lines' numbers follow the order of
// their commits and a listening hears them in that order.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include <libpq-fe.h>

#include "server.h"

#define PG_POOL_MAX 16
#define PG_RETRY_MS 1000.0
#define PG_REPORT_MS 10000.0
#define PG_CONNECT_TIMEOUT_S "5"
// No statement of ours takes seconds, nor waits seconds in a transaction.
#define PG_SESSION_OPTIONS                                                                         \
  "-c statement_timeout=10s -c lock_timeout=10s -c idle_in_transaction_session_timeout=10s"
// Serializes the making of the schema by servers starting together.
#define PG_SCHEMA_LOCK "7310541"

namespace {

typedef struct PostgresStore {
  std::string uri;
  std::mutex lock;
  std::condition_variable returned;
  std::vector<PGconn *> idle;
  int open;                 // connections idle or in use
  double retry_at_ms;       // no new connection before this after a failure
  double reported_at_ms;    // last failure written to the log
  long unreported;          // failures since
  std::atomic<int> failing; // the last call failed
} PostgresStore;

} // namespace

// Each entry takes the schema from one version to the next.
static const char *const kMigrations[] = {
    "CREATE TABLE characters (name text PRIMARY KEY, password_hash text NOT NULL,"
    " hunger double precision NOT NULL, thirst double precision NOT NULL,"
    " sleep double precision NOT NULL, asleep integer NOT NULL, dead integer NOT NULL,"
    " since double precision NOT NULL);"
    "CREATE TABLE lines (id bigint PRIMARY KEY, text text NOT NULL);"
    "CREATE TABLE memory (last_line bigint NOT NULL);"
    "INSERT INTO memory VALUES (0);",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == STORE_SCHEMA_VERSION,
              "one migration per version");

namespace {

typedef struct Statement {
  const char *name;
  const char *sql;
} Statement;

} // namespace

enum {
  PG_FIND,
  PG_FIND_LOCKED,
  PG_INSERT,
  PG_UPDATE,
  PG_SAY,
  PG_LISTEN,
  PG_LIST,
  PG_REMOVE,
};

#define PG_COLUMNS "password_hash, hunger, thirst, sleep, asleep, dead, since"
// Prepared on every connection, in the order of the enum.
static const Statement kStatements[] = {
    {"find", "SELECT " PG_COLUMNS " FROM characters WHERE name = $1"},
    {"find_locked", "SELECT " PG_COLUMNS " FROM characters WHERE name = $1 FOR UPDATE"},
    {"insert", "INSERT INTO characters VALUES ($1, $2, $3, $4, $5, $6, $7, $8)"
               " ON CONFLICT (name) DO NOTHING"},
    {"update", "UPDATE characters SET hunger = $2, thirst = $3, sleep = $4, asleep = $5,"
               " dead = $6, since = $7 WHERE name = $1"},
    {"say", "WITH next AS (UPDATE memory SET last_line = last_line + 1 RETURNING last_line),"
            " added AS (INSERT INTO lines SELECT last_line, $1::text FROM next)"
            " DELETE FROM lines WHERE id <= (SELECT last_line FROM next) - 100"},
    {"listen", "SELECT text FROM lines ORDER BY id DESC LIMIT 100"},
    // The same order as SQLite's, whatever the database's collation.
    {"list", "SELECT name, hunger, thirst, sleep, asleep, dead, since FROM characters"
             " ORDER BY name COLLATE \"C\""},
    {"remove", "DELETE FROM characters WHERE name = $1"},
};
static_assert(WIRE_LISTEN_LINES == 100, "the memory keeps 100 lines");

static PostgresStore *State(Store *store) {
  return (PostgresStore *)store->db;
}

// ---- Failures: logged once per interval -----------------------------------------

static void Failed(Store *store, const char *call, const char *message) {
  PostgresStore *state = State(store);
  std::string detail(message != NULL && message[0] != '\0' ? message : "failed");
  while (!detail.empty() && detail.back() == '\n')
    detail.pop_back();
  for (char &c : detail) {
    if (c == '\n') c = ' ';
  }
  std::lock_guard<std::mutex> hold(state->lock);
  state->failing = 1;
  double now = MonotonicMs();
  if (state->reported_at_ms > 0 && now - state->reported_at_ms < PG_REPORT_MS) {
    state->unreported++;
    return;
  }
  if (state->unreported > 0) {
    char more[96];
    snprintf(more, sizeof(more), " (and %ld more failures in the last %.0f s)", state->unreported,
             (now - state->reported_at_ms) / 1000.0);
    detail += more;
  }
  StoreFail(store, ("PostgreSQL " + std::string(call)).c_str(), detail.c_str());
  state->reported_at_ms = now;
  state->unreported = 0;
}

static void Succeeded(Store *store) {
  PostgresStore *state = State(store);
  if (!state->failing) return;
  std::lock_guard<std::mutex> hold(state->lock);
  if (!state->failing) return;
  state->failing = 0;
  fprintf(store->log, "%s: PostgreSQL answers again\n", store->program);
  state->reported_at_ms = 0;
  state->unreported = 0;
}

// ---- The pool ------------------------------------------------------------------------

static void IgnoreNotice(void *unused, const char *message) {
  (void)unused;
  (void)message;
}

// The statements are prepared on connections of the pool only, made once
// the schema is there.
static PGconn *Connect(Store *store, int prepare) {
  PostgresStore *state = State(store);
  // Ours first: the URI's own settings override them. A network that
  // dies silently ends the connection within seconds, and a server that
  // dies in a transaction frees its row locks after 10 s.
  const char *keywords[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval",
                            "keepalives_count", "tcp_user_timeout", "options",
                            "application_name", "dbname",           NULL};
  const char *values[] = {
      PG_CONNECT_TIMEOUT_S, "10", "5", "3", "15000", PG_SESSION_OPTIONS, store->program,
      state->uri.c_str(),   NULL};
  PGconn *conn = PQconnectdbParams(keywords, values, 1);
  if (conn == NULL || PQstatus(conn) != CONNECTION_OK) {
    Failed(store, "PQconnectdbParams", conn != NULL ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return NULL;
  }
  // Notices (a table already there, a connection ended) are no failures.
  PQsetNoticeProcessor(conn, IgnoreNotice, NULL);
  for (size_t i = 0; prepare && i < sizeof(kStatements) / sizeof(kStatements[0]); i++) {
    const Statement &statement = kStatements[i];
    PGresult *result = PQprepare(conn, statement.name, statement.sql, 0, NULL);
    int ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    if (!ok) {
      Failed(store, "PQprepare", PQerrorMessage(conn));
      PQfinish(conn);
      return NULL;
    }
  }
  return conn;
}

// An idle connection that the database closed (a restart, a timeout) has
// something to read: it is dropped before anything is sent on it.
static int StillOpen(PGconn *conn) {
  struct pollfd watched = {PQsocket(conn), POLLIN, 0};
  if (poll(&watched, 1, 0) == 0) return 1;
  return PQconsumeInput(conn) == 1 && PQstatus(conn) == CONNECTION_OK;
}

static PGconn *Take(Store *store) {
  PostgresStore *state = State(store);
  std::unique_lock<std::mutex> hold(state->lock);
  for (;;) {
    while (!state->idle.empty()) {
      PGconn *conn = state->idle.back();
      state->idle.pop_back();
      if (StillOpen(conn)) return conn;
      PQfinish(conn);
      state->open--;
    }
    if (state->open < PG_POOL_MAX) break;
    state->returned.wait(hold);
  }
  if (MonotonicMs() < state->retry_at_ms) {
    hold.unlock();
    Failed(store, "connection", "unreachable, trying again shortly");
    return NULL;
  }
  state->open++;
  hold.unlock();
  PGconn *conn = Connect(store, 1);
  if (conn != NULL) return conn;
  hold.lock();
  state->open--;
  state->retry_at_ms = MonotonicMs() + PG_RETRY_MS;
  return NULL;
}

// A connection goes back only when it is healthy and out of any
// transaction; a failed call's transaction is rolled back first.
static void Give(Store *store, PGconn *conn) {
  PostgresStore *state = State(store);
  if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) != PQTRANS_IDLE)
    PQclear(PQexec(conn, "ROLLBACK"));
  int healthy = PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE;
  std::lock_guard<std::mutex> hold(state->lock);
  if (healthy) {
    state->idle.push_back(conn);
  } else {
    PQfinish(conn);
    state->open--;
  }
  state->returned.notify_one();
}

// ---- Statements ---------------------------------------------------------------------

// Runs a prepared statement; NULL (logged) unless it gave `expected`.
static PGresult *Run(Store *store, PGconn *conn, int which, const char *const *params, int count,
                     ExecStatusType expected) {
  PGresult *result = PQexecPrepared(conn, kStatements[which].name, count, params, NULL, NULL, 0);
  if (PQresultStatus(result) == expected) return result;
  Failed(store, kStatements[which].name, PQerrorMessage(conn));
  PQclear(result);
  return NULL;
}

static int Command(Store *store, PGconn *conn, const char *sql) {
  PGresult *result = PQexec(conn, sql);
  int ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
  PQclear(result);
  if (ok) return 0;
  Failed(store, sql, PQerrorMessage(conn));
  return 1;
}

namespace {

typedef struct BodyText {
  char values[6][32];
} BodyText;

} // namespace

// Doubles written so that they read back the same.
static BodyText FormatBody(const Body &body) {
  BodyText text;
  snprintf(text.values[0], sizeof(text.values[0]), "%.17g", body.hunger);
  snprintf(text.values[1], sizeof(text.values[1]), "%.17g", body.thirst);
  snprintf(text.values[2], sizeof(text.values[2]), "%.17g", body.sleep);
  snprintf(text.values[3], sizeof(text.values[3]), "%d", body.asleep);
  snprintf(text.values[4], sizeof(text.values[4]), "%d", body.dead);
  snprintf(text.values[5], sizeof(text.values[5]), "%.17g", body.since);
  return text;
}

static Body ParseBody(PGresult *result, int row, int first) {
  Body body;
  body.hunger = strtod(PQgetvalue(result, row, first), NULL);
  body.thirst = strtod(PQgetvalue(result, row, first + 1), NULL);
  body.sleep = strtod(PQgetvalue(result, row, first + 2), NULL);
  body.asleep = atoi(PQgetvalue(result, row, first + 3));
  body.dead = atoi(PQgetvalue(result, row, first + 4));
  body.since = strtod(PQgetvalue(result, row, first + 5), NULL);
  return body;
}

static int FindOn(Store *store, PGconn *conn, int which, const char *name, Account *account,
                  int *found) {
  const char *params[] = {name};
  PGresult *result = Run(store, conn, which, params, 1, PGRES_TUPLES_OK);
  if (result == NULL) return 1;
  *found = PQntuples(result) == 1;
  if (*found) {
    account->password_hash = PQgetvalue(result, 0, 0);
    account->body = ParseBody(result, 0, 1);
  }
  PQclear(result);
  return 0;
}

// ---- The engine's calls --------------------------------------------------------------

static int Migrate(Store *store, PGconn *conn) {
  if (Command(store, conn, "BEGIN") != 0 ||
      Command(store, conn, "SELECT pg_advisory_xact_lock(" PG_SCHEMA_LOCK ")") != 0 ||
      Command(store, conn, "CREATE TABLE IF NOT EXISTS varkel_schema (version integer NOT NULL)") !=
          0)
    return 1;
  PGresult *result = PQexec(conn, "SELECT max(version) FROM varkel_schema");
  if (PQresultStatus(result) != PGRES_TUPLES_OK) {
    Failed(store, "SELECT", PQerrorMessage(conn));
    PQclear(result);
    return 1;
  }
  int version = atoi(PQgetvalue(result, 0, 0)); // NULL reads as "": version 0
  PQclear(result);
  if (version > STORE_SCHEMA_VERSION) {
    char detail[160];
    snprintf(detail, sizeof(detail),
             "schema version %d is newer than this program's %d; use a newer Varkel", version,
             STORE_SCHEMA_VERSION);
    return StoreFail(store, "PostgreSQL", detail);
  }
  for (int next = version; next < STORE_SCHEMA_VERSION; next++) {
    if (Command(store, conn, kMigrations[next]) != 0) return 1;
  }
  char set[96];
  snprintf(set, sizeof(set), "DELETE FROM varkel_schema; INSERT INTO varkel_schema VALUES (%d)",
           STORE_SCHEMA_VERSION);
  if (version < STORE_SCHEMA_VERSION && Command(store, conn, set) != 0) return 1;
  return Command(store, conn, "COMMIT");
}

static int PostgresOpen(Store *store, const char *uri, int own) {
  (void)own; // many servers share the database
  PostgresStore *state = new PostgresStore();
  state->uri = uri;
  state->open = 0;
  state->retry_at_ms = 0;
  state->reported_at_ms = 0;
  state->unreported = 0;
  state->failing = 0;
  store->db = state;
  PGconn *conn = Connect(store, 0);
  if (conn == NULL) return 1;
  int rc = Migrate(store, conn);
  PQfinish(conn);
  return rc;
}

static void PostgresClose(Store *store) {
  PostgresStore *state = State(store);
  for (PGconn *conn : state->idle)
    PQfinish(conn);
  delete state;
}

static int PostgresFind(Store *store, const char *name, Account *account, int *found) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  int rc = FindOn(store, conn, PG_FIND, name, account, found);
  Give(store, conn);
  if (rc == 0) Succeeded(store);
  return rc;
}

static int PostgresCreate(Store *store, const char *name, const char *password_hash, double now,
                          int *created) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  BodyText body = FormatBody(BodyNew(now));
  const char *params[] = {name,           password_hash,  body.values[0], body.values[1],
                          body.values[2], body.values[3], body.values[4], body.values[5]};
  PGresult *result = Run(store, conn, PG_INSERT, params, 8, PGRES_COMMAND_OK);
  if (result != NULL) *created = strcmp(PQcmdTuples(result), "1") == 0;
  PQclear(result);
  Give(store, conn);
  if (result == NULL) return 1;
  Succeeded(store);
  return 0;
}

// Reads the locked row again, changes it and commits; the caller's
// connection is in no transaction.
static int UpdateLocked(Store *store, PGconn *conn, const char *name, enum BodyChange change,
                        double now, Body *body, int *was_dead) {
  Account account;
  int found = 0;
  if (Command(store, conn, "BEGIN") != 0 ||
      FindOn(store, conn, PG_FIND_LOCKED, name, &account, &found) != 0 || !found)
    return 1;
  if (BodyChangeAt(account.body, change, now, body, was_dead)) {
    BodyText text = FormatBody(*body);
    const char *params[] = {name,           text.values[0], text.values[1], text.values[2],
                            text.values[3], text.values[4], text.values[5]};
    PGresult *result = Run(store, conn, PG_UPDATE, params, 7, PGRES_COMMAND_OK);
    if (result == NULL) return 1;
    PQclear(result);
  }
  return Command(store, conn, "COMMIT");
}

static int PostgresUpdate(Store *store, const char *name, enum BodyChange change, double now,
                          Body *body, int *was_dead) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  Account account;
  int found = 0;
  int rc = FindOn(store, conn, PG_FIND, name, &account, &found) != 0 || !found;
  if (rc == 0 && BodyChangeAt(account.body, change, now, body, was_dead))
    rc = UpdateLocked(store, conn, name, change, now, body, was_dead);
  Give(store, conn);
  if (rc == 0) Succeeded(store);
  return rc;
}

static int PostgresSay(Store *store, const std::string &line) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  const char *params[] = {line.c_str()};
  PGresult *result = Run(store, conn, PG_SAY, params, 1, PGRES_COMMAND_OK);
  PQclear(result);
  Give(store, conn);
  if (result == NULL) return 1;
  Succeeded(store);
  return 0;
}

static int PostgresListen(Store *store, std::vector<std::string> *lines) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  PGresult *result = Run(store, conn, PG_LISTEN, NULL, 0, PGRES_TUPLES_OK);
  if (result != NULL) {
    int count = PQntuples(result);
    lines->assign(WIRE_LISTEN_LINES - count, std::string());
    for (int row = count - 1; row >= 0; row--)
      lines->push_back(PQgetvalue(result, row, 0));
  }
  PQclear(result);
  Give(store, conn);
  if (result == NULL) return 1;
  Succeeded(store);
  return 0;
}

static int PostgresList(Store *store, std::vector<CharacterRow> *rows) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  PGresult *result = Run(store, conn, PG_LIST, NULL, 0, PGRES_TUPLES_OK);
  for (int row = 0; result != NULL && row < PQntuples(result); row++)
    rows->push_back({PQgetvalue(result, row, 0), ParseBody(result, row, 1)});
  PQclear(result);
  Give(store, conn);
  return result == NULL ? 1 : 0;
}

static int PostgresRemove(Store *store, const char *name, int *removed) {
  PGconn *conn = Take(store);
  if (conn == NULL) return 1;
  const char *params[] = {name};
  PGresult *result = Run(store, conn, PG_REMOVE, params, 1, PGRES_COMMAND_OK);
  if (result != NULL) *removed = strcmp(PQcmdTuples(result), "1") == 0;
  PQclear(result);
  Give(store, conn);
  return result == NULL ? 1 : 0;
}

static int PostgresBackup(Store *store, const char *path) {
  (void)path;
  return StoreFail(store, "backup",
                   "a PostgreSQL database is backed up with pg_dump (see the README)");
}

extern const StoreEngine kPostgresEngine;
const StoreEngine kPostgresEngine = {
    "PostgreSQL", PostgresOpen,   PostgresClose, PostgresFind,   PostgresCreate, PostgresUpdate,
    PostgresSay,  PostgresListen, PostgresList,  PostgresRemove, PostgresBackup,
};
