// The subcommands of the tool. Each returns the process exit code.
#pragma once

#include <string>

#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {

struct FlashOptions {
    std::string image;   // an image, or firmware in a format with addresses to seal first
    std::string format;  // a --format word, or empty to find it out
    BaseChoice base;     // for firmware with addresses
    std::string port;  // device path to search instead of COM1..COM7; empty for all
    bool json = false;
    bool quiet = false;
    std::string records;       // the records file to keep the update in; empty for none
    bool from_station = false;  // image is a station's checked copy, used as it is (hidden)
};

struct SealOptions {
    std::string input;
    std::string output;
    std::string format;  // a --format word, or empty to find it out
    BaseChoice base;
};

struct InfoOptions {
    std::string input;
    std::string format;
    BaseChoice base;
    bool json = false;
};

int RunFlash(const FlashOptions &options);
int RunCheck(const std::string &image);
int RunSeal(const SealOptions &options);
int RunPorts(bool json);
int RunInfo(const InfoOptions &options);

}  // namespace kormelt::tool
