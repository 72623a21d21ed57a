// SPDX-License-Identifier: MIT
// The store's face: the engine a --db value names, and the calls that go
// to it. The conversations and the admin tool see only these.
#include <string.h>

#include "server.h"

extern const StoreEngine kSqliteEngine;
extern const StoreEngine kPostgresEngine;

const StoreEngine *StoreEngineFor(const char *where) {
  if (strncmp(where, "postgresql://", 13) == 0 || strncmp(where, "postgres://", 11) == 0)
    return &kPostgresEngine;
  return &kSqliteEngine;
}

static int OpenWith(Store *store, const char *where, const char *program, FILE *log, int own) {
  store->engine = StoreEngineFor(where);
  store->db = NULL;
  store->log = log != NULL ? log : stderr;
  store->program = program;
  if (store->engine->open(store, where, own) == 0) return 0;
  StoreClose(store);
  return 1;
}

int StoreOpen(Store *store, const char *where, FILE *log) {
  return OpenWith(store, where, "varkel_server", log, 1);
}

int StoreOpenShared(Store *store, const char *where, const char *program, FILE *log) {
  return OpenWith(store, where, program, log, 0);
}

void StoreClose(Store *store) {
  if (store->db != NULL) store->engine->close(store);
  store->db = NULL;
}

int StoreFail(Store *store, const char *call, const char *detail) {
  fprintf(store->log, "%s: %s: %s\n", store->program, call, detail);
  return 1;
}

int StoreFind(Store *store, const char *name, Account *account, int *found) {
  return store->engine->find(store, name, account, found);
}

int StoreCreate(Store *store, const char *name, const char *password_hash, double now,
                int *created) {
  return store->engine->create(store, name, password_hash, now, created);
}

int StoreUpdate(Store *store, const char *name, enum BodyChange change, double now, Body *body,
                int *was_dead) {
  return store->engine->update(store, name, change, now, body, was_dead);
}

int StoreSay(Store *store, const std::string &line) {
  return store->engine->say(store, line);
}

int StoreListen(Store *store, std::vector<std::string> *lines) {
  return store->engine->listen(store, lines);
}

int StoreList(Store *store, std::vector<CharacterRow> *rows) {
  return store->engine->list(store, rows);
}

int StoreRemove(Store *store, const char *name, int *removed) {
  return store->engine->remove(store, name, removed);
}

int StoreBackup(Store *store, const char *path) {
  return store->engine->backup(store, path);
}
