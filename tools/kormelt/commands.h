// The subcommands of the tool. Each returns the process exit code.
#pragma once

#include <string>

namespace kormelt::tool {

struct FlashOptions {
    std::string image;
    std::string port;  // device path to search instead of COM1..COM7; empty for all
    bool json = false;
    bool quiet = false;
};

struct SealOptions {
    std::string input;
    std::string output;
    std::string format;  // "raw", "ihex", or empty to go by the input's name
};

int RunFlash(const FlashOptions &options);
int RunCheck(const std::string &image);
int RunSeal(const SealOptions &options);
int RunPorts(bool json);

}  // namespace kormelt::tool
