// kormelt info: what an input file holds and what image it makes, for any
// format and for images alike.
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "tools/common/name_table.h"
#include "tools/kormelt/commands.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/image.h"
#include "tools/kormelt/input_file.h"
#include "tools/kormelt/json_line.h"
#include "tools/kormelt/output.h"
#include "tools/kormelt/console.h"

namespace kormelt::tool {
namespace {

constexpr size_t LABEL_COLUMN = 10;  // characters of the label before each value
constexpr int BYTE_DIGITS = 2;

std::string Line(const std::string &label, const std::string &value) {
    return label + std::string(label.size() < LABEL_COLUMN ? LABEL_COLUMN - label.size() : 1, ' ') + value + "\n";
}

// An S0 header as text: printable ASCII as it is, any other byte as \xNN;
// the NUL bytes some tools pad it with at the end left out.
std::string HeaderText(std::string header) {
    while (!header.empty() && header.back() == '\0') {
        header.pop_back();
    }
    std::string text;
    for (const char c : header) {
        const auto code = static_cast<unsigned char>(c);
        text += code >= 0x20 && code < 0x7F ? std::string(1, c) : "\\x" + HexNumber(code, BYTE_DIGITS).substr(2);
    }
    return text;
}

std::string RangeText(const AddressRange &range) {
    return AddressText(range.first) + "-" + AddressText(range.first + range.bytes - 1) + "  " +
           std::to_string(range.bytes) + " bytes";
}

JsonLine RangeJson(const AddressRange &range) {
    return JsonLine()
        .Add("first", AddressText(range.first))
        .Add("last", AddressText(range.first + range.bytes - 1))
        .Add("bytes", range.bytes);
}

// The addresses between the data that the image fills with erased bytes,
// from the base on when the firmware could be laid out from it.
std::vector<AddressRange> Gaps(const std::vector<AddressRange> &ranges, const Layout &layout) {
    std::vector<AddressRange> gaps;
    uint64_t next = layout.problem == LayoutProblem::None ? layout.base : ranges.front().first;
    for (const AddressRange &range : ranges) {
        if (range.first > next) {
            gaps.push_back({next, range.first - next});
        }
        next = range.first + range.bytes;
    }
    return gaps;
}

using BaseKind = BaseChoice::Kind;

constexpr Named<BaseKind> BASE_FROM[] = {
    {BaseKind::Default, "address 0, as no --base was given"},
    {BaseKind::Address, "--base"},
    {BaseKind::Lowest, "--base lowest, the lowest address with data"},
};
static_assert(NamesEveryValue(BASE_FROM, BaseKind::Lowest));

constexpr Named<BaseKind> BASE_WORDS[] = {
    {BaseKind::Default, "default"}, {BaseKind::Address, "address"}, {BaseKind::Lowest, "lowest"},
};
static_assert(NamesEveryValue(BASE_WORDS, BaseKind::Lowest));

const char *BaseFrom(const BaseChoice &base) { return NameIn(BASE_FROM, base.kind, "?"); }

const char *BaseWord(const BaseChoice &base) { return NameIn(BASE_WORDS, base.kind, "lowest"); }

}  // namespace

int RunInfo(const InfoOptions &options) {
    std::string message;
    if (!InstallCancelHandler(&message)) {
        std::fprintf(stderr, "kormelt: %s\n", message.c_str());
        return EXIT_SYSTEM;
    }
    InputFile input;
    const int read = ReadInputFile(options.input, {options.format, options.base}, RawInput::Image, &input, &message);
    if (read != EXIT_OK) {
        std::fprintf(stderr, "kormelt: %s\n", message.c_str());
        return read;
    }
    const bool raw = input.format == InputFormat::Raw;
    const std::vector<AddressRange> ranges =
        !raw ? input.builder.Ranges()
             : input.content.empty() ? std::vector<AddressRange>{}
                                     : std::vector<AddressRange>{{0, static_cast<uint64_t>(input.content.size())}};
    const std::vector<AddressRange> gaps = ranges.empty() ? std::vector<AddressRange>{} : Gaps(ranges, input.layout);
    const std::string refusal = raw ? "" : LayoutRefusalText(input);
    // What seal makes of it: for a raw file, the file and a CRC.
    const Bytes sealed = refusal.empty() && !input.layout.data.empty() ? Seal(input.layout.data) : Bytes{};
    const Trailer trailer = InspectTrailer(input.content);
    const bool is_image = raw && input.content.size() >= IMAGE_FILE_MIN_BYTES && trailer.stored == trailer.computed;
    const bool has_header = input.format == InputFormat::SRecord && !input.details.header.empty();

    if (options.json) {
        JsonLine line;
        line.Add("file", input.path)
            .Add("format", InputFormatWord(input.format))
            .Add("format_name", InputFormatName(input.format))
            .Add("found", input.found);
        input.details.kind.empty() ? line.AddNull("kind") : line.Add("kind", input.details.kind);
        has_header ? line.Add("header", HeaderText(input.details.header)) : line.AddNull("header");
        input.details.start ? line.Add("start", AddressText(*input.details.start)) : line.AddNull("start");
        line.Add("file_bytes", static_cast<uint64_t>(input.content.size()));
        std::vector<JsonLine> items;
        for (const AddressRange &range : ranges) {
            items.push_back(RangeJson(range));
        }
        line.AddJson("ranges", JsonLine::Array(items));
        items.clear();
        for (const AddressRange &gap : gaps) {
            items.push_back(RangeJson(gap));
        }
        line.AddJson("gaps", JsonLine::Array(items));
        raw ? line.AddNull("base") : line.Add("base", AddressText(input.layout.base));
        raw ? line.AddNull("base_from") : line.Add("base_from", BaseWord(options.base));
        if (raw) {
            line.Add("is_image", is_image ? "yes" : "no");
        }
        if (sealed.empty()) {
            line.AddNull("sealed");
            refusal.empty() ? line.AddNull("refused") : line.Add("refused", refusal);
        } else {
            line.AddNull("refused");
            line.AddJson("sealed", JsonLine()
                                       .Add("bytes", static_cast<uint64_t>(sealed.size()))
                                       .Add("firmware_bytes", static_cast<uint64_t>(input.layout.data.size()))
                                       .Add("crc", CrcText(InspectTrailer(sealed).stored))
                                       .Text());
        }
        PrintOut(line.Text() + "\n");
        return EXIT_OK;
    }

    std::string text = input.path + "\n";
    text += Line("format", std::string(InputFormatName(input.format)) + " (" + input.found + ")" +
                               (input.details.kind.empty() ? "" : ", " + input.details.kind));
    if (has_header) {
        text += Line("header", "\"" + HeaderText(input.details.header) + "\"");
    }
    if (input.details.start) {
        text += Line(input.format == InputFormat::Elf ? "entry" : "start", AddressText(*input.details.start));
    }
    if (raw) {
        text += Line("size", std::to_string(input.content.size()) + " bytes, no addresses: the image starts with them");
        if (is_image) {
            text += Line("image", "this file is one: " + std::to_string(trailer.data_bytes) +
                                      " bytes of firmware and the CRC " + CrcText(trailer.stored) + " (CRC ok)");
        } else if (!input.content.empty()) {
            text += Line("image", "not this file" + std::string(trailer.present ? " (its last two bytes hold " +
                                                                                      CrcText(trailer.stored) +
                                                                                      ", the CRC of the rest is " +
                                                                                      CrcText(trailer.computed) + ")"
                                                                                : ""));
        }
    } else {
        for (size_t i = 0; i < ranges.size(); ++i) {
            text += Line(i == 0 ? "data" : "", RangeText(ranges[i]));
        }
        if (gaps.empty()) {
            text += Line("gaps", "none");
        }
        for (size_t i = 0; i < gaps.size(); ++i) {
            text += Line(i == 0 ? "gaps" : "", RangeText(gaps[i]) + ", filled with 0xFF");
        }
        text += Line("base", AddressText(input.layout.base) + " (" + BaseFrom(options.base) + ")");
    }
    if (!refusal.empty()) {
        text += Line("sealed", "none: " + refusal);
    } else if (!sealed.empty()) {
        text += Line("sealed", std::to_string(sealed.size()) + " bytes: " + std::to_string(input.layout.data.size()) +
                                   " of firmware and the CRC " + CrcText(InspectTrailer(sealed).stored));
    }
    PrintOut(text);
    return EXIT_OK;
}

}  // namespace kormelt::tool
