#include <windows.h>

#include "device/call_lock.h"

namespace kormelt {

namespace {

// Statically initialised: the lock exists before any call, whichever thread
// makes the first one. A slim lock cannot be taken twice by one thread, so
// the holder and its depth are kept beside it.
SRWLOCK call_lock = SRWLOCK_INIT;

// Thread id of the holder, 0 while nobody holds the lock (no thread has id
// 0). Only the holder writes it, so a thread that reads its own id holds the
// lock already.
volatile LONG call_owner = 0;

// Calls of the holder running, one inside another when a progress callback
// calls the library; touched only by the holder.
unsigned call_depth = 0;

}  // namespace

CallLock::CallLock() {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    if (InterlockedCompareExchange(&call_owner, 0, 0) == self) {
        ++call_depth;
        return;
    }
    AcquireSRWLockExclusive(&call_lock);
    InterlockedExchange(&call_owner, self);
    call_depth = 1;
}

CallLock::~CallLock() {
    if (--call_depth == 0) {
        InterlockedExchange(&call_owner, 0);
        ReleaseSRWLockExclusive(&call_lock);
    }
}

}  // namespace kormelt
