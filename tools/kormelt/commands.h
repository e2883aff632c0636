// The subcommands of the tool. Each returns the process exit code.
#pragma once

#include <string>

namespace kormelt::tool {

struct FlashOptions {
    std::string image;
    std::string port;  // device path to search instead of COM1..COM7; empty for all
    bool json = false;
    bool quiet = false;
    std::string records;       // the records file to keep the update in; empty for none
    bool from_station = false;  // image is a station's checked copy, used as it is (hidden)
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
