// The sentences of tools/kormelt/messages.json, which the Python binding
// says too, with the values of one failure put in.
#pragma once

#include <initializer_list>
#include <string>

namespace kormelt::tool {

struct MessageField {
    const char *name;
    std::string value;
};

// text with each {name} replaced by the value of the field of that name,
// and each {Name} by that value with its first letter capitalised. A
// placeholder without a field, or a field the text does not use, is a fault
// of the caller: std::logic_error, which names both.
std::string FillMessage(const char *text, std::initializer_list<MessageField> fields);

}  // namespace kormelt::tool
