#include "tools/kormelt/record_text.h"

#include <cctype>

#include "protocol/hex.h"
#include "tools/kormelt/image_builder.h"

namespace kormelt::tool {
namespace {

constexpr int BYTE_DIGITS = 2;

}  // namespace

bool TextLines::Next(std::string *line) {
    while (at_ < text_.size()) {
        const size_t newline = text_.find('\n', at_);
        const size_t stop = newline == std::string::npos ? text_.size() : newline;
        *line = text_.substr(at_, stop - at_);
        at_ = stop + 1;
        ++number_;
        while (!line->empty() && std::isspace(static_cast<unsigned char>(line->back()))) {
            line->pop_back();
        }
        if (!line->empty()) {
            return true;
        }
    }
    return false;
}

bool DecodeHexPairs(const std::string &line, size_t first, const char *file_kind, std::vector<uint8_t> *bytes,
                    std::string *error) {
    if ((line.size() - first) % 2 != 0) {
        *error = "odd number of hex digits";
        return false;
    }
    bytes->clear();
    for (size_t i = first; i < line.size(); i += 2) {
        const int high = HexDigitValue(line[i]);
        const int low = HexDigitValue(line[i + 1]);
        if (high < 0 || low < 0) {
            const char bad = high < 0 ? line[i] : line[i + 1];
            const size_t column = (high < 0 ? i : i + 1) + 1;
            const auto code = static_cast<unsigned char>(bad);
            const std::string where = " in column " + std::to_string(column) + " is not a hex digit";
            *error = code >= 0x80 ? "the byte " + HexNumber(code, BYTE_DIGITS) + where + " (not ASCII: " + file_kind +
                                        " is plain text)"
                     : std::isprint(code) ? "'" + std::string(1, bad) + "'" + where
                                          : "a control character (" + HexNumber(code, BYTE_DIGITS) + ")" + where;
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

}  // namespace kormelt::tool
