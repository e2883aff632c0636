// The facts the Python binding carries, as the C++ compiler sees them in the
// headers, printed as JSON for compare_facts.py.
#include <cstdio>
#include <string>

#include "link/port_name.h"
#include "link/port_url.h"
#include "protocol/progress.h"
#include "protocol/protocol.h"
#include "protocol/status.h"
#include "tools/kormelt/messages.h"

namespace {

std::string Quoted(const char *text) {
    std::string quoted = "\"";
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            quoted += '\\';
        }
        quoted += *c;
    }
    return quoted + "\"";
}

struct Number {
    const char *name;
    long long value;
};

struct Text {
    const char *name;
    const char *value;
};

}  // namespace

int main() {
    const Number statuses[] = {
        {"OK", KORMELT_STATUS_OK},
        {"IMAGE_OPEN", KORMELT_STATUS_IMAGE_OPEN},
        {"PORT_OPEN", KORMELT_STATUS_PORT_OPEN},
        {"PORT_CONFIG", KORMELT_STATUS_PORT_CONFIG},
        {"WRITE", KORMELT_STATUS_WRITE},
        {"PORT_NUMBER", KORMELT_STATUS_PORT_NUMBER},
        {"CANCELLED", KORMELT_STATUS_CANCELLED},
        {"NOT_FOUND", KORMELT_STATUS_NOT_FOUND},
        {"TIMEOUT", KORMELT_STATUS_TIMEOUT},
        {"CRC", KORMELT_STATUS_CRC},
        {"PORT_QUEUES", KORMELT_STATUS_PORT_QUEUES},
        {"NO_MEMORY", KORMELT_STATUS_NO_MEMORY},
        {"PORT_STATE", KORMELT_STATUS_PORT_STATE},
        {"PORT_NOT_OPEN", KORMELT_STATUS_PORT_NOT_OPEN},
        {"PORT_TIMEOUTS", KORMELT_STATUS_PORT_TIMEOUTS},
        {"FILE_CHECK_OPEN_FAILED", KORMELT_FILE_CHECK_OPEN_FAILED},
    };
    const Number numbers[] = {
        {"SEARCH_FIRST_PORT", KORMELT_SEARCH_FIRST_PORT},
        {"SEARCH_LAST_PORT", KORMELT_SEARCH_LAST_PORT},
        {"SEARCH_PERCENT_STEP", KORMELT_SEARCH_PERCENT_STEP},
        {"ERASE_BLOCK_COUNT", KORMELT_ERASE_BLOCK_COUNT},
        {"ERASE_PERCENT_STEP", KORMELT_ERASE_PERCENT_STEP},
        {"PERCENT_DONE", KORMELT_PERCENT_DONE},
        {"REPLY_TIMEOUT_MS", kormelt::REPLY_TIMEOUT_MS},
        {"LINE_BAUD_RATE", kormelt::LINE_BAUD_RATE},
        {"CRC_TRAILER_BYTES", static_cast<long long>(kormelt::CRC_TRAILER_BYTES)},
        {"IMAGE_FILE_MIN_BYTES", static_cast<long long>(kormelt::IMAGE_FILE_MIN_BYTES)},
    };
    const Text texts[] = {
        {"PORT_NAME_VARIABLE", kormelt::PORT_NAME_VARIABLE},
        {"PORT_NAME_FALLBACK", kormelt::PORT_NAME_FALLBACK},
        {"NO_PORT_PATH", kormelt::NO_PORT_PATH},
        {"PORT_URL_RFC2217", kormelt::PORT_URL_RFC2217},
        {"PORT_URL_SOCKET", kormelt::PORT_URL_SOCKET},
    };

    std::string json = "{\n  \"Status\": {";
    const char *comma = "";
    for (const Number &status : statuses) {
        json += comma + std::string("\n    ") + Quoted(status.name) + ": " + std::to_string(status.value);
        comma = ",";
    }
    json += "\n  }";
    for (const Number &number : numbers) {
        json += ",\n  " + Quoted(number.name) + ": " + std::to_string(number.value);
    }
    for (const Text &text : texts) {
        json += ",\n  " + Quoted(text.name) + ": " + Quoted(text.value);
    }
    json += ",\n  \"MESSAGES\": {";
    comma = "";
    for (const kormelt::tool::messages::Entry &entry : kormelt::tool::messages::ALL) {
        json += comma + std::string("\n    ") + Quoted(entry.key) + ": " + Quoted(entry.text);
        comma = ",";
    }
    json += "\n  }\n}\n";
    return std::fputs(json.c_str(), stdout) >= 0 ? 0 : 1;
}
