// A system call that a signal interrupted (EINTR) is made again, in one
// place rather than at each call site. Only for calls without a time limit
// of their own: a wait with a deadline is made again by its loop, with the
// time left counted anew.
#pragma once

#include <cerrno>

namespace kormelt {

template <typename Call>
auto RetryInterrupted(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace kormelt
