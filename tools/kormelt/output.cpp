#include "tools/kormelt/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/kormelt/exit_codes.h"

namespace kormelt::tool {
namespace {

// errno of the first write to stdout that failed; 0 while none did.
int g_output_error = 0;

// A stream in error has always had a reason; should errno have lost it,
// this stands for it.
constexpr int UNKNOWN_WRITE_ERROR = EIO;

void NoteFailure() {
    if (g_output_error == 0) {
        g_output_error = errno != 0 ? errno : UNKNOWN_WRITE_ERROR;
    }
}

}  // namespace

void PrintOut(const std::string &text) {
    if (g_output_error != 0) {
        return;
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        NoteFailure();
    }
}

int ExitAfterOutput(int exit_code, OutputRule rule) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        NoteFailure();
    }
    if (g_output_error == 0) {
        return exit_code;
    }
    if (rule == OutputRule::KeepRunCode && g_output_error == EPIPE) {
        return exit_code;  // the reader went away, as `head` does; the run's code says how the update went
    }
    std::fprintf(stderr, "kormelt: cannot write the output: %s\n", std::strerror(g_output_error));
    return rule == OutputRule::KeepRunCode && exit_code != EXIT_OK ? exit_code : EXIT_OUTPUT;
}

}  // namespace kormelt::tool
