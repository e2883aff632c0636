// One JSON object on one line, for --json output.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kormelt::tool {

class JsonLine {
public:
    JsonLine &Add(const char *key, const std::string &value) {
        Key(key);
        Quote(value);
        return *this;
    }
    JsonLine &Add(const char *key, const char *value) { return Add(key, std::string(value)); }
    JsonLine &Add(const char *key, int64_t value) {
        Key(key);
        text_ += std::to_string(value);
        return *this;
    }
    JsonLine &Add(const char *key, int value) { return Add(key, static_cast<int64_t>(value)); }
    JsonLine &Add(const char *key, uint64_t value) {
        Key(key);
        text_ += std::to_string(value);
        return *this;
    }
    // JSON has no NaN or infinity: such a value is written as null.
    JsonLine &Add(const char *key, double value) {
        if (!std::isfinite(value)) {
            return AddNull(key);
        }
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", value);
        Key(key);
        text_ += number;
        return *this;
    }
    JsonLine &AddNull(const char *key) {
        Key(key);
        text_ += "null";
        return *this;
    }
    // json is valid JSON made by the caller, such as an array of Text()s.
    JsonLine &AddRaw(const char *key, const std::string &json) {
        Key(key);
        text_ += json;
        return *this;
    }
    std::string Text() const { return text_ + "}"; }

private:
    void Key(const char *key) {
        text_ += text_.size() > 1 ? "," : "";
        Quote(key);
        text_ += ":";
    }
    // UTF-8 passes through as it is; every byte that is not part of a valid
    // UTF-8 sequence (a path in another encoding) becomes U+FFFD, so that the
    // line is valid JSON whatever bytes a string holds.
    void Quote(const std::string &value) {
        text_ += '"';
        size_t i = 0;
        while (i < value.size()) {
            const auto c = static_cast<unsigned char>(value[i]);
            if (c >= 0x80) {
                const size_t length = Utf8SequenceLength(value, i);
                text_ += length == 0 ? REPLACEMENT_CHARACTER : value.substr(i, length);
                i += length == 0 ? 1 : length;
                continue;
            }
            switch (c) {
            case '"':
                text_ += "\\\"";
                break;
            case '\\':
                text_ += "\\\\";
                break;
            case '\n':
                text_ += "\\n";
                break;
            case '\r':
                text_ += "\\r";
                break;
            case '\t':
                text_ += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    text_ += escaped;
                } else {
                    text_ += static_cast<char>(c);
                }
            }
            ++i;
        }
        text_ += '"';
    }

    // The length of the well-formed UTF-8 sequence starting at text[at] (a
    // byte of 0x80 or above), or 0 when there is none: no stray continuation
    // bytes, overlong forms, surrogates or code points beyond U+10FFFF.
    static size_t Utf8SequenceLength(const std::string &text, size_t at) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
        const unsigned char lead = byte(0);
        size_t length = 0;
        unsigned char low = 0x80;  // the range of the second byte, which rules out the bad forms
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (at + length > text.size() || byte(1) < low || byte(1) > high) {
            return 0;
        }
        for (size_t k = 2; k < length; ++k) {
            if (byte(k) < 0x80 || byte(k) > 0xBF) {
                return 0;
            }
        }
        return length;
    }

    static constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

    std::string text_ = "{";
};

}  // namespace kormelt::tool
