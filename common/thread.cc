#include "common/thread.h"

#include <sched.h>

namespace orv {

bool start_thread(pthread_t* thread, void* (*body)(void*), void* arg) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setscope(&attributes, PTHREAD_SCOPE_SYSTEM);
  pthread_attr_setschedpolicy(&attributes, SCHED_RR);
  const bool started = pthread_create(thread, &attributes, body, arg) == 0;
  // The attributes are read at creation only.
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace orv
