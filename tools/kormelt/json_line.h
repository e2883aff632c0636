// One JSON object on one line, for --json output.
#pragma once

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
    JsonLine &Add(const char *key, double value) {
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
    std::string Text() const { return text_ + "}"; }

private:
    void Key(const char *key) {
        text_ += text_.size() > 1 ? "," : "";
        Quote(key);
        text_ += ":";
    }
    // Bytes from 0x80 up pass through: paths and messages are UTF-8 here.
    void Quote(const std::string &value) {
        text_ += '"';
        for (const char c : value) {
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
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    text_ += escaped;
                } else {
                    text_ += c;
                }
            }
        }
        text_ += '"';
    }

    std::string text_ = "{";
};

}  // namespace kormelt::tool
