// SPDX-License-Identifier: MIT
// varkel_admin: looks after the characters of a server's database while the
// server runs: lists them, shows or removes one, writes a backup.
//
//   varkel_admin [--db PATH] list | show NAME | remove NAME | backup FILE
//
// Needs are shown as they stand now by the game's rules, without writing
// them; a password hash is never shown.
#include <string.h>
#include <time.h>

#include "server.h"

static const char kUsage[] =
    "Usage: varkel_admin [--db PATH] COMMAND\n"
    "  list          every character: name, alive or dead, needs, sleeping or awake\n"
    "  show NAME     one character\n"
    "  remove NAME   removes a character; its name is free again\n"
    "  backup FILE   writes a consistent copy of the database to FILE\n"
    "  --db PATH     database file or postgresql:// URI (default: the server's,\n"
    "                var/lib/varkel/varkel.db of the tree)\n";

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
  if (command == NULL) return Usage("unknown command");
  if (argc - next - 1 != command->takes_argument) return Usage("wrong number of arguments");
  Store store;
  if (StoreOpenShared(&store, db.c_str(), "varkel_admin", stderr) != 0) return 1;
  int rc = command->run(&store, command->takes_argument ? argv[next + 1] : NULL);
  StoreClose(&store);
  return rc;
}
