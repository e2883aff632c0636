// An input file as the commands take it: read once and whole within the
// bound of its format, its format found (from --format, else its content,
// else its name), its firmware read and laid out from the base.
#pragma once

#include <string>

#include "tools/kormelt/firmware.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {

struct InputChoice {
    std::string format;  // a --format word, or empty to find it out
    BaseChoice base;
};

// What a raw file is to the command: firmware to seal (seal), or an image
// that may already hold its CRC (flash, check, info).
enum class RawInput { Firmware, Image };

struct InputFile {
    std::string path;
    InputFormat format = InputFormat::Raw;
    const char *found = "";  // how the format was found: "by its content", "by its name", "as --format says"
    Bytes content;           // the file as it was read
    ImageBuilder builder;  // empty for a raw file
    InputDetails details;
    Layout layout;  // the firmware from the base; for a raw file its bytes, unless more than firmware may be
};

// EXIT_OK, or the exit code (EXIT_IMAGE, EXIT_CANCELLED) with *message
// saying why in a sentence that names path: the file cannot be read, is
// too large for its format, or is malformed. A raw file is not read
// further: an empty one is no error here. Problems of the base are left in
// input->layout for LayoutRefusalText.
int ReadInputFile(const std::string &path, const InputChoice &choice, RawInput raw, InputFile *input,
                  std::string *message);

// Why the firmware cannot be laid out from the base, or empty when it can.
std::string LayoutRefusalText(const InputFile &input);

// How to seal input: "kormelt seal PATH -o PATH.img", with the --base it
// needs when its data do not fit from address 0.
std::string SealCommand(const InputFile &input);

// What check says of a file that holds firmware in a format with
// addresses, which is no image yet, and how to make one of it.
std::string NotAnImageText(const InputFile &input);

// "Intel HEX, base 0x08000000": what the image was made of.
std::string SourceText(const InputFile &input);

}  // namespace kormelt::tool
