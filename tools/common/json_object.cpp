#include "tools/common/json_object.h"

#include <cstdlib>
#include <cstring>

namespace kormelt {
namespace {

constexpr uint32_t SURROGATE_HIGH_FIRST = 0xD800;
constexpr uint32_t SURROGATE_LOW_FIRST = 0xDC00;
constexpr uint32_t SURROGATE_LAST = 0xDFFF;
constexpr uint32_t SUPPLEMENTARY_FIRST = 0x10000;

class Reader {
public:
    explicit Reader(const std::string &text) : text_(text) {}

    bool Object(std::map<std::string, JsonValue> *values) {
        Blank();
        if (!Take('{')) {
            return false;
        }
        Blank();
        if (Take('}')) {
            return End();
        }
        for (;;) {
            std::string key;
            JsonValue value;
            Blank();
            if (!String(&key)) {
                return false;
            }
            Blank();
            if (!Take(':') || !Value(&value)) {
                return false;
            }
            (*values)[key] = value;
            Blank();
            if (Take('}')) {
                return End();
            }
            if (!Take(',')) {
                return false;
            }
        }
    }

private:
    bool End() {
        Blank();
        return at_ == text_.size();
    }
    void Blank() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr) {
            ++at_;
        }
    }
    bool Take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(const char *word) {
        const size_t length = std::strlen(word);
        if (text_.compare(at_, length, word) != 0) {
            return false;
        }
        at_ += length;
        return true;
    }

    bool Value(JsonValue *value) {
        Blank();
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        if (c == '"') {
            value->kind = JsonValue::Kind::String;
            return String(&value->text);
        }
        if (Word("null")) {
            value->kind = JsonValue::Kind::Null;
            return true;
        }
        for (const bool boolean : {true, false}) {
            if (Word(boolean ? "true" : "false")) {
                value->kind = JsonValue::Kind::Bool;
                value->boolean = boolean;
                return true;
            }
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const char *start = text_.c_str() + at_;
            char *end = nullptr;
            value->kind = JsonValue::Kind::Number;
            value->number = std::strtod(start, &end);
            if (end == start) {
                return false;
            }
            at_ += static_cast<size_t>(end - start);
            return true;
        }
        return false;  // an array or an object inside: not a worker's line
    }

    bool Hex4(uint32_t *code) {
        if (at_ + 4 > text_.size()) {
            return false;
        }
        *code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            *code = *code << 4 | static_cast<uint32_t>(digit);
        }
        return true;
    }

    static void Utf8(uint32_t code, std::string *out) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | code >> 6);
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < SUPPLEMENTARY_FIRST) {
            *out += static_cast<char>(0xE0 | code >> 12);
            *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | code >> 18);
            *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool String(std::string *out) {
        if (!Take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;  // a raw control character: JSON escapes them
            }
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char escape = text_[at_++];
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                *out += escape;
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case 'u': {
                uint32_t code = 0;
                if (!Hex4(&code)) {
                    return false;
                }
                if (code >= SURROGATE_HIGH_FIRST && code < SURROGATE_LOW_FIRST) {
                    uint32_t low = 0;
                    if (!Take('\\') || !Take('u') || !Hex4(&low) || low < SURROGATE_LOW_FIRST || low > SURROGATE_LAST) {
                        return false;
                    }
                    code = SUPPLEMENTARY_FIRST + ((code - SURROGATE_HIGH_FIRST) << 10) + (low - SURROGATE_LOW_FIRST);
                } else if (code >= SURROGATE_LOW_FIRST && code <= SURROGATE_LAST) {
                    return false;
                }
                Utf8(code, out);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    const std::string &text_;
    size_t at_ = 0;
};

}  // namespace

std::optional<JsonObject> JsonObject::Parse(const std::string &line) {
    JsonObject object;
    Reader reader(line);
    if (!reader.Object(&object.values_)) {
        return std::nullopt;
    }
    return object;
}

const JsonValue *JsonObject::Find(const std::string &key) const {
    const auto found = values_.find(key);
    return found == values_.end() ? nullptr : &found->second;
}

std::string JsonObject::String(const std::string &key, const std::string &fallback) const {
    const JsonValue *value = Find(key);
    return value != nullptr && value->kind == JsonValue::Kind::String ? value->text : fallback;
}

std::optional<double> JsonObject::Number(const std::string &key) const {
    const JsonValue *value = Find(key);
    if (value == nullptr || value->kind != JsonValue::Kind::Number) {
        return std::nullopt;
    }
    return value->number;
}

}  // namespace kormelt
