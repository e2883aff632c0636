#include "tools/records/writer_process.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

namespace kormelt::records {
namespace {

constexpr char BOOT_ID[] = "/proc/sys/kernel/random/boot_id";
constexpr size_t STAT_STATE_FIELD = 0;       // the state, first field after the command's name
constexpr size_t STAT_START_TIME_FIELD = 19;  // field 22 of proc(5), counted from the state
constexpr char ZOMBIE_STATE[] = "Z";          // ended, only not yet waited for
constexpr char DEAD_STATE[] = "X";

std::string FirstLine(const std::string &path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The fields of /proc/<pid>/stat after the command's name, which may hold
// blanks and parentheses of its own; empty when the process is gone.
std::vector<std::string> StatFields(int64_t pid) {
    const std::string line = FirstLine("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = line.rfind(')');
    std::vector<std::string> fields;
    if (name_end == std::string::npos) {
        return fields;
    }
    std::istringstream rest(line.substr(name_end + 1));
    for (std::string field; rest >> field;) {
        fields.push_back(field);
    }
    return fields;
}

std::string Instance(int64_t pid) {
    const std::string boot = FirstLine(BOOT_ID);
    const std::vector<std::string> fields = StatFields(pid);
    if (boot.empty() || fields.size() <= STAT_START_TIME_FIELD) {
        return "";
    }
    return boot + "/" + fields[STAT_START_TIME_FIELD];
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";  // nameless: rows of this process then compare by PID alone
    }
    return name;
}

}  // namespace

WriterProcess ThisProcess() {
    const int64_t pid = getpid();
    return {HostName(), pid, Instance(pid)};
}

WriterState StateOf(const WriterProcess &writer) {
    if (writer.host != HostName()) {
        return WriterState::Elsewhere;
    }
    if (writer.pid <= 0 || writer.pid > INT_MAX) {
        return WriterState::Gone;
    }
    // EPERM: it exists, under another user.
    if (kill(static_cast<pid_t>(writer.pid), 0) != 0 && errno != EPERM) {
        return WriterState::Gone;
    }
    const std::vector<std::string> fields = StatFields(writer.pid);
    if (!fields.empty() && (fields[STAT_STATE_FIELD] == ZOMBIE_STATE || fields[STAT_STATE_FIELD] == DEAD_STATE)) {
        return WriterState::Gone;
    }
    // A PID taken by a later process is not the writer; where /proc does not
    // say, the PID alone has to do.
    const std::string now = Instance(writer.pid);
    if (!writer.instance.empty() && !now.empty() && now != writer.instance) {
        return WriterState::Gone;
    }
    return WriterState::Running;
}

}  // namespace kormelt::records
