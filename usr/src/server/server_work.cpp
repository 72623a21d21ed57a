// SPDX-License-Identifier: MIT
// The work queue: the loops hand it their slow work and go on serving; a
// worker runs it and hands each job back to the box of the loop that asked,
// whose eventfd wakes it. The server has two, the password hashes' and the
// database calls', alike but for their threads and their run.
#include <unistd.h>

#include "server_internal.h"

// A key's jobs run one at a time in a queue that says so, but the empty
// key's (the chat memory's), which run side by side.
static bool OneAtATime(const WorkQueue *queue, const std::string &key) {
  return queue->one_per_key && !key.empty();
}

// The lane the next job comes from, -1 when none may start; the caller
// holds the lock.
static int NextLane(const WorkQueue *queue) {
  if (!queue->lanes[WORK_FIRST].turn.empty()) return WORK_FIRST;
  if (!queue->lanes[WORK_SPARING].turn.empty() && queue->sparing_running < queue->sparing_most)
    return WORK_SPARING;
  return -1;
}

// The first job of the key whose turn it is in the lane; that key goes to
// the back of the turn while it has more, or once its job is done when its
// jobs run one at a time.
static WorkJob *NextJob(WorkQueue *queue, int lane) {
  WorkLane *waiting = &queue->lanes[lane];
  std::string key = waiting->turn.front();
  waiting->turn.pop_front();
  auto jobs = waiting->jobs.find(key);
  WorkJob *job = jobs->second.front();
  jobs->second.pop_front();
  if (jobs->second.empty()) {
    waiting->jobs.erase(jobs);
  } else if (!OneAtATime(queue, key)) {
    waiting->turn.push_back(key);
  }
  if (OneAtATime(queue, key)) queue->running_keys.insert(key);
  if (lane == WORK_SPARING) queue->sparing_running++;
  queue->taken[lane]++;
  return job;
}

// Takes up to a batch of the jobs that may start; the caller holds the lock.
static size_t Take(WorkQueue *queue, std::vector<WorkJob *> *batch) {
  batch->clear();
  for (int lane = NextLane(queue); lane >= 0 && batch->size() < queue->batch_most;
       lane = NextLane(queue))
    batch->push_back(NextJob(queue, lane));
  return batch->size();
}

// The caller holds the lock.
static void Finished(WorkQueue *queue, const WorkJob *job) {
  if (job->lane == WORK_SPARING) queue->sparing_running--;
  if (!OneAtATime(queue, job->key)) return;
  queue->running_keys.erase(job->key);
  WorkLane *waiting = &queue->lanes[job->lane];
  if (waiting->jobs.count(job->key) != 0) waiting->turn.push_back(job->key);
}

// Runs a batch (the lock not held) and hands its jobs back; the asker may
// reuse a job as soon as it has it back.
static void RunBatch(WorkQueue *queue, std::vector<WorkJob *> &batch) {
  queue->run(queue->owner, batch.data(), batch.size());
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    for (WorkJob *job : batch)
      Finished(queue, job);
    queue->ready.notify_all();
  }
  for (WorkJob *job : batch) {
    WorkBox *box = job->back;
    if (box == NULL) continue;
    bool first;
    {
      std::lock_guard<std::mutex> hold(box->lock);
      first = box->jobs.empty();
      box->jobs.push_back(job);
    }
    // A box that held jobs already has its wake-up due: the loop reads the
    // counter before it takes them.
    if (!first) continue;
    uint64_t one = 1;
    ssize_t written = write(box->fd, &one, sizeof(one));
    (void)written; // a counter already set wakes the loop as well
  }
}

static void Worker(WorkQueue *queue) {
  std::vector<WorkJob *> batch;
  for (;;) {
    std::unique_lock<std::mutex> hold(queue->lock);
    queue->ready.wait(hold, [queue] { return queue->stopping || NextLane(queue) >= 0; });
    if (queue->stopping) return;
    Take(queue, &batch);
    hold.unlock();
    RunBatch(queue, batch);
  }
}

int WorkStart(WorkQueue *queue, int threads, size_t batch_most, bool one_per_key,
              void (*run)(void *owner, WorkJob **jobs, size_t count), void *owner) {
  queue->run = run;
  queue->owner = owner;
  queue->batch_most = batch_most > 0 ? batch_most : 1;
  queue->one_per_key = one_per_key;
  queue->stopping = false;
  queue->sparing_running = 0;
  queue->sparing_most = threads > 2 ? threads - 1 : 1;
  for (std::atomic<long> &taken : queue->taken)
    taken = 0;
  for (int i = 0; i < threads; i++)
    queue->threads.emplace_back(Worker, queue);
  return 0;
}

void WorkStop(WorkQueue *queue) {
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->stopping = true;
    queue->ready.notify_all();
  }
  for (std::thread &thread : queue->threads)
    thread.join();
  queue->threads.clear();
  for (WorkLane &lane : queue->lanes) {
    lane.jobs.clear();
    lane.turn.clear();
  }
  queue->running_keys.clear();
}

void WorkSubmit(WorkQueue *queue, WorkJob *job) {
  std::lock_guard<std::mutex> hold(queue->lock);
  WorkLane *waiting = &queue->lanes[job->lane];
  std::deque<WorkJob *> &jobs = waiting->jobs[job->key];
  if (jobs.empty() && queue->running_keys.count(job->key) == 0) waiting->turn.push_back(job->key);
  jobs.push_back(job);
  queue->ready.notify_one();
}

int WorkRunReady(WorkQueue *queue) {
  std::vector<WorkJob *> batch;
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    if (Take(queue, &batch) == 0) return 0;
  }
  RunBatch(queue, batch);
  return 1;
}

int WorkTakeDone(WorkBox *box) {
  uint64_t count;
  ssize_t got = read(box->fd, &count, sizeof(count));
  (void)got; // nothing to read: woken for something else
  std::vector<WorkJob *> done;
  {
    std::lock_guard<std::mutex> hold(box->lock);
    done.swap(box->jobs);
  }
  for (WorkJob *job : done)
    job->done(job->asker);
  return !done.empty();
}
