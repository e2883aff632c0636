// Runs a call in a child process with a time limit, for calls that may never
// return when the code under test is wrong (a blocking open, an endless
// read): the test then fails after the limit instead of hanging.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <type_traits>

// What call returned in the child, or nothing when it had not returned within
// limit (the child is killed then) or the child died. T crosses a pipe as
// bytes, so it must be trivially copyable.
template <typename T, typename Call>
std::optional<T> CallInChild(Call call, std::chrono::milliseconds limit) {
    static_assert(std::is_trivially_copyable_v<T>, "the result crosses a pipe as bytes");
    int result_pipe[2];
    if (pipe(result_pipe) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(result_pipe[0]);
        close(result_pipe[1]);
        return std::nullopt;
    }
    if (child == 0) {
        close(result_pipe[0]);
        const T result = call();
        const bool sent = write(result_pipe[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
        _exit(sent ? 0 : 1);
    }
    close(result_pipe[1]);
    std::optional<T> got;
    pollfd ready{result_pipe[0], POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) == 1) {
        T result{};
        if (read(result_pipe[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result)) {
            got = result;
        }
    }
    close(result_pipe[0]);
    if (!got) {
        kill(child, SIGKILL);  // fails only when the child is gone already
    }
    int status = 0;
    waitpid(child, &status, 0);
    return got;
}
