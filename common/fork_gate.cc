#include "common/fork_gate.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace orv {

namespace {

// Guarded by g_mutex.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
int g_active = 0;        // threads holding a guard
bool g_forking = false;  // a gated fork waits or runs

// Guards the calling thread holds; only the outermost one counts.
thread_local int t_depth = 0;

}  // namespace

ForkGuard::ForkGuard() {
  if (t_depth++ > 0) return;
  pthread_mutex_lock(&g_mutex);
  while (g_forking) pthread_cond_wait(&g_changed, &g_mutex);
  ++g_active;
  pthread_mutex_unlock(&g_mutex);
}

ForkGuard::~ForkGuard() {
  if (--t_depth > 0) return;
  pthread_mutex_lock(&g_mutex);
  if (--g_active == 0 && g_forking) pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_mutex);
}

pid_t gated_fork() {
  if (t_depth > 0) {
    errno = EDEADLK;  // Its own guard would keep the gate open for ever.
    return -1;
  }
  pthread_mutex_lock(&g_mutex);
  while (g_forking) pthread_cond_wait(&g_changed, &g_mutex);
  // From here on new guards wait, so the work in progress is all there is
  // to wait for.
  g_forking = true;
  while (g_active > 0) pthread_cond_wait(&g_changed, &g_mutex);
  // The mutex stays locked across fork(), so that the child's copy is in a
  // known state: locked by this thread, which is the child's only one.
  pid_t pid = fork();
  int saved = errno;
  if (pid == 0) {
    // The threads that waited on the condition variable do not exist here;
    // a fresh one carries no trace of them.
    pthread_cond_init(&g_changed, nullptr);
    g_active = 0;
    g_forking = false;
    pthread_mutex_unlock(&g_mutex);
  } else {
    g_forking = false;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
  }
  errno = saved;
  return pid;
}

}  // namespace orv
