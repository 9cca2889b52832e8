// Thread start-up shared by the daemons' long-lived threads.
#ifndef ORV_COMMON_THREAD_H_
#define ORV_COMMON_THREAD_H_

#include <pthread.h>

namespace orv {

// Starts `body(arg)` on a new thread into `*thread` that asks for system
// scope and the round-robin policy. Requested only: without explicit
// scheduling the thread inherits its creator's policy, so an unprivileged
// process still gets its thread. Whether the thread was created.
bool start_thread(pthread_t* thread, void* (*body)(void*), void* arg);

}  // namespace orv

#endif  // ORV_COMMON_THREAD_H_
