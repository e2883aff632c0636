// Standard output, checked. The first write that fails is remembered with
// the system's reason, and nothing more is written after it: the reader went
// away or the disk is full, and neither gets better. Whether the command
// then fails is decided once, at its end.
#pragma once

#include <string>

namespace kormelt::tool {

// Writes text and flushes it, so that it is out before the next step.
void PrintOut(const std::string &text);

enum class OutputRule {
    // A failed output fails the command.
    Strict,
    // For flash, whose output only reports on an update that ran anyway:
    // a reader that went away (EPIPE) changes nothing, another failure is
    // reported and fails a run that succeeded.
    KeepRunCode,
};

// The exit code of a command that would end with exit_code, once its
// output was flushed; says on stderr why the output failed when it counts.
int ExitAfterOutput(int exit_code, OutputRule rule);

}  // namespace kormelt::tool
