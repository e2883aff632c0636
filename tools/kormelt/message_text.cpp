#include "tools/kormelt/message_text.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace kormelt::tool {
namespace {

bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
char Lowered(char c) { return IsUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
char Raised(char c) { return IsLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string FillMessage(const char *text, std::initializer_list<MessageField> fields) {
    std::vector<bool> used(fields.size(), false);
    std::string out;
    const char *at = text;
    while (const char *open = std::strchr(at, '{')) {
        const char *close = std::strchr(open, '}');
        if (close == nullptr) {
            throw std::logic_error(std::string("an unclosed placeholder in: ") + text);
        }
        out.append(at, open);
        std::string name(open + 1, close);
        const bool capital = !name.empty() && IsUpper(name[0]);
        if (capital) {
            name[0] = Lowered(name[0]);
        }
        size_t index = 0;
        for (const MessageField &field : fields) {
            if (name == field.name) {
                break;
            }
            ++index;
        }
        if (index == fields.size()) {
            throw std::logic_error("no value for {" + std::string(open + 1, close) + "} in: " + text);
        }
        used[index] = true;
        std::string value = fields.begin()[index].value;
        if (capital && !value.empty()) {
            value[0] = Raised(value[0]);
        }
        out += value;
        at = close + 1;
    }
    out += at;
    size_t index = 0;
    for (const MessageField &field : fields) {
        if (!used[index++]) {
            throw std::logic_error(std::string("the value for {") + field.name + "} has no place in: " + text);
        }
    }
    return out;
}

}  // namespace kormelt::tool
