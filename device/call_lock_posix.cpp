#include "device/call_lock.h"

#include <pthread.h>

namespace kormelt {

namespace {

// Statically initialised: the lock exists before any call, whichever thread
// makes the first one.
pthread_mutex_t call_mutex = PTHREAD_MUTEX_INITIALIZER;

// How many calls of this thread are running, one inside another when a
// progress callback calls the library. Only the thread that holds the mutex
// ever counts above 0, so its count alone tells whether it holds it.
thread_local unsigned call_depth = 0;

}  // namespace

// The results of lock and unlock are not examined: for a normal mutex that
// is initialised, and unlocked only by the thread that locked it, no failure
// is left that could happen here.
CallLock::CallLock() {
    if (call_depth++ == 0) {
        (void)pthread_mutex_lock(&call_mutex);
    }
}

CallLock::~CallLock() {
    if (--call_depth == 0) {
        (void)pthread_mutex_unlock(&call_mutex);
    }
}

}  // namespace kormelt
