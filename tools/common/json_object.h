// One JSON object of one line, as the station's workers print them and the
// simulator logs its requests: flat, its values strings, numbers, booleans or
// null. Anything else (a nested value, a line that is no object) is refused:
// neither writes it.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kormelt {

struct JsonValue {
    enum class Kind { String, Number, Bool, Null } kind = Kind::Null;
    std::string text;  // the string, with its escapes undone
    double number = 0.0;
    bool boolean = false;
};

class JsonObject {
public:
    // Nothing when line is not one flat object.
    static std::optional<JsonObject> Parse(const std::string &line);

    // The string at key, or fallback when it is missing or no string.
    std::string String(const std::string &key, const std::string &fallback = "") const;
    // The number at key, when it is one.
    std::optional<double> Number(const std::string &key) const;
    bool Has(const std::string &key) const { return values_.count(key) != 0; }
    // The value at key, or null when it is missing.
    const JsonValue *Find(const std::string &key) const;

private:
    std::map<std::string, JsonValue> values_;
};

}  // namespace kormelt
