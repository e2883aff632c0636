#include "tools/kormelt/input_file.h"

#include "protocol/protocol.h"
#include "tools/common/name_table.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/message_text.h"
#include "tools/kormelt/messages.h"
#include "tools/kormelt/console.h"
#include "tools/kormelt/files.h"

namespace kormelt::tool {
namespace {

constexpr char BY_CONTENT[] = "by its content";
constexpr char BY_NAME[] = "by its name";
constexpr char BY_OPTION[] = "as --format says";
constexpr char IMAGE_EXTENSION[] = ".img";

std::string Mib(size_t bytes) { return std::to_string(bytes >> 20); }

std::string TooLargeText(const std::string &path, InputFormat format, bool image_file) {
    switch (format) {
    case InputFormat::Raw:
        if (image_file) {
            return FillMessage(messages::INPUT_TOO_LARGE_IMAGE, {{"path", path},
                                                                 {"image_file_bytes", std::to_string(IMAGE_FILE_MAX_BYTES)},
                                                                 {"image_mib", Mib(IMAGE_MAX_BYTES)},
                                                                 {"trailer_bytes", std::to_string(CRC_TRAILER_BYTES)}});
        }
        return FillMessage(messages::INPUT_TOO_LARGE_RAW, {{"path", path}, {"image_mib", Mib(IMAGE_MAX_BYTES)}});
    case InputFormat::IntelHex:
    case InputFormat::SRecord:
        return FillMessage(messages::INPUT_TOO_LARGE_TEXT,
                           {{"path", path},
                            {"text_mib", Mib(HEX_TEXT_MAX_BYTES)},
                            {"format", format == InputFormat::IntelHex ? "HEX" : "S-records"}});
    case InputFormat::Elf:
        break;
    }
    return FillMessage(messages::INPUT_TOO_LARGE_ELF, {{"path", path}, {"elf_mib", Mib(ELF_FILE_MAX_BYTES)}});
}

// "an ELF file", for the sentence that says what a file is instead of an image.
constexpr Named<InputFormat> AS_FILE[] = {
    {InputFormat::Raw, "a raw binary file"},
    {InputFormat::IntelHex, "an Intel HEX file"},
    {InputFormat::SRecord, "a Motorola S-record file"},
    {InputFormat::Elf, "an ELF file"},
};
static_assert(NamesEveryValue(AS_FILE, InputFormat::Elf));

std::string AsFile(InputFormat format) { return NameIn(AS_FILE, format, "an ELF file"); }

// A path as a command line would take it, quoted when it holds a space.
std::string Argument(const std::string &path) {
    return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

}  // namespace

int ReadInputFile(const std::string &path, const InputChoice &choice, RawInput raw, InputFile *input,
                  std::string *message) {
    input->path = path;
    const bool image_file = raw == RawInput::Image;
    InputFormat forced = InputFormat::Raw;
    const bool given = !choice.format.empty() && InputFormatFromWord(choice.format, &forced);
    std::string error;
    switch (ReadRegularFile(path, given ? InputReadBound(forced, image_file) : INPUT_READ_MAX_BYTES, &input->content,
                            &error, CancelRequested)) {
    case ReadOutcome::Ok:
        break;
    case ReadOutcome::Unreadable:
        *message = error + (image_file ? ". Check the file name and that the file is readable." : ".");
        return EXIT_IMAGE;
    case ReadOutcome::NotRegular:
        *message = error + (image_file ? ": an image is a file holding the firmware and its CRC."
                                       : ": firmware is read from a file.");
        return EXIT_IMAGE;
    case ReadOutcome::TooLarge:
        // Too large for anything: what the name says decides the words.
        *message = TooLargeText(path, given ? forced : GuessInputFormat(path), image_file);
        return EXIT_IMAGE;
    case ReadOutcome::Cancelled:
        *message = "Cancelled while reading " + path + ".";
        return EXIT_CANCELLED;
    }
    if (given) {
        input->format = forced;
        input->found = BY_OPTION;
    } else if (FormatFromContent(input->content, &input->format)) {
        input->found = BY_CONTENT;
    } else {
        input->format = GuessInputFormat(path);
        input->found = BY_NAME;
    }
    if (input->content.size() > InputReadBound(input->format, image_file)) {
        *message = TooLargeText(path, input->format, image_file);
        return EXIT_IMAGE;
    }
    if (input->format == InputFormat::Raw) {
        // No addresses, so no base: the file's first byte is the image's.
        // An image may hold more than firmware can: its CRC.
        if (input->content.size() <= IMAGE_MAX_BYTES) {
            input->layout.data = input->content;
        }
        return EXIT_OK;
    }
    input->builder = ImageBuilder(input->format == InputFormat::Elf ? "segment" : "record");
    if (!ReadFirmware(input->content, input->format, &input->builder, &input->details, &error)) {
        *message = FillMessage(messages::INPUT_MALFORMED,
                               {{"path", path}, {"format", InputFormatName(input->format)}, {"found", input->found},
                                {"reason", error}});
        return EXIT_IMAGE;
    }
    input->layout = input->builder.Lay(choice.base);
    return EXIT_OK;
}

std::string LayoutRefusalText(const InputFile &input) {
    const Layout &layout = input.layout;
    const std::string image_mib = Mib(IMAGE_MAX_BYTES);
    switch (layout.problem) {
    case LayoutProblem::None:
        return "";
    case LayoutProblem::BelowBase:
        return FillMessage(messages::BASE_BELOW, {{"path", input.path},
                                                  {"address", AddressText(layout.address)},
                                                  {"base", AddressText(layout.base)}});
    case LayoutProblem::BeyondBase:
        return FillMessage(messages::BASE_BEYOND, {{"path", input.path},
                                                   {"address", AddressText(layout.address)},
                                                   {"image_mib", image_mib},
                                                   {"base", AddressText(layout.base)},
                                                   {"lowest", AddressText(input.builder.lowest())}});
    case LayoutProblem::BeyondZero:
        break;
    }
    return FillMessage(messages::BASE_BEYOND_ZERO, {{"path", input.path},
                                                    {"lowest", AddressText(input.builder.lowest())},
                                                    {"highest", AddressText(layout.address)},
                                                    {"image_mib", image_mib}});
}

std::string SealCommand(const InputFile &input) {
    const size_t dot = input.path.find_last_of('.');
    const size_t slash = input.path.find_last_of("/\\");
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string output = (has_extension ? input.path.substr(0, dot) : input.path) + IMAGE_EXTENSION;
    if (output == input.path) {
        output += IMAGE_EXTENSION;
    }
    const bool needs_base = input.builder.runs() > 0 && input.builder.end() > IMAGE_MAX_BYTES;
    return "kormelt seal " + Argument(input.path) +
           (needs_base ? " --base " + AddressText(input.builder.lowest()) : std::string()) + " -o " +
           Argument(output);
}

std::string SourceText(const InputFile &input) {
    if (input.format == InputFormat::Raw) {
        return InputFormatName(input.format);
    }
    return std::string(InputFormatName(input.format)) + ", base " + AddressText(input.layout.base);
}

std::string NotAnImageText(const InputFile &input) {
    return FillMessage(messages::NOT_AN_IMAGE, {{"path", input.path},
                                                {"format", AsFile(input.format)},
                                                {"trailer_bytes", std::to_string(CRC_TRAILER_BYTES)},
                                                {"seal_command", SealCommand(input)}});
}

}  // namespace kormelt::tool
