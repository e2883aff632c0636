// A port's name read as a serial server's URL: what is a device path, what
// is a server, and what opens as no port at all.
#include <gtest/gtest.h>

#include <string>

#include "link/port_url.h"

using kormelt::ParsePortUrl;
using kormelt::PortUrl;
using kormelt::PortUrlParse;
using kormelt::RemoteKind;
using kormelt::Rfc2217Refusal;

namespace {

TEST(PortUrl, NamesAndWhatTheyAre) {
    struct Case {
        const char *name;
        PortUrlParse parse;
        RemoteKind kind;
        const char *host;
        bool bracketed;
        uint16_t port;
        Rfc2217Refusal refusal;
    };
    constexpr auto S = RemoteKind::Socket;
    constexpr auto R = RemoteKind::Rfc2217;
    constexpr auto STRICT = Rfc2217Refusal::Strict;
    constexpr auto TOLERANT = Rfc2217Refusal::Tolerant;
    constexpr auto URL = PortUrlParse::Url;
    constexpr auto BAD = PortUrlParse::Bad;
    constexpr auto PATH = PortUrlParse::Path;
    const Case cases[] = {
        {"socket://127.0.0.1:4000", URL, S, "127.0.0.1", false, 4000, STRICT},
        {"rfc2217://localhost:2217", URL, R, "localhost", false, 2217, STRICT},
        {"rfc2217://[::1]:1", URL, R, "::1", true, 1, STRICT},
        {"rfc2217://[fe80::1%eth0]:65535", URL, R, "fe80::1%eth0", true, 65535, STRICT},
        {"rfc2217://serial-server.example:7000?strict", URL, R, "serial-server.example", false, 7000, STRICT},
        {"rfc2217://10.0.0.5:7000?tolerant", URL, R, "10.0.0.5", false, 7000, TOLERANT},
        // Device paths, even odd ones, stay paths.
        {"/dev/ttyUSB0", PATH, S, "", false, 0, STRICT},
        {"ttyS0", PATH, S, "", false, 0, STRICT},
        {"/tmp/a://b", PATH, S, "", false, 0, STRICT},
        {"", PATH, S, "", false, 0, STRICT},
        // Anything else that starts like a URL opens nothing.
        {"tcp://127.0.0.1:4000", BAD, S, "", false, 0, STRICT},
        {"RFC2217://127.0.0.1:4000", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:", BAD, S, "", false, 0, STRICT},
        {"socket://:4000", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:0", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:65536", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:000004000", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:+4000", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:40x0", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:4000/", BAD, S, "", false, 0, STRICT},
        {"socket://127.0.0.1:4000?tolerant", BAD, S, "", false, 0, STRICT},
        {"rfc2217://127.0.0.1:4000?lenient", BAD, S, "", false, 0, STRICT},
        {"rfc2217://127.0.0.1:4000?strict?tolerant", BAD, S, "", false, 0, STRICT},
        {"rfc2217://::1:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://[::1:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://[::1]4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://[]:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://[127.0.0.1]:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://host_name:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://user@host:4000", BAD, S, "", false, 0, STRICT},
        {"rfc2217://ho st:4000", BAD, S, "", false, 0, STRICT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PortUrl url;
        url.port = 99;  // whatever was there before is not kept
        EXPECT_EQ(ParsePortUrl(c.name, &url), c.parse);
        if (c.parse != URL) {
            EXPECT_EQ(url.port, 0);
            continue;
        }
        EXPECT_EQ(url.kind, c.kind);
        EXPECT_STREQ(url.host, c.host);
        EXPECT_EQ(url.bracketed, c.bracketed);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.refusal, c.refusal);
    }
}

TEST(PortUrl, AHostLongerThanAnyNameIsRefused) {
    const std::string longest(kormelt::PORT_URL_HOST_CAPACITY - 1, 'a');
    PortUrl url;
    EXPECT_EQ(ParsePortUrl(("socket://" + longest + ":1").c_str(), &url), PortUrlParse::Url);
    EXPECT_EQ(std::string(url.host), longest);
    EXPECT_EQ(ParsePortUrl(("socket://" + longest + "a:1").c_str(), &url), PortUrlParse::Bad);
}

}  // namespace
