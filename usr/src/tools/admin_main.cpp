// SPDX-License-Identifier: MIT
// varkel_admin: looks after the characters of a server's database while the
// server runs: lists them, shows or removes one, writes a backup; and puts
// a backup back in place while no server runs.
//
//   varkel_admin [--db PATH] list | show NAME | remove NAME | backup FILE
//                | restore FILE
//
// Needs are shown as they stand now by the game's rules, without writing
// them; a password hash is never shown.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sqlite3.h>

#include "server.h"

static const char kUsage[] =
    "Usage: varkel_admin [--db PATH] COMMAND\n"
    "  list          every character: name, alive or dead, needs, sleeping or awake\n"
    "  show NAME     one character\n"
    "  remove NAME   removes a character; its name is free again\n"
    "  backup FILE   writes a consistent copy of the database to FILE\n"
    "  restore FILE  puts the backup FILE in place of the database, while no server\n"
    "                runs on it; its owner and mode are kept\n"
    "  --db PATH     database file or postgresql:// URI (default: the server's,\n"
    "                var/lib/varkel/varkel.db of the tree)\n"
    "  --version     the version\n";

namespace {

typedef struct AdminCommand {
  const char *word;
  int takes_argument;
  int (*run)(Store *store, const char *argument);
} AdminCommand;

} // namespace

static double Now() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// The body as the server would find it now.
static Body BodyNow(Body body) {
  BodyAdvance(&body, Now());
  return body;
}

static void PrintRow(const char *name, const Body &body) {
  printf("%s\t%s\t%d\t%d\t%d\t%s\n", name, body.dead ? "dead" : "alive", WholePercent(body.hunger),
         WholePercent(body.thirst), WholePercent(body.sleep), body.asleep ? "sleeping" : "awake");
}

static int List(Store *store, const char *argument) {
  (void)argument;
  std::vector<CharacterRow> rows;
  if (StoreList(store, &rows) != 0) return 1;
  printf("name\tstate\thunger\tthirst\tsleep\tbody\n");
  for (const CharacterRow &row : rows)
    PrintRow(row.name.c_str(), BodyNow(row.body));
  return 0;
}

static int Show(Store *store, const char *name) {
  Account account;
  int found = 0;
  if (StoreFind(store, name, &account, &found) != 0) return 1;
  if (!found) {
    fprintf(stderr, "varkel_admin: no character is named \"%s\"\n", name);
    return 1;
  }
  Body body = BodyNow(account.body);
  printf("name: %s\nstate: %s\nhunger: %d\nthirst: %d\nsleep: %d\nbody: %s\n", name,
         body.dead ? "dead" : "alive", WholePercent(body.hunger), WholePercent(body.thirst),
         WholePercent(body.sleep), body.asleep ? "sleeping" : "awake");
  return 0;
}

static int Remove(Store *store, const char *name) {
  int removed = 0;
  if (StoreRemove(store, name, &removed) != 0) return 1;
  if (!removed) {
    fprintf(stderr, "varkel_admin: no character is named \"%s\"\n", name);
    return 1;
  }
  printf("removed \"%s\"; the name is free\n", name);
  return 0;
}

static int Backup(Store *store, const char *path) {
  if (StoreBackup(store, path) != 0) return 1;
  printf("backup written to %s\n", path);
  return 0;
}

// ---- Restore: files, not the store -------------------------------------------

// Names the path, the step and the cause; returns 1.
static int Failed(const std::string &path, const char *step, const char *cause) {
  fprintf(stderr, "varkel_admin: %s: %s: %s\n", path.c_str(), step, cause);
  return 1;
}

// The file as an SQLite URI opened immutable: only the file that will be
// copied is checked, and no -wal or -shm is made beside it.
static std::string ImmutableUri(const char *path) {
  std::string uri = "file:";
  for (const char *c = path; *c != '\0'; c++) {
    char escaped[4];
    snprintf(escaped, sizeof(escaped), "%%%02X", (unsigned char)*c);
    uri += strchr("?#%", *c) != NULL ? escaped : std::string(1, *c);
  }
  return uri + "?immutable=1";
}

// 0 when FILE is a whole SQLite database.
static int CheckBackup(const char *path) {
  sqlite3 *db = NULL;
  sqlite3_stmt *statement = NULL;
  int rc = sqlite3_open_v2(ImmutableUri(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                           NULL);
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, NULL);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  int whole =
      rc == SQLITE_ROW && strcmp((const char *)sqlite3_column_text(statement, 0), "ok") == 0;
  std::string cause =
      rc == SQLITE_ROW ? (const char *)sqlite3_column_text(statement, 0) : sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return whole ? 0 : Failed(path, "integrity_check", cause.c_str());
}

// Copies FILE into `to`, made with the database's owner and mode.
static int CopyFile(const char *from, const std::string &to, const struct stat *like) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return Failed(from, "open", strerror(errno));
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    close(in);
    return Failed(to, "open", strerror(errno));
  }
  int rc = 0;
  char buffer[65536];
  ssize_t got;
  while (rc == 0 && (got = read(in, buffer, sizeof(buffer))) != 0) {
    if (got < 0) rc = errno == EINTR ? 0 : Failed(from, "read", strerror(errno));
    if (got > 0 && write(out, buffer, (size_t)got) != got)
      rc = Failed(to, "write", strerror(errno));
  }
  if (rc == 0 && like != NULL && fchown(out, like->st_uid, like->st_gid) != 0)
    rc = Failed(to, "fchown", strerror(errno));
  if (rc == 0 && fchmod(out, like != NULL ? like->st_mode & 07777 : 0600) != 0)
    rc = Failed(to, "fchmod", strerror(errno));
  if (rc == 0 && fsync(out) != 0) rc = Failed(to, "fsync", strerror(errno));
  close(in);
  close(out);
  if (rc != 0) unlink(to.c_str());
  return rc;
}

// The database's lock is held throughout, so that no server starts on it
// meanwhile; the stale write-ahead log and shared memory of the replaced
// database go before the backup takes its place, or a server would replay
// them over it.
static int Restore(const std::string &db, const char *backup) {
  if (StoreEngineFor(db.c_str()) != &kSqliteEngine)
    return Failed(db, "restore", "a PostgreSQL database is restored with pg_restore");
  if (CheckBackup(backup) != 0) return 1;
  struct stat existing;
  int exists = stat(db.c_str(), &existing) == 0;
  int lock = exists ? open(db.c_str(), O_RDWR | O_CLOEXEC) : -1;
  if (exists && lock < 0) return Failed(db, "open", strerror(errno));
  if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
    int cause = errno;
    close(lock);
    return Failed(db, "flock",
                  cause == EWOULDBLOCK ? "a server runs on it; stop it first" : strerror(cause));
  }
  std::string partial = db + ".restoring";
  int rc = CopyFile(backup, partial, exists ? &existing : NULL);
  for (const char *suffix : {"-wal", "-shm"}) {
    std::string stale = db + suffix;
    if (rc == 0 && unlink(stale.c_str()) != 0 && errno != ENOENT)
      rc = Failed(stale, "unlink", strerror(errno));
  }
  if (rc == 0 && rename(partial.c_str(), db.c_str()) != 0) {
    rc = Failed(db, "rename", strerror(errno));
    unlink(partial.c_str());
  }
  if (lock >= 0) close(lock);
  if (rc == 0) printf("restored %s from %s\n", db.c_str(), backup);
  return rc;
}

static const AdminCommand kCommands[] = {
    {"list", 0, List},
    {"show", 1, Show},
    {"remove", 1, Remove},
    {"backup", 1, Backup},
};

static int Usage(const char *problem) {
  if (problem != NULL) fprintf(stderr, "varkel_admin: %s\n", problem);
  fputs(kUsage, problem != NULL ? stderr : stdout);
  return problem != NULL ? 2 : 0;
}

int main(int argc, char **argv) {
  std::string db = DefaultDatabasePath(ProgramPath(argv[0]));
  int next = 1;
  if (next < argc && (strcmp(argv[next], "--help") == 0 || strcmp(argv[next], "-h") == 0))
    return Usage(NULL);
  if (next < argc && strcmp(argv[next], "--version") == 0) {
    printf("varkel_admin version %d\nLooks after the database of a Varkel server.\n", WIRE_VERSION);
    return 0;
  }
  if (next + 1 < argc && strcmp(argv[next], "--db") == 0) {
    db = argv[next + 1];
    next += 2;
  } else if (next < argc && strncmp(argv[next], "--db=", 5) == 0) {
    db = argv[next] + 5;
    next++;
  }
  if (next >= argc) return Usage("a command is needed");
  const AdminCommand *command = NULL;
  for (const AdminCommand &candidate : kCommands) {
    if (strcmp(candidate.word, argv[next]) == 0) command = &candidate;
  }
  if (command == NULL && strcmp(argv[next], "restore") == 0) {
    if (argc - next - 1 != 1) return Usage("wrong number of arguments");
    return Restore(db, argv[next + 1]);
  }
  if (command == NULL) return Usage("unknown command");
  if (argc - next - 1 != command->takes_argument) return Usage("wrong number of arguments");
  Store store;
  if (StoreOpenShared(&store, db.c_str(), "varkel_admin", stderr) != 0) return 1;
  int rc = command->run(&store, command->takes_argument ? argv[next + 1] : NULL);
  StoreClose(&store);
  return rc;
}
