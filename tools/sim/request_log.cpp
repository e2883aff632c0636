#include "tools/sim/request_log.h"

#include <cstdlib>

#include "protocol/hex.h"
#include "tools/common/name_table.h"

namespace kormelt::sim {

namespace {

constexpr Named<RequestKind> KIND_NAMES[] = {
    {RequestKind::Identify, "identify"}, {RequestKind::Restart, "restart"}, {RequestKind::Erase, "erase"},
    {RequestKind::Program, "program"},   {RequestKind::Unknown, "unknown"}, {RequestKind::BadCrc, "bad-crc"},
    {RequestKind::Short, "short"},       {RequestKind::Overlong, "overlong"},
};
static_assert(NamesEveryValue(KIND_NAMES, RequestKind::Overlong));

const char *KindName(RequestKind kind) { return NameIn(KIND_NAMES, kind, "unknown"); }

// A reader of exactly what LogRecord writes, and of keys added later: an
// object of string and unsigned integer values, strings without escapes
// (the writer puts only names and hex digits in them).
class FlatObjectReader {
public:
    explicit FlatObjectReader(const std::string &text) : text_(text) {}

    template <typename OnValue>
    bool Read(OnValue on_value) {
        Skip();
        if (!Take('{')) {
            return false;
        }
        Skip();
        if (Take('}')) {
            return AtEnd();
        }
        for (;;) {
            std::string key;
            if (!String(&key)) {
                return false;
            }
            Skip();
            if (!Take(':')) {
                return false;
            }
            Skip();
            std::string text;
            uint64_t number = 0;
            bool is_text = false;
            if (Peek() == '"') {
                if (!String(&text)) {
                    return false;
                }
                is_text = true;
            } else if (!Number(&number)) {
                return false;
            }
            if (!on_value(key, is_text, text, number)) {
                return false;
            }
            Skip();
            if (Take('}')) {
                return AtEnd();
            }
            if (!Take(',')) {
                return false;
            }
            Skip();
        }
    }

private:
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool Take(char c) {
        if (Peek() != c) {
            return false;
        }
        ++pos_;
        return true;
    }
    void Skip() {
        while (Peek() == ' ' || Peek() == '\t' || Peek() == '\r') {
            ++pos_;
        }
    }
    bool AtEnd() {
        Skip();
        return pos_ == text_.size();
    }
    bool String(std::string *out) {
        if (!Take('"')) {
            return false;
        }
        const size_t end = text_.find('"', pos_);
        if (end == std::string::npos || text_.find('\\', pos_) < end) {
            return false;
        }
        *out = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }
    bool Number(uint64_t *out) {
        const size_t start = pos_;
        uint64_t value = 0;
        while (Peek() >= '0' && Peek() <= '9') {
            const uint64_t digit = static_cast<uint64_t>(Peek() - '0');
            if (value > (UINT64_MAX - digit) / 10) {
                return false;
            }
            value = value * 10 + digit;
            ++pos_;
        }
        *out = value;
        return pos_ > start;
    }

    const std::string &text_;
    size_t pos_ = 0;
};

bool FromHex(const std::string &hex, std::vector<uint8_t> *bytes) {
    return hex.size() % 2 == 0 && HexDecode(hex.data(), hex.size(), bytes) == hex.size();
}

}  // namespace

std::string LogRecord(uint32_t number, const Request &request) {
    std::string line = "{\"n\":" + std::to_string(number) + ",\"kind\":\"" + KindName(request.kind) + "\"";
    if (request.kind == RequestKind::Erase) {
        line += ",\"block\":" + std::to_string(request.bytes[ERASE_BLOCK_OFFSET]);
    }
    if (request.kind == RequestKind::Program) {
        line += ",\"address\":" + std::to_string(PacketAddress(request.bytes.data()));
    }
    return line + ",\"bytes\":\"" + Hex(request.bytes) + "\"}";
}

bool ParseLogRecord(const std::string &line, LoggedRequest *request) {
    LoggedRequest parsed;
    bool has_number = false;
    bool has_kind = false;
    bool has_bytes = false;
    FlatObjectReader reader(line);
    const bool read = reader.Read([&](const std::string &key, bool is_text, const std::string &text,
                                      uint64_t number) {
        if (key == "n" || key == "block" || key == "address") {
            if (is_text || number > UINT32_MAX) {
                return false;
            }
            const auto value = static_cast<uint32_t>(number);
            if (key == "n") {
                parsed.number = value;
                has_number = true;
            } else if (key == "block") {
                parsed.block = value;
            } else {
                parsed.address = value;
            }
        } else if (key == "kind") {
            parsed.kind = text;
            has_kind = is_text;
        } else if (key == "bytes") {
            has_bytes = is_text && FromHex(text, &parsed.bytes);
            return has_bytes;
        }
        return true;
    });
    if (!read || !has_number || !has_kind || !has_bytes) {
        return false;
    }
    *request = std::move(parsed);
    return true;
}

std::vector<LoggedRequest> ReadRequestLog(const std::string &text) {
    std::vector<LoggedRequest> requests;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        LoggedRequest request;
        if (ParseLogRecord(text.substr(start, end - start), &request)) {
            requests.push_back(std::move(request));
        }
    }
    return requests;
}

}  // namespace kormelt::sim
