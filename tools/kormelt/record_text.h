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
// Where the lines of a text of records stopped: whether a record ended the
// text, and the number of the last line read, for the word on a text that
// was cut short.
struct RecordLinesEnd {
    bool ended = false;
    size_t last_line = 0;
};

// Gives each line of text to on_line(line, &ended, &problem) until one sets
// ended: what follows the end record is ignored, as both formats define
// (some tools leave a DOS end-of-file byte or blank lines there). A line
// on_line refuses fails the text with "line N: " and its problem.
template <typename OnLine>
bool ReadRecordLines(const std::string &text, OnLine on_line, RecordLinesEnd *end, std::string *error) {
    TextLines lines(text);
    std::string line;
    std::string problem;
    while (!end->ended && lines.Next(&line)) {
        if (!on_line(line, &end->ended, &problem)) {
            *error = "line " + std::to_string(lines.number()) + ": " + problem;
            return false;
        }
    }
    end->last_line = lines.number();
    return true;
}

bool DecodeHexPairs(const std::string &line, size_t first, const char *file_kind, std::vector<uint8_t> *bytes,
                    std::string *error);

}  // namespace kormelt::tool
