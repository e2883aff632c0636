// A worker: one process per port, the station's own program running the
// update of that port, its standard output and error on one pipe that the
// station reads. It never outlives the station: the kernel sends it SIGTERM
// when the station dies (PR_SET_PDEATHSIG), which cancels its update.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kormelt::station {

class WorkerProcess {
public:
    WorkerProcess() = default;
    ~WorkerProcess();  // closes the pipe; the process is the station's to end and wait for
    WorkerProcess(WorkerProcess &&other) noexcept;
    WorkerProcess &operator=(WorkerProcess &&other) noexcept;
    WorkerProcess(const WorkerProcess &) = delete;
    WorkerProcess &operator=(const WorkerProcess &) = delete;

    // Starts program with args (args[0] is its name), stdin on the null
    // device. False with a reason when it cannot be started.
    bool Start(const std::string &program, const std::vector<std::string> &args, std::string *error);

    pid_t pid() const { return pid_; }
    // The read end of the pipe, non-blocking; -1 once it reached its end.
    int fd() const { return fd_; }

    // Reads what is there and hands out each complete line; false once the
    // worker closed its end (it exited), after the last lines.
    bool Read(std::vector<std::string> *lines);

    // Asks it to cancel (SIGTERM), or ends it (SIGKILL).
    void Signal(int signal_number) const;

    // Its wait status once it ended (reaped without waiting), else false.
    bool Reap(int *wait_status);

private:
    void Close();

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string pending_;  // the start of a line not yet complete
};

// The path of the running program, to start workers of the same build.
bool OwnProgram(std::string *path, std::string *error);

}  // namespace kormelt::station
