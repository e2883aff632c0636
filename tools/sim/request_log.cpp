#include "tools/sim/request_log.h"

#include <cmath>
#include <optional>

#include "protocol/hex.h"
#include "tools/common/json_object.h"
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

// A count of the log (n, block, address): absent, or a whole JSON number
// from 0 to UINT32_MAX. False when it is there but no such number.
bool Count(const JsonObject &object, const char *key, std::optional<uint32_t> *count) {
    const JsonValue *value = object.Find(key);
    if (value == nullptr) {
        return true;
    }
    if (value->kind != JsonValue::Kind::Number || !(value->number >= 0 && value->number <= UINT32_MAX) ||
        std::floor(value->number) != value->number) {
        return false;
    }
    *count = static_cast<uint32_t>(value->number);
    return true;
}

// The string at key; null when it is missing or no string.
const std::string *Text(const JsonObject &object, const char *key) {
    const JsonValue *value = object.Find(key);
    return value != nullptr && value->kind == JsonValue::Kind::String ? &value->text : nullptr;
}

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
    const std::optional<JsonObject> object = JsonObject::Parse(line);
    if (!object) {
        return false;
    }
    LoggedRequest parsed;
    std::optional<uint32_t> number;
    const std::string *kind = Text(*object, "kind");
    const std::string *bytes = Text(*object, "bytes");
    if (!Count(*object, "n", &number) || !number || !Count(*object, "block", &parsed.block) ||
        !Count(*object, "address", &parsed.address) || kind == nullptr || bytes == nullptr ||
        !FromHex(*bytes, &parsed.bytes)) {
        return false;
    }
    parsed.number = *number;
    parsed.kind = *kind;
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
