#include "common/worker_pool.h"

#include <unistd.h>

#include "common/thread.h"

namespace orv {

// One queued handler call. A null handler marks the stop request.
struct WorkerPool::Job {
  int fd = -1;
  hv_io_t* io = nullptr;
  json_t* params = nullptr;  // one reference, owned
  void* ctx = nullptr;
  hv_handler_fn handler = nullptr;
  int64_t key = kNoKey;
  Job* prev = this;
  Job* next = this;
};

WorkerPool::WorkerPool(int threads) : head_(new Job) {
  for (int i = 0; i < threads; ++i) {
    pthread_t id;
    if (start_thread(&id, &WorkerPool::thread_main, this)) {
      threads_.push_back(id);
    }
  }
}

WorkerPool::~WorkerPool() {
  pthread_mutex_lock(&mutex_);
  bool posted = stop_posted_;
  pthread_mutex_unlock(&mutex_);
  if (!posted) stop();
  for (pthread_t id : threads_) pthread_join(id, nullptr);
  pthread_cond_destroy(&wake_);
  pthread_mutex_destroy(&mutex_);
  // Jobs that never ran, the stop request among them: their callers get no
  // reply, but their io, descriptor and parameters must not leak.
  while (head_->next != head_) {
    Job* job = head_->next;
    head_->next = job->next;
    release(job);
  }
  delete head_;
}

void WorkerPool::submit(hv_handler_fn handler, void* ctx, hv_io_t* io,
                        json_t* params, int fd, int64_t key) {
  Job* job = new Job;
  job->fd = fd;
  job->io = io;
  job->params = params;
  job->ctx = ctx;
  job->handler = handler;
  job->key = key;
  pthread_mutex_lock(&mutex_);
  job->prev = head_->prev;
  job->next = head_;
  head_->prev->next = job;
  head_->prev = job;
  pthread_cond_signal(&wake_);
  pthread_mutex_unlock(&mutex_);
}

void WorkerPool::stop() {
  Job* job = new Job;  // null handler: the stop request
  pthread_mutex_lock(&mutex_);
  // At the head, so that it overtakes every job still waiting.
  job->prev = head_;
  job->next = head_->next;
  head_->next->prev = job;
  head_->next = job;
  stop_posted_ = true;
  pthread_cond_signal(&wake_);
  pthread_mutex_unlock(&mutex_);
}

void* WorkerPool::thread_main(void* arg) {
  static_cast<WorkerPool*>(arg)->run();
  return nullptr;
}

WorkerPool::Job* WorkerPool::next_job() const {
  for (Job* job = head_->next; job != head_; job = job->next) {
    // The stop request is put at the head, so it is met first.
    if (job->handler == nullptr || job->key == kNoKey ||
        running_keys_.count(job->key) == 0) {
      return job;
    }
  }
  return nullptr;
}

void WorkerPool::run() {
  while (true) {
    pthread_mutex_lock(&mutex_);
    Job* job;
    while ((job = next_job()) == nullptr) pthread_cond_wait(&wake_, &mutex_);
    if (job->handler == nullptr) {
      // The stop request stays queued for the other threads; each one that
      // sees it passes the wake-up on before it ends.
      pthread_cond_signal(&wake_);
      pthread_mutex_unlock(&mutex_);
      return;
    }
    job->prev->next = job->next;
    job->next->prev = job->prev;
    const int64_t key = job->key;
    if (key != kNoKey) running_keys_.insert(key);
    pthread_mutex_unlock(&mutex_);
    try {
      job->handler(job->ctx, job->io, job->params, job->fd);
    } catch (...) {
      // A handler that throws loses its request's reply, not the daemon.
    }
    release(job);
    if (key != kNoKey) {
      pthread_mutex_lock(&mutex_);
      running_keys_.erase(key);
      // The key's next job may wait while every idle thread sleeps.
      pthread_cond_broadcast(&wake_);
      pthread_mutex_unlock(&mutex_);
    }
  }
}

void WorkerPool::release(Job* job) {
  if (job->fd >= 0) close(job->fd);
  if (job->io != nullptr) hv_io_free(job->io);
  json_decref(job->params);
  delete job;
}

}  // namespace orv
