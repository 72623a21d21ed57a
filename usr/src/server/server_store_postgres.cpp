// SPDX-License-Identifier: MIT
// The PostgreSQL engine: one world that any number of servers share. Each
// store thread takes a connection of a pool; every call waits on its
// socket until its deadline at most, and a connection whose call is late
// is dropped (the backend notices and ends what it was doing). A
// connection that broke is dropped and a new one made, no more often than
// once a second while the database is away; failures are logged once per
// interval.
//
// Concurrent changes to one character: a change is one conditional UPDATE
// of the row as it was last read, which writes nothing if another server
// changed the row since; then the row is read again and the change made
// anew. Each write is thus computed from the row it replaces, so no update
// is lost, and a change costs one round trip when nothing races it. Past
// two races the change reads the row with SELECT ... FOR UPDATE in a
// transaction, whose row lock queues it behind the others. The chat
// memory's counter row is locked by each line said, so the lines' numbers
// follow the order of their commits and a listening hears them in that
// order.
#include <errno.h>
#include <chrono>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <libpq-fe.h>

#include "server_internal.h"

#define PG_RETRY_MS 1000.0
// Opening: servers starting together wait for each other's schema.
#define PG_START_MS 30000.0
// A backend gives up a statement, or a wait for a row lock, at the
// deadline by itself, and one whose client is gone (a late call's
// connection is dropped) notices within a second. These need the backend
// to run: the deadline of each call is kept here too, and each change
// checks its own (PG_IN_TIME) so that a stopped backend cannot apply it
// later.
static std::string SessionOptions(Store *store) {
  char options[256];
  snprintf(options, sizeof(options),
           "-c statement_timeout=%d -c lock_timeout=%d -c idle_in_transaction_session_timeout=%d"
           " -c client_connection_check_interval=1000",
           store->timeout_ms, store->timeout_ms, store->timeout_ms + 1000);
  return options;
}
// Serializes the making of the schema by servers starting together.
#define PG_SCHEMA_LOCK "7310541"
// The database checks a change's deadline this share of the store's
// deadline before the server gives the change up: the commit and its
// answer have that long to come back.
#define PG_COMMIT_SHARE 5
// Connections whose change was given up while in the backend, kept to
// learn whether it took effect after all: at most these many, this long.
#define PG_LATE_MAX 4
#define PG_LATE_KEEP_MS 60000.0

namespace {

typedef struct LateChange {
  PGconn *conn;
  std::string what; // for the log
  int says;         // a line said: any success is its effect
  int effect;       // a statement of it succeeded
  double since_ms;
} LateChange;

typedef struct PostgresStore {
  std::string uri;
  std::mutex lock;
  std::condition_variable returned;
  std::vector<PGconn *> idle;
  int open;             // connections idle or in use
  double retry_at_ms;   // no new connection before this after a failure
  double clock_ahead_s; // the database's clock less ours, at the last connection
  std::deque<LateChange> late;
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
    // The addresses where each character was identified: its owner's.
    "CREATE TABLE owners (name text NOT NULL REFERENCES characters ON DELETE CASCADE,"
    " peer text NOT NULL, PRIMARY KEY (name, peer));",
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
  PG_UPDATE_IF,
  PG_SAY,
  PG_LISTEN,
  PG_LIST,
  PG_REMOVE,
  PG_OWN,
};

#define PG_COLUMNS "password_hash, hunger, thirst, sleep, asleep, dead, since"
// A change applies only while its deadline holds on the database's clock:
// past it the statement fails (the CASE is not constant, so the cast is
// only made, and fails, when the time has passed).
#define PG_IN_TIME(deadline)                                                                       \
  "(CASE WHEN clock_timestamp() > to_timestamp(" deadline ") THEN 'past its deadline' END)::int"   \
  " IS NULL"
// Prepared on every connection, in the order of the enum.
static const Statement kStatements[] = {
    {"find", "SELECT " PG_COLUMNS ", (SELECT string_agg(peer, ' ') FROM owners"
             " WHERE owners.name = $1) FROM characters WHERE name = $1"},
    {"find_locked", "SELECT " PG_COLUMNS " FROM characters WHERE name = $1 FOR UPDATE"},
    {"insert", "INSERT INTO characters SELECT $1::text, $2::text, $3::float8, $4::float8,"
               " $5::float8, $6::int, $7::int, $8::float8 WHERE " PG_IN_TIME(
                   "$9") " ON CONFLICT (name) DO NOTHING"},
    {"update", "UPDATE characters SET hunger = $2, thirst = $3, sleep = $4, asleep = $5,"
               " dead = $6, since = $7 WHERE name = $1 AND " PG_IN_TIME("$8")},
    {"update_if", "UPDATE characters SET hunger = $2, thirst = $3, sleep = $4, asleep = $5,"
                  " dead = $6, since = $7 WHERE name = $1 AND hunger = $9 AND thirst = $10"
                  " AND sleep = $11 AND asleep = $12 AND dead = $13 AND since = $14"
                  " AND " PG_IN_TIME("$8")},
    {"say", "WITH next AS (UPDATE memory SET last_line = last_line + 1 WHERE " PG_IN_TIME(
                "$2") " RETURNING last_line),"
                      " added AS (INSERT INTO lines SELECT last_line, $1::text FROM next)"
                      " DELETE FROM lines WHERE id <= (SELECT last_line FROM next) - 100"},
    {"listen", "SELECT text FROM lines ORDER BY id DESC LIMIT 100"},
    // The same order as SQLite's, whatever the database's collation.
    {"list", "SELECT name, hunger, thirst, sleep, asleep, dead, since FROM characters"
             " ORDER BY name COLLATE \"C\""},
    {"remove", "DELETE FROM characters WHERE name = $1"},
    {"own", "INSERT INTO owners SELECT name, $2 FROM characters WHERE name = $1 AND " PG_IN_TIME(
                "$3") " ON CONFLICT DO NOTHING"},
};
static_assert(WIRE_LISTEN_LINES == 100, "the memory keeps 100 lines");

static PostgresStore *State(Store *store) {
  return (PostgresStore *)store->db;
}

// ---- Failures: logged once per interval -----------------------------------------

static void Failed(Store *store, const char *call, const char *message) {
  StoreReport(store, ("PostgreSQL " + std::string(call)).c_str(), message);
}

// ---- Waiting within a deadline ----------------------------------------------------

// 0 once the connection's socket is ready for `events`, 1 past the deadline.
static int Await(PGconn *conn, short events, double deadline_ms) {
  for (;;) {
    double left = deadline_ms - MonotonicMs();
    if (left <= 0) return 1;
    struct pollfd watched = {PQsocket(conn), events, 0};
    int ready = poll(&watched, 1, (int)left + 1);
    if (ready > 0) return 0;
    if (ready < 0 && errno != EINTR) return 1;
  }
}

static void Late(Store *store, const char *call) {
  char detail[96];
  snprintf(detail, sizeof(detail), "%s: no answer within %d ms", call, store->timeout_ms);
  Failed(store, "deadline", detail);
}

// The results of what was sent, the last one kept; NULL (logged) past the
// deadline, on a broken connection, or unless it ended with `expected`.
// A connection left late holds a call in progress and is dropped by Give.
static PGresult *Collect(Store *store, PGconn *conn, const char *call, ExecStatusType expected,
                         double deadline_ms) {
  int flushed;
  while ((flushed = PQflush(conn)) == 1) {
    if (Await(conn, POLLIN | POLLOUT, deadline_ms) != 0) {
      Late(store, call);
      return NULL;
    }
    if (PQconsumeInput(conn) == 0) break;
  }
  PGresult *last = NULL;
  int failed = flushed != 0;
  while (!failed) {
    while (PQisBusy(conn) && !failed) {
      if (Await(conn, POLLIN, deadline_ms) != 0) {
        PQclear(last);
        Late(store, call);
        return NULL;
      }
      failed = PQconsumeInput(conn) == 0;
    }
    if (failed) break;
    PGresult *result = PQgetResult(conn);
    if (result == NULL) break;
    PQclear(last);
    last = result;
  }
  if (!failed && PQresultStatus(last) == expected) return last;
  Failed(store, call, PQerrorMessage(conn));
  PQclear(last);
  return NULL;
}

// Runs a prepared statement within the deadline.
static PGresult *Run(Store *store, PGconn *conn, int which, const char *const *params, int count,
                     ExecStatusType expected, double deadline_ms) {
  const char *name = kStatements[which].name;
  if (PQsendQueryPrepared(conn, name, count, params, NULL, NULL, 0) == 0) {
    Failed(store, name, PQerrorMessage(conn));
    return NULL;
  }
  return Collect(store, conn, name, expected, deadline_ms);
}

static PGresult *Query(Store *store, PGconn *conn, const char *sql, ExecStatusType expected,
                       double deadline_ms) {
  if (PQsendQuery(conn, sql) == 0) {
    Failed(store, sql, PQerrorMessage(conn));
    return NULL;
  }
  return Collect(store, conn, sql, expected, deadline_ms);
}

static int Command(Store *store, PGconn *conn, const char *sql, double deadline_ms) {
  PGresult *result = Query(store, conn, sql, PGRES_COMMAND_OK, deadline_ms);
  PQclear(result);
  return result == NULL ? 1 : 0;
}

// ---- The pool ------------------------------------------------------------------------

static void IgnoreNotice(void *unused, const char *message) {
  (void)unused;
  (void)message;
}

static double WallSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// The deadlines sent are on the database's clock: another machine's may
// be off by more than the margin.
static int ReadClock(Store *store, PGconn *conn, double deadline_ms) {
  double before = WallSeconds();
  PGresult *result = Query(store, conn, "SELECT extract(epoch FROM clock_timestamp())",
                           PGRES_TUPLES_OK, deadline_ms);
  if (result == NULL) return 1;
  double ahead = strtod(PQgetvalue(result, 0, 0), NULL) - (before + WallSeconds()) / 2;
  PQclear(result);
  std::lock_guard<std::mutex> hold(State(store)->lock);
  State(store)->clock_ahead_s = ahead;
  return 0;
}

// A change's deadline as the database's clock says it, less the margin.
static void DeadlineText(Store *store, double deadline_ms, char *text, size_t size) {
  PostgresStore *state = State(store);
  double ahead;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    ahead = state->clock_ahead_s;
  }
  double left_ms = deadline_ms - store->timeout_ms / PG_COMMIT_SHARE - MonotonicMs();
  snprintf(text, size, "%.3f", WallSeconds() + ahead + left_ms / 1000.0);
}

static int Prepare(Store *store, PGconn *conn, double deadline_ms) {
  for (const Statement &statement : kStatements) {
    if (PQsendPrepare(conn, statement.name, statement.sql, 0, NULL) == 0) {
      Failed(store, "PQsendPrepare", PQerrorMessage(conn));
      return 1;
    }
    PGresult *result = Collect(store, conn, "PQsendPrepare", PGRES_COMMAND_OK, deadline_ms);
    PQclear(result);
    if (result == NULL) return 1;
  }
  return 0;
}

// Connects without blocking beyond the deadline, trying the URI's hosts in
// turn; the statements are prepared on connections of the pool only, made
// once the schema is there.
static PGconn *Connect(Store *store, int prepare, double deadline_ms) {
  PostgresStore *state = State(store);
  // Ours first: the URI's own settings override them. A network that
  // dies silently ends the connection within seconds.
  const char *keywords[] = {
      "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
      "options",         "application_name",    "dbname",           NULL};
  const char *values[] = {"10", "5", "3", "15000", NULL, store->program, state->uri.c_str(), NULL};
  std::string options = SessionOptions(store);
  values[4] = options.c_str();
  PGconn *conn = PQconnectStartParams(keywords, values, 1);
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  while (conn != NULL && PQstatus(conn) != CONNECTION_BAD && polling != PGRES_POLLING_OK &&
         polling != PGRES_POLLING_FAILED) {
    if (Await(conn, polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline_ms) != 0) {
      Late(store, "connection");
      PQfinish(conn);
      return NULL;
    }
    polling = PQconnectPoll(conn);
  }
  if (conn == NULL || PQstatus(conn) != CONNECTION_OK) {
    Failed(store, "PQconnectStartParams", conn != NULL ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return NULL;
  }
  // Notices (a table already there, a connection ended) are no failures.
  PQsetNoticeProcessor(conn, IgnoreNotice, NULL);
  if (PQsetnonblocking(conn, 1) != 0) Failed(store, "PQsetnonblocking", PQerrorMessage(conn));
  // Prepare logs its own failure.
  if (PQisnonblocking(conn) == 0 || (prepare && (Prepare(store, conn, deadline_ms) != 0 ||
                                                 ReadClock(store, conn, deadline_ms) != 0))) {
    PQfinish(conn);
    return NULL;
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

// An idle connection, or a new one while the pool has room.
static PGconn *Take(Store *store, double deadline_ms) {
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
    if (state->open < store->threads) break;
    double left = deadline_ms - MonotonicMs();
    if (left <= 0 || state->returned.wait_for(hold, std::chrono::duration<double, std::milli>(
                                                        left)) == std::cv_status::timeout) {
      hold.unlock();
      Late(store, "connection");
      return NULL;
    }
  }
  if (MonotonicMs() < state->retry_at_ms) {
    hold.unlock();
    Failed(store, "connection", "unreachable, trying again shortly");
    return NULL;
  }
  state->open++;
  hold.unlock();
  PGconn *conn = Connect(store, 1, deadline_ms);
  if (conn != NULL) return conn;
  hold.lock();
  state->open--;
  state->retry_at_ms = MonotonicMs() + PG_RETRY_MS;
  state->returned.notify_one();
  return NULL;
}

// A connection goes back only when it is healthy and out of any
// transaction; a failed call's transaction is rolled back first, and one
// left with a call in progress (late) is dropped.
static void Give(Store *store, PGconn *conn) {
  PostgresStore *state = State(store);
  PGTransactionStatusType status = PQtransactionStatus(conn);
  if (PQstatus(conn) == CONNECTION_OK && (status == PQTRANS_INTRANS || status == PQTRANS_INERROR))
    Command(store, conn, "ROLLBACK", MonotonicMs() + store->timeout_ms);
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

static int FindOn(Store *store, PGconn *conn, int which, StoreJob *job) {
  const char *params[] = {job->name.c_str()};
  PGresult *result = Run(store, conn, which, params, 1, PGRES_TUPLES_OK, job->deadline_ms);
  if (result == NULL) return 1;
  job->found = PQntuples(result) == 1;
  if (job->found) {
    job->account.password_hash = PQgetvalue(result, 0, 0);
    job->account.body = ParseBody(result, 0, 1);
    if (PQnfields(result) > 7) job->account.owners = PQgetvalue(result, 0, 7);
  }
  PQclear(result);
  return 0;
}

// Remembers the owner's address beside the change: once per address, and
// no harm when it was known already.
static int Own(Store *store, PGconn *conn, StoreJob *job) {
  char deadline[32];
  DeadlineText(store, job->deadline_ms, deadline, sizeof(deadline));
  const char *params[] = {job->name.c_str(), job->owner.c_str(), deadline};
  PGresult *result = Run(store, conn, PG_OWN, params, 3, PGRES_COMMAND_OK, job->deadline_ms);
  PQclear(result);
  return result == NULL ? 1 : 0;
}

// Writes the job's body; *written is 0 when the row was no longer `was`
// (with `conditional`).
static int Write(Store *store, PGconn *conn, StoreJob *job, int conditional, int *written) {
  BodyText text = FormatBody(job->body);
  BodyText was = FormatBody(job->account.body);
  char deadline[32];
  DeadlineText(store, job->deadline_ms, deadline, sizeof(deadline));
  const char *params[] = {job->name.c_str(), text.values[0], text.values[1], text.values[2],
                          text.values[3],    text.values[4], text.values[5], deadline,
                          was.values[0],     was.values[1],  was.values[2],  was.values[3],
                          was.values[4],     was.values[5]};
  PGresult *result = Run(store, conn, conditional ? PG_UPDATE_IF : PG_UPDATE, params,
                         conditional ? 14 : 8, PGRES_COMMAND_OK, job->deadline_ms);
  if (result == NULL) return 1;
  *written = strcmp(PQcmdTuples(result), "1") == 0;
  PQclear(result);
  return 0;
}

// Reads the locked row again, changes it and commits; the caller's
// connection is in no transaction.
static int UpdateLocked(Store *store, PGconn *conn, StoreJob *job) {
  int written = 0;
  if (Command(store, conn, "BEGIN", job->deadline_ms) != 0 ||
      FindOn(store, conn, PG_FIND_LOCKED, job) != 0 || !job->found)
    return 1;
  if (BodyChangeAt(job->account.body, job->change, job->now, &job->body, &job->was_dead) &&
      Write(store, conn, job, 0, &written) != 0)
    return 1;
  char deadline[32];
  char commit[200];
  DeadlineText(store, job->deadline_ms, deadline, sizeof(deadline));
  snprintf(commit, sizeof(commit), "SELECT " PG_IN_TIME("%s") "; COMMIT", deadline);
  return Command(store, conn, commit, job->deadline_ms);
}

// From the row last read when the job knows it: one round trip when nothing
// raced it. A look (nothing to write) is answered from a fresh read only.
static int Update(Store *store, PGconn *conn, StoreJob *job) {
  for (int attempt = 0; attempt < 3; attempt++) {
    if (!job->known && (FindOn(store, conn, PG_FIND, job) != 0 || !job->found)) return 1;
    int writes = BodyChangeAt(job->account.body, job->change, job->now, &job->body, &job->was_dead);
    if (!writes && !job->known) return 0;
    int written = 0;
    if (writes && Write(store, conn, job, 1, &written) != 0) return 1;
    if (written) return 0;
    job->known = 0;
  }
  return UpdateLocked(store, conn, job);
}

static int Create(Store *store, PGconn *conn, StoreJob *job) {
  BodyText body = FormatBody(BodyNew(job->now));
  char deadline[32];
  DeadlineText(store, job->deadline_ms, deadline, sizeof(deadline));
  const char *params[] = {job->name.c_str(), job->text.c_str(), body.values[0],
                          body.values[1],    body.values[2],    body.values[3],
                          body.values[4],    body.values[5],    deadline};
  PGresult *result = Run(store, conn, PG_INSERT, params, 9, PGRES_COMMAND_OK, job->deadline_ms);
  if (result == NULL) return 1;
  job->found = strcmp(PQcmdTuples(result), "1") == 0;
  PQclear(result);
  return 0;
}

static int Say(Store *store, PGconn *conn, StoreJob *job) {
  char deadline[32];
  DeadlineText(store, job->deadline_ms, deadline, sizeof(deadline));
  const char *params[] = {job->text.c_str(), deadline};
  PGresult *result = Run(store, conn, PG_SAY, params, 2, PGRES_COMMAND_OK, job->deadline_ms);
  PQclear(result);
  return result == NULL ? 1 : 0;
}

static int Hear(Store *store, PGconn *conn, StoreJob *job) {
  PGresult *result = Run(store, conn, PG_LISTEN, NULL, 0, PGRES_TUPLES_OK, job->deadline_ms);
  if (result == NULL) return 1;
  int count = PQntuples(result);
  job->lines.assign(WIRE_LISTEN_LINES - count, std::string());
  for (int row = count - 1; row >= 0; row--)
    job->lines.push_back(PQgetvalue(result, row, 0));
  PQclear(result);
  return 0;
}

static int RunOn(Store *store, PGconn *conn, StoreJob *job) {
  switch (job->call) {
  case STORE_FIND:
    return FindOn(store, conn, PG_FIND, job);
  case STORE_CREATE:
    return Create(store, conn, job);
  case STORE_UPDATE:
    if (!job->owner.empty() && Own(store, conn, job) != 0) return 1;
    return Update(store, conn, job);
  case STORE_SAY:
    return Say(store, conn, job);
  case STORE_LISTEN:
    return Hear(store, conn, job);
  }
  return 1;
}

// ---- The engine's calls --------------------------------------------------------------

static int Migrate(Store *store, PGconn *conn, double deadline_ms) {
  if (Command(store, conn, "BEGIN", deadline_ms) != 0) return 1;
  PGresult *locked = Query(store, conn, "SELECT pg_advisory_xact_lock(" PG_SCHEMA_LOCK ")",
                           PGRES_TUPLES_OK, deadline_ms);
  PQclear(locked);
  if (locked == NULL ||
      Command(store, conn, "CREATE TABLE IF NOT EXISTS varkel_schema (version integer NOT NULL)",
              deadline_ms) != 0)
    return 1;
  PGresult *result =
      Query(store, conn, "SELECT max(version) FROM varkel_schema", PGRES_TUPLES_OK, deadline_ms);
  if (result == NULL) return 1;
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
    if (Command(store, conn, kMigrations[next], deadline_ms) != 0) return 1;
  }
  char set[96];
  snprintf(set, sizeof(set), "DELETE FROM varkel_schema; INSERT INTO varkel_schema VALUES (%d)",
           STORE_SCHEMA_VERSION);
  if (version < STORE_SCHEMA_VERSION && Command(store, conn, set, deadline_ms) != 0) return 1;
  return Command(store, conn, "COMMIT", deadline_ms);
}

static int PostgresOpen(Store *store, const char *uri, int own) {
  (void)own; // many servers share the database
  PostgresStore *state = new PostgresStore();
  state->uri = uri;
  state->open = 0;
  state->retry_at_ms = 0;
  state->clock_ahead_s = 0;
  store->db = state;
  double deadline = MonotonicMs() + PG_START_MS;
  PGconn *conn = Connect(store, 0, deadline);
  if (conn == NULL) return 1;
  int rc = Migrate(store, conn, deadline);
  PQfinish(conn);
  return rc;
}

// ---- Changes given up in the backend ------------------------------------------------

// A change past its deadline in a backend that did not answer (stopped,
// or waiting on its disk or a synchronous standby) is kept aside instead
// of dropped: the database may still answer what became of it.
static void KeepLate(Store *store, PGconn *conn, const StoreJob *job) {
  PostgresStore *state = State(store);
  static const char *const kWhat[] = {"lookup", "creation", "change", "line said", "listening"};
  LateChange late = {conn, std::string(kWhat[job->call]) + " of \"" + job->name + "\"",
                     job->call == STORE_SAY, 0, MonotonicMs()};
  if (job->call == STORE_SAY) late.what = kWhat[job->call];
  std::lock_guard<std::mutex> hold(state->lock);
  if (state->late.size() >= PG_LATE_MAX) {
    PQfinish(state->late.front().conn);
    state->late.pop_front();
  }
  state->late.push_back(late);
  state->open--;
  state->returned.notify_one();
}

static int TookEffect(PGresult *result, int says) {
  if (PQresultStatus(result) != PGRES_COMMAND_OK) return 0;
  return says || strcmp(PQcmdStatus(result), "COMMIT") == 0 ||
         strcmp(PQcmdTuples(result), "1") == 0;
}

// Logs the changes given up that took effect after all; a connection is
// dropped once its backend answered, broke, or was kept too long.
static void LearnLate(Store *store) {
  PostgresStore *state = State(store);
  std::deque<LateChange> late;
  {
    std::lock_guard<std::mutex> hold(state->lock);
    late.swap(state->late);
  }
  std::deque<LateChange> waiting;
  for (LateChange &change : late) {
    int done =
        PQconsumeInput(change.conn) == 0 || MonotonicMs() - change.since_ms > PG_LATE_KEEP_MS;
    int answered = 0;
    while (!done && !answered && !PQisBusy(change.conn)) {
      PGresult *result = PQgetResult(change.conn);
      answered = result == NULL;
      if (result != NULL) change.effect |= TookEffect(result, change.says);
      PQclear(result);
    }
    // A change inside a transaction never committed took no effect.
    if (answered && change.effect && PQtransactionStatus(change.conn) == PQTRANS_IDLE)
      fprintf(store->log, "%s: PostgreSQL: a %s given up at its deadline took effect afterwards\n",
              store->program, change.what.c_str());
    if (done || answered) {
      PQfinish(change.conn);
    } else {
      waiting.push_back(change);
    }
  }
  std::lock_guard<std::mutex> hold(state->lock);
  state->late.insert(state->late.end(), waiting.begin(), waiting.end());
}

static void PostgresClose(Store *store) {
  PostgresStore *state = State(store);
  LearnLate(store);
  for (PGconn *conn : state->idle)
    PQfinish(conn);
  for (LateChange &change : state->late)
    PQfinish(change.conn);
  delete state;
}

// Each job on a connection of the pool, within its deadline.
static int PostgresRun(Store *store, StoreJob **jobs, size_t count) {
  int failed = 0;
  LearnLate(store);
  for (size_t i = 0; i < count; i++) {
    StoreJob *job = jobs[i];
    PGconn *conn = Take(store, job->deadline_ms);
    job->rc = conn == NULL ? 1 : RunOn(store, conn, job);
    int in_backend = conn != NULL && PQstatus(conn) == CONNECTION_OK &&
                     PQtransactionStatus(conn) == PQTRANS_ACTIVE;
    if (in_backend && job->call != STORE_FIND && job->call != STORE_LISTEN) {
      KeepLate(store, conn, job);
    } else if (conn != NULL) {
      Give(store, conn);
    }
    failed |= job->rc;
  }
  return failed;
}

// The store threads' connections must fit in what the database allows
// besides its superusers' reserve; beyond what is free now, it is said.
static int PostgresCheckThreads(Store *store, int threads) {
  double deadline = MonotonicMs() + PG_START_MS;
  PGconn *conn = Connect(store, 0, deadline);
  if (conn == NULL) return 1;
  PGresult *result = Query(store, conn,
                           "SELECT current_setting('max_connections')::int"
                           " - current_setting('superuser_reserved_connections')::int,"
                           " (SELECT count(*) FROM pg_stat_activity"
                           " WHERE backend_type = 'client backend')",
                           PGRES_TUPLES_OK, deadline);
  PQfinish(conn);
  if (result == NULL) return 1;
  int allowed = atoi(PQgetvalue(result, 0, 0));
  int used = atoi(PQgetvalue(result, 0, 1)) - 1; // not this one
  PQclear(result);
  char detail[200];
  if (threads > allowed) {
    snprintf(detail, sizeof(detail),
             "--store-threads %d is more than the %d connections the database allows"
             " (max_connections less superuser_reserved_connections)",
             threads, allowed);
    return StoreFail(store, "PostgreSQL", detail);
  }
  if (threads + used > allowed) {
    snprintf(detail, sizeof(detail),
             "%d store threads and the %d connections open leave no room within the %d"
             " the database allows; some calls will fail",
             threads, used, allowed);
    StoreFail(store, "PostgreSQL", detail);
  }
  return 0;
}

static int PostgresList(Store *store, std::vector<CharacterRow> *rows) {
  double deadline = MonotonicMs() + store->timeout_ms;
  PGconn *conn = Take(store, deadline);
  if (conn == NULL) return 1;
  PGresult *result = Run(store, conn, PG_LIST, NULL, 0, PGRES_TUPLES_OK, deadline);
  for (int row = 0; result != NULL && row < PQntuples(result); row++)
    rows->push_back({PQgetvalue(result, row, 0), ParseBody(result, row, 1)});
  PQclear(result);
  Give(store, conn);
  return result == NULL ? 1 : 0;
}

static int PostgresRemove(Store *store, const char *name, int *removed) {
  double deadline = MonotonicMs() + store->timeout_ms;
  PGconn *conn = Take(store, deadline);
  if (conn == NULL) return 1;
  const char *params[] = {name};
  PGresult *result = Run(store, conn, PG_REMOVE, params, 1, PGRES_COMMAND_OK, deadline);
  if (result != NULL) *removed = strcmp(PQcmdTuples(result), "1") == 0;
  PQclear(result);
  Give(store, conn);
  return result == NULL ? 1 : 0;
}

static int PostgresBackup(Store *store, const char *path) {
  (void)path;
  return StoreFail(store, "backup",
                   "a PostgreSQL database is backed up with pg_dump (see docs/hosting.md)");
}

// One job at a time per thread: a connection holds one call.
extern const StoreEngine kPostgresEngine;
const StoreEngine kPostgresEngine = {
    "PostgreSQL",
    0,
    1,
    PostgresOpen,
    PostgresClose,
    PostgresRun,
    PostgresCheckThreads,
    PostgresList,
    PostgresRemove,
    PostgresBackup,
};
