// GoogleTest's porting hook, taken instead of the empty one in its sources.
// The MinGW compilers' default (win32) thread model has no std::mutex or
// std::condition_variable, which GoogleTest's own Notification is built on;
// this one waits on a Win32 event instead.
#ifndef GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    // Manual reset: once notified, every wait returns.
    Notification() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
