// SPDX-License-Identifier: MIT
// The store's face: the engine a --db value names, and the calls that go
// to it. The conversations and the admin tool see only these.
#include <string.h>

#include "server_internal.h"

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
  store->timeout_ms = STORE_TIMEOUT_MS_DEFAULT;
  store->threads = STORE_THREADS_DEFAULT;
  store->reported_at_ms = 0;
  store->unreported = 0;
  store->failing = 0;
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

int StoreReport(Store *store, const char *call, const char *detail) {
  std::string text(detail != NULL && detail[0] != '\0' ? detail : "failed");
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  for (char &c : text) {
    if (c == '\n') c = ' ';
  }
  std::lock_guard<std::mutex> hold(store->report_lock);
  double now = MonotonicMs();
  if (store->reported_at_ms > 0 && now - store->reported_at_ms < STORE_REPORT_MS) {
    store->unreported++;
    return 1;
  }
  if (store->unreported > 0) {
    char more[96];
    snprintf(more, sizeof(more), " (and %ld more failures in the last %.0f s)", store->unreported,
             (now - store->reported_at_ms) / 1000.0);
    text += more;
  }
  StoreFail(store, call, text.c_str());
  store->reported_at_ms = now;
  store->unreported = 0;
  store->failing = 1;
  return 1;
}

void StoreAnswered(Store *store) {
  if (!store->failing) return;
  std::lock_guard<std::mutex> hold(store->report_lock);
  if (!store->failing) return;
  store->failing = 0;
  fprintf(store->log, "%s: %s answers again\n", store->program, store->engine->name);
}

int StoreLimit(Store *store, int threads, int timeout_ms) {
  store->timeout_ms = timeout_ms;
  store->threads = threads;
  return store->engine->check_threads(store, threads);
}

StoreJob StoreJobFor(Store *store, enum StoreCall call, const char *name) {
  StoreJob job;
  job.call = call;
  job.name = name != NULL ? name : "";
  job.change = BODY_KEEP;
  job.now = 0;
  job.known = 0;
  job.found = 0;
  job.body = BodyNew(0);
  job.was_dead = 0;
  job.deadline_ms = MonotonicMs() + store->timeout_ms;
  job.rc = 1;
  return job;
}

// A job that waited past its deadline is given up without a call.
static int Late(Store *store, StoreJob *job) {
  if (MonotonicMs() < job->deadline_ms) return 0;
  job->rc = 1;
  char detail[96];
  snprintf(detail, sizeof(detail), "no answer within %d ms", store->timeout_ms);
  StoreReport(store, "deadline", detail);
  return 1;
}

// The queue gives at most the engine's batch; a character's jobs come one
// at a time, so that one server never races itself on a row and a
// character whose row is locked keeps only one thread waiting.
void StoreRunWork(void *owner, WorkJob **jobs, size_t count) {
  Store *store = (Store *)owner;
  std::vector<StoreJob *> calls;
  for (size_t i = 0; i < count; i++) {
    StoreJob *job = (StoreJob *)jobs[i]->subject;
    if (!Late(store, job)) calls.push_back(job);
  }
  if (!calls.empty()) store->engine->run(store, calls.data(), calls.size());
  // Whichever engine failed and however, an answer ends the failing spell.
  for (StoreJob *job : calls) {
    if (job->rc == 0) StoreAnswered(store);
  }
}

int StoreRunJob(Store *store, StoreJob *job) {
  store->engine->run(store, &job, 1);
  if (job->rc == 0) StoreAnswered(store);
  return job->rc;
}

int StoreFind(Store *store, const char *name, Account *account, int *found) {
  StoreJob job = StoreJobFor(store, STORE_FIND, name);
  if (StoreRunJob(store, &job) != 0) return 1;
  *found = job.found;
  if (job.found) *account = job.account;
  return 0;
}

int StoreCreate(Store *store, const char *name, const char *password_hash, double now,
                int *created) {
  StoreJob job = StoreJobFor(store, STORE_CREATE, name);
  job.text = password_hash;
  job.now = now;
  if (StoreRunJob(store, &job) != 0) return 1;
  *created = job.found;
  return 0;
}

int StoreUpdate(Store *store, const char *name, enum BodyChange change, double now, Body *body,
                int *was_dead) {
  StoreJob job = StoreJobFor(store, STORE_UPDATE, name);
  job.change = change;
  job.now = now;
  if (StoreRunJob(store, &job) != 0) return 1;
  *body = job.body;
  *was_dead = job.was_dead;
  return 0;
}

int StoreSay(Store *store, const std::string &line) {
  StoreJob job = StoreJobFor(store, STORE_SAY, NULL);
  job.text = line;
  return StoreRunJob(store, &job);
}

int StoreListen(Store *store, std::vector<std::string> *lines) {
  StoreJob job = StoreJobFor(store, STORE_LISTEN, NULL);
  if (StoreRunJob(store, &job) != 0) return 1;
  lines->swap(job.lines);
  return 0;
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
