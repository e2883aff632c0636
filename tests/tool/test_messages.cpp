// The failure sentences of messages.json filled in, and the ports named in
// the tool's texts.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "protocol/protocol.h"
#include "tools/kormelt/message_text.h"
#include "tools/kormelt/searched_ports.h"

using kormelt::tool::FillMessage;

namespace {

TEST(FillMessage, PutsInEachValue) {
    struct Case {
        const char *what;
        const char *text;
        std::initializer_list<kormelt::tool::MessageField> fields;
        std::string filled;
    };
    const Case cases[] = {
        {"no placeholder", "Plain.", {}, "Plain."},
        {"one", "Erase failed{at}.", {{"at", " at 28%"}}, "Erase failed at 28%."},
        {"an empty value", "Erase failed{at}.", {{"at", ""}}, "Erase failed."},
        {"the same twice", "Only {ports}: give it one from {ports}.", {{"ports", "COM1 to COM7"}},
         "Only COM1 to COM7: give it one from COM1 to COM7."},
        {"capitalised", "{Again}; or {again}.", {{"again", "run flash again"}},
         "Run flash again; or run flash again."},
        {"a value with braces stays as it is", "{path} is empty.", {{"path", "{odd}.img"}}, "{odd}.img is empty."},
        {"at both ends", "{a}-{b}", {{"a", "x"}, {"b", "y"}}, "x-y"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FillMessage(c.text, c.fields), c.filled) << c.what;
    }
}

TEST(FillMessage, RefusesWhatDoesNotFit) {
    EXPECT_THROW(FillMessage("{failed}: {status}", {{"failed", "Erase failed"}}), std::logic_error);
    EXPECT_THROW(FillMessage("{failed}.", {{"failed", "Erase failed"}, {"retry", "Run flash again."}}),
                 std::logic_error);
    EXPECT_THROW(FillMessage("{failed.", {{"failed", "Erase failed"}}), std::logic_error);
}

TEST(SearchedPorts, SpeltFromTheSearchBounds) {
    EXPECT_EQ(std::string(SEARCHED_PORTS), "COM" + std::to_string(kormelt::SEARCH_FIRST_PORT) + " to COM" +
                                               std::to_string(kormelt::SEARCH_LAST_PORT));
}

}  // namespace
