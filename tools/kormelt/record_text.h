// What the text formats of records (Intel HEX, S-records) share: the text
// taken line by line, and a record's hex digits made bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

// The lines of a text in order, without their line ends (LF or CRLF) and
// trailing white space; blank lines are skipped but counted.
class TextLines {
public:
    explicit TextLines(const std::string &text) : text_(text) {}
    bool Next(std::string *line);
    // The number of the line Next gave last, from 1.
    size_t number() const { return number_; }

private:
    const std::string &text_;
    size_t at_ = 0;
    size_t number_ = 0;
};

// The digits of line from index first on, two to a byte, into *bytes. False
// with the reason for an odd count or, by its column (from 1), for the
// first character that is no hex digit; file_kind names the text for a
// byte that is not ASCII ("a HEX file").
bool DecodeHexPairs(const std::string &line, size_t first, const char *file_kind, std::vector<uint8_t> *bytes,
                    std::string *error);

}  // namespace kormelt::tool
