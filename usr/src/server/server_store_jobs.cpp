// SPDX-License-Identifier: MIT
// The store threads: the loops hand them their database calls and go on
// serving; each job comes back to its conversation's loop through the
// loop's eventfd, as a password check does. A character's jobs take turns,
// so that one server never races itself on a row and a character whose row
// is locked keeps only one thread waiting; everything else runs beside.
#include "server_internal.h"

static void Finished(StorePool *pool, StoreJob *job) {
  if (job->name.empty()) return;
  auto turn = pool->turns.find(job->name);
  if (turn->second.empty()) {
    pool->turns.erase(turn);
    return;
  }
  pool->startable.push_back(turn->second.front());
  turn->second.pop_front();
  pool->ready.notify_one();
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

// Takes up to the engine's batch of startable jobs; the caller holds the
// lock.
static size_t Take(StorePool *pool, Store *store, std::vector<StoreJob *> *batch) {
  batch->clear();
  while (!pool->startable.empty() && batch->size() < (size_t)store->engine->batch_max) {
    batch->push_back(pool->startable.front());
    pool->startable.pop_front();
  }
  return batch->size();
}

// Runs a batch (the lock not held) and gives its jobs back to their loops.
static void RunBatch(StorePool *pool, Store *store, std::vector<StoreJob *> &batch) {
  std::vector<StoreJob *> calls;
  for (StoreJob *job : batch) {
    if (!Late(store, job)) calls.push_back(job);
  }
  if (!calls.empty()) store->engine->run(store, calls.data(), calls.size());
  // Whichever engine failed and however, an answer ends the failing spell.
  for (StoreJob *job : calls) {
    if (job->rc == 0) StoreAnswered(store);
  }
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    for (StoreJob *job : batch)
      Finished(pool, job);
  }
  for (StoreJob *job : batch) {
    if (job->loop != NULL) LoopPostHashed(job->loop, job->talk);
  }
}

static void Worker(StorePool *pool, Store *store) {
  std::vector<StoreJob *> batch;
  for (;;) {
    std::unique_lock<std::mutex> hold(pool->lock);
    pool->ready.wait(hold, [pool] { return pool->stopping || !pool->startable.empty(); });
    if (pool->stopping) return;
    Take(pool, store, &batch);
    hold.unlock();
    RunBatch(pool, store, batch);
  }
}

int StorePoolStart(StorePool *pool, Store *store, int threads) {
  pool->stopping = false;
  if (store->engine->threads_max > 0 && threads > store->engine->threads_max)
    threads = store->engine->threads_max;
  for (int i = 0; i < threads; i++)
    pool->threads.emplace_back(Worker, pool, store);
  return 0;
}

void StorePoolStop(StorePool *pool) {
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->stopping = true;
    pool->ready.notify_all();
  }
  for (std::thread &thread : pool->threads)
    thread.join();
  pool->threads.clear();
  pool->turns.clear();
  pool->startable.clear();
}

void StorePoolSubmit(StorePool *pool, StoreJob *job) {
  std::lock_guard<std::mutex> hold(pool->lock);
  if (!job->name.empty()) {
    auto turn = pool->turns.find(job->name);
    if (turn != pool->turns.end()) {
      turn->second.push_back(job);
      return;
    }
    pool->turns[job->name];
  }
  pool->startable.push_back(job);
  pool->ready.notify_one();
}

int StorePoolRunReady(StorePool *pool, Store *store) {
  std::vector<StoreJob *> batch;
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    if (Take(pool, store, &batch) == 0) return 0;
  }
  RunBatch(pool, store, batch);
  return 1;
}
