// The one lock every export holds for the whole of its call, so that calls
// from several threads run one after the other: a second thread's Close can
// no longer free the port under an upload, nor its Erase mix its replies
// with the upload's. The thread that holds the lock may take it again, so a
// progress callback that calls the library itself goes on as before. One
// implementation per platform, picked by the build.
#pragma once

namespace kormelt {

// Holds the lock from construction to destruction.
class CallLock {
public:
    CallLock();
    ~CallLock();
    CallLock(const CallLock &) = delete;
    CallLock &operator=(const CallLock &) = delete;
};

}  // namespace kormelt
