// WorkerPool: a fixed set of threads that run queued bus requests in arrival
// order. The daemon runs its "watch" requests on a pool of one thread, so that
// they change the daemon's own watchers one at a time.
#ifndef ORV_COMMON_WORKER_POOL_H_
#define ORV_COMMON_WORKER_POOL_H_

#include <jansson.h>
#include <pthread.h>

#include <cstdint>
#include <set>
#include <vector>

#include "common/bus/hvREST.h"

namespace orv {

// A pool of threads sharing one job queue. A job is a handler call with its
// endpoint context, io, parameter object and reply descriptor; once a job is
// submitted the pool owns its io, descriptor and parameter object and
// releases them after the handler ran (or, for a job that never runs, when
// the pool is destroyed; its caller then gets no reply).
//
// Any thread may submit and post the stop request. Destroy the pool from a
// thread that is not one of its own.
class WorkerPool {
 public:
  // Starts `threads` threads. Threads that cannot be created are left out
  // without a report; a pool with no thread runs no job.
  explicit WorkerPool(int threads);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Posts the stop request unless one was posted, waits for every thread,
  // then releases the jobs still queued.
  ~WorkerPool();

  // A job without a key.
  static constexpr int64_t kNoKey = -1;

  // Queues a job at the tail and wakes one thread. Takes over `io` (freed with
  // hv_io_free), `fd` (closed when not negative) and one reference to
  // `params`. Jobs with the same `key` (not kNoKey) never run at the same
  // time: a thread passes over a job whose key is running and takes the next
  // one, so that the jobs of one slow key hold one thread and wait in their
  // order while the others run.
  void submit(hv_handler_fn handler, void* ctx, hv_io_t* io, json_t* params,
              int fd, int64_t key = kNoKey);

  // Puts the stop request at the head of the queue: every thread ends once it
  // has finished the job it runs, and queued jobs are never run.
  void stop();

 private:
  struct Job;

  static void* thread_main(void* arg);
  void run();
  // The first job a thread may take: the stop request, or the oldest job
  // whose key is not running; null when there is none. Call under mutex_.
  Job* next_job() const;
  static void release(Job* job);

  // Constant after construction.
  std::vector<pthread_t> threads_;

  // Guarded by mutex_. The queue is circular and doubly linked through its
  // head node: empty when head_ links to itself.
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
  Job* head_;
  bool stop_posted_ = false;
  std::set<int64_t> running_keys_;
};

}  // namespace orv

#endif  // ORV_COMMON_WORKER_POOL_H_
