#include "common/worker_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace orv {
namespace {

using std::chrono::milliseconds;

// What the jobs of one test record; jobs get it through their parameter
// object's "id" member and the endpoint context.
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> ran;
  int running = 0;
  bool release = false;  // blocking jobs wait for this

  bool wait_for(const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), condition);
  }
};

void record_job(void* ctx, hv_io_t*, json_t* params, int) {
  auto* journal = static_cast<Journal*>(ctx);
  std::lock_guard<std::mutex> lock(journal->mutex);
  journal->ran.push_back(
      static_cast<int>(json_integer_value(json_object_get(params, "id"))));
  journal->changed.notify_all();
}

// Records itself, then holds its thread until the test releases it.
void blocking_job(void* ctx, hv_io_t* io, json_t* params, int fd) {
  auto* journal = static_cast<Journal*>(ctx);
  record_job(ctx, io, params, fd);
  std::unique_lock<std::mutex> lock(journal->mutex);
  ++journal->running;
  journal->changed.notify_all();
  journal->changed.wait(lock, [&] { return journal->release; });
}

json_t* job_params(int id) { return json_pack("{s:i}", "id", id); }

// Runs `work` on a thread of its own; false when it has not ended within
// `limit` (the thread is then left behind).
bool ends_within(std::function<void()> work, milliseconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([work, done] {
    work();
    done->set_value();
  }).detach();
  return ended.wait_for(limit) == std::future_status::ready;
}

TEST(WorkerPoolTest, OneThreadRunsJobsInSubmissionOrder) {
  Journal journal;
  WorkerPool pool(1);
  for (int id = 1; id <= 3; ++id) {
    pool.submit(&record_job, &journal, nullptr, job_params(id), -1);
  }
  ASSERT_TRUE(journal.wait_for([&] { return journal.ran.size() == 3; }));
  EXPECT_EQ(journal.ran, (std::vector<int>{1, 2, 3}));
}

// A job whose key is running waits, in its order, while the jobs behind it
// take the free thread.
TEST(WorkerPoolTest, JobsOfOneKeyRunOneAtATime) {
  Journal journal;
  WorkerPool pool(2);
  pool.submit(&blocking_job, &journal, nullptr, job_params(1), -1, 7);
  ASSERT_TRUE(journal.wait_for([&] { return journal.running == 1; }));
  pool.submit(&record_job, &journal, nullptr, job_params(2), -1, 7);
  pool.submit(&record_job, &journal, nullptr, job_params(3), -1, 7);
  pool.submit(&record_job, &journal, nullptr, job_params(4), -1, 8);
  pool.submit(&record_job, &journal, nullptr, job_params(5), -1);
  ASSERT_TRUE(journal.wait_for([&] { return journal.ran.size() == 3; }));
  {
    std::lock_guard<std::mutex> lock(journal.mutex);
    EXPECT_EQ(journal.ran, (std::vector<int>{1, 4, 5}));
    journal.release = true;
    journal.changed.notify_all();
  }
  ASSERT_TRUE(journal.wait_for([&] { return journal.ran.size() == 5; }));
  EXPECT_EQ(journal.ran, (std::vector<int>{1, 4, 5, 2, 3}));
}

TEST(WorkerPoolTest, StopReleasesWaitingJobsWithoutRunningThem) {
  Journal journal;
  auto pool = std::make_unique<WorkerPool>(1);
  pool->submit(&blocking_job, &journal, nullptr, job_params(1), -1);
  ASSERT_TRUE(journal.wait_for([&] { return journal.running == 1; }));

  // Two jobs wait behind the running one; each holds a parameter object the
  // test also references, the write end of a pipe and an io.
  json_t* kept[2] = {job_params(2), job_params(3)};
  int pipes[2][2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(pipe(pipes[i]), 0);
    pool->submit(&record_job, &journal, hv_io_create(), json_incref(kept[i]),
                 pipes[i][1]);
  }
  pool->stop();
  {
    std::lock_guard<std::mutex> lock(journal.mutex);
    journal.release = true;
    journal.changed.notify_all();
  }
  ASSERT_TRUE(ends_within([&] { pool.reset(); }, milliseconds(5000)));

  EXPECT_EQ(journal.ran, (std::vector<int>{1}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(kept[i]->refcount, 1u) << "the pool kept job " << i + 2;
    char byte;
    // End of file: the pool closed the only write end.
    EXPECT_EQ(read(pipes[i][0], &byte, 1), 0);
    close(pipes[i][0]);
    json_decref(kept[i]);
  }
}

TEST(WorkerPoolTest, OneStopRequestEndsEveryThread) {
  constexpr int kThreads = 4;
  Journal journal;
  auto pool = std::make_unique<WorkerPool>(kThreads);
  // All four block at once, so the pool really has four threads.
  for (int id = 0; id < kThreads; ++id) {
    pool->submit(&blocking_job, &journal, nullptr, job_params(id), -1);
  }
  ASSERT_TRUE(journal.wait_for([&] { return journal.running == kThreads; }));
  pool->stop();
  {
    std::lock_guard<std::mutex> lock(journal.mutex);
    journal.release = true;
    journal.changed.notify_all();
  }
  EXPECT_TRUE(ends_within([&] { pool.reset(); }, milliseconds(5000)));
}

}  // namespace
}  // namespace orv
