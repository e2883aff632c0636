// The pure parts of `kormelt ui`: the token and its comparison, the listen
// address, the Host and Origin rules, which requests are admitted before
// their body is read, the upload's form, and the snapshot the page is drawn
// from.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/ui/ui_admission.h"
#include "tools/ui/ui_multipart.h"
#include "tools/ui/ui_security.h"
#include "tools/ui/ui_snapshot.h"

using namespace kormelt::ui;
using kormelt::station::Clock;
using kormelt::station::RowState;
using kormelt::station::StationRow;

namespace {

TEST(Token, IsFreshHexOfAHundredAndTwentyEightBits) {
    std::set<std::string> tokens;
    for (int k = 0; k < 4; ++k) {
        std::string token;
        std::string error;
        ASSERT_TRUE(MakeToken(&token, &error)) << error;
        EXPECT_EQ(token.size(), 2 * TOKEN_BYTES);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 4u);
}

TEST(Token, OnlyTheWholeSecretIsTheSecret) {
    const std::string secret = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(SameSecret(secret, secret));
    for (const std::string &given : {std::string(), secret.substr(0, 31), secret + "0", "1" + secret.substr(1),
                                     secret.substr(0, 31) + "e", std::string("0123456789ABCDEF0123456789ABCDEF"),
                                     secret.substr(0, 16) + std::string(1, '\0') + secret.substr(17)}) {
        EXPECT_FALSE(SameSecret(given, secret)) << given;
    }
    EXPECT_FALSE(SameSecret("", ""));  // no secret opens nothing
}

TEST(Listen, AddressesAndPorts) {
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        int port;
        bool loopback;
    };
    const Case cases[] = {
        {"127.0.0.1:8650", true, "127.0.0.1", 8650, true},
        {"127.1.2.3:0", true, "127.1.2.3", 0, true},
        {"localhost:80", true, "127.0.0.1", 80, true},
        {"[::1]:8650", true, "::1", 8650, true},
        {"0.0.0.0:8650", true, "0.0.0.0", 8650, false},
        {"192.168.1.5:65535", true, "192.168.1.5", 65535, false},
        {"[fe80::1]:1", true, "fe80::1", 1, false},
        {"127.0.0.1", false, "", 0, false},
        {"127.0.0.1:", false, "", 0, false},
        {"127.0.0.1:65536", false, "", 0, false},
        {"127.0.0.1:-1", false, "", 0, false},
        {"127.0.0.1:80x", false, "", 0, false},
        {":8650", false, "", 0, false},
        {"example.com:80", false, "", 0, false},
        {"[::1]8650", false, "", 0, false},
        {"::1:8650", false, "", 0, false},
        {"[127.0.0.1]:80", false, "", 0, false},
    };
    for (const Case &c : cases) {
        ListenAddress address;
        std::string error;
        EXPECT_EQ(ParseListen(c.text, &address, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address.host, c.host) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
            EXPECT_EQ(address.loopback, c.loopback) << c.text;
        } else {
            EXPECT_NE(error.find("--listen"), std::string::npos) << error;
        }
    }
}

TEST(HostAndOrigin, OnlyThisServerByItsNames) {
    ListenAddress v4;
    std::string error;
    ASSERT_TRUE(ParseListen("127.0.0.1:0", &v4, &error));
    ListenAddress lan;
    ASSERT_TRUE(ParseListen("192.168.1.5:8650", &lan, &error));
    struct Case {
        const ListenAddress *address;
        int port;
        const char *host;
        bool allowed;
    };
    const Case cases[] = {
        {&v4, 41000, "127.0.0.1:41000", true},    {&v4, 41000, "localhost:41000", true},
        {&v4, 41000, "LocalHost:41000", true},    {&v4, 41000, "[::1]:41000", true},
        {&v4, 41000, "127.0.0.1", false},         {&v4, 41000, "localhost", false},
        {&v4, 41000, "127.0.0.1:41001", false},   {&v4, 41000, "attacker.example:41000", false},
        {&v4, 41000, "", false},                  {&v4, 41000, "127.0.0.1:41000.attacker", false},
        {&lan, 8650, "192.168.1.5:8650", true},   {&lan, 8650, "localhost:8650", true},
        {&lan, 8650, "192.168.1.6:8650", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(HostAllowed(c.host, *c.address, c.port), c.allowed) << c.host;
    }
    EXPECT_TRUE(OriginAllowed("http://127.0.0.1:41000", "127.0.0.1:41000"));
    EXPECT_TRUE(OriginAllowed("http://LOCALHOST:41000", "localhost:41000"));
    for (const char *origin : {"", "null", "https://127.0.0.1:41000", "http://127.0.0.1:41001", "http://127.0.0.1",
                               "http://attacker.example", "http://127.0.0.1:41000/"}) {
        EXPECT_FALSE(OriginAllowed(origin, "127.0.0.1:41000")) << origin;
    }
    EXPECT_FALSE(OriginAllowed("http://", ""));
}

TEST(Cookie, TheSessionAmongOthers) {
    EXPECT_EQ(CookieValue("kormelt_session=abc", SESSION_COOKIE), "abc");
    EXPECT_EQ(CookieValue("a=1; kormelt_session=abc; b=2", SESSION_COOKIE), "abc");
    EXPECT_EQ(CookieValue("a=1;kormelt_session= abc ", SESSION_COOKIE), "abc");
    EXPECT_EQ(CookieValue("xkormelt_session=abc", SESSION_COOKIE), "");
    EXPECT_EQ(CookieValue("kormelt_session_old=abc", SESSION_COOKIE), "");
    EXPECT_EQ(CookieValue("", SESSION_COOKIE), "");
    EXPECT_EQ(CookieValue("kormelt_session", SESSION_COOKIE), "");
}

bool PageHasOnly(const std::string &path) { return path == "/" || path == "/app.js"; }

TEST(Admission, DecidedFromTheHeadersAlone) {
    ServerIdentity server;
    std::string error;
    ASSERT_TRUE(ParseListen("127.0.0.1:0", &server.address, &error));
    server.port = 41000;
    server.token = "0123456789abcdef0123456789abcdef";
    const std::string host = "127.0.0.1:41000";
    const std::string origin = "http://" + host;
    struct Case {
        const char *what;
        RequestFacts request;
        int status;
    };
    const auto facts = [&](const char *method, const char *path) {
        RequestFacts r;
        r.method = method;
        r.path = path;
        r.host = host;
        r.token_header = server.token;
        if (std::string(method) == "POST") {
            r.origin = origin;
            r.has_origin = true;
        }
        return r;
    };
    const auto with = [](RequestFacts r, auto change) {
        change(r);
        return r;
    };
    const Case cases[] = {
        {"state", facts("GET", "/api/state"), 0},
        {"a page file", facts("GET", "/app.js"), 0},
        {"HEAD of the state", facts("HEAD", "/api/state"), 0},
        {"the session cookie", with(facts("GET", "/api/state"), [&](RequestFacts &r) {
             r.token_header.clear();
             r.cookie = "kormelt_session=" + server.token;
         }), 0},
        {"login without session", with(facts("GET", "/"), [](RequestFacts &r) {
             r.token_header.clear();
             r.has_token_param = true;
         }), 0},
        {"no session", with(facts("GET", "/api/state"), [](RequestFacts &r) { r.token_header.clear(); }), 403},
        {"no session, unknown path", with(facts("GET", "/x"), [](RequestFacts &r) { r.token_header.clear(); }), 403},
        {"a wrong Host first", with(facts("GET", "/api/state"), [](RequestFacts &r) { r.host = "a.example:41000"; }),
         403},
        {"unknown path", facts("GET", "/etc/passwd"), 404},
        {"POST to a page file", facts("POST", "/app.js"), 405},
        {"GET of a change", facts("GET", "/api/flash"), 405},
        {"POST of the state", facts("POST", "/api/state"), 405},
        {"PUT of a change", facts("PUT", "/api/flash"), 405},
        {"flash", facts("POST", "/api/flash"), 0},
        {"flash without Origin", with(facts("POST", "/api/flash"), [](RequestFacts &r) { r.has_origin = false; }),
         403},
        {"flash from elsewhere",
         with(facts("POST", "/api/flash"), [](RequestFacts &r) { r.origin = "http://a.example"; }), 403},
        {"a JSON body at its bound", with(facts("POST", "/api/auto"),
                                          [](RequestFacts &r) { r.content_length = JSON_BODY_MAX_BYTES; }), 0},
        {"a JSON body beyond", with(facts("POST", "/api/auto"),
                                    [](RequestFacts &r) { r.content_length = JSON_BODY_MAX_BYTES + 1; }), 413},
        {"an upload at its bound",
         with(facts("POST", "/api/image"), [](RequestFacts &r) { r.content_length = UPLOAD_MAX_BYTES; }), 0},
        {"an upload beyond",
         with(facts("POST", "/api/image"), [](RequestFacts &r) { r.content_length = UPLOAD_MAX_BYTES + 1; }), 413},
        {"a chunked upload, bounded as it is read",
         with(facts("POST", "/api/image"), [](RequestFacts &r) { r.has_transfer_encoding = true; }), 0},
        {"a read with a body",
         with(facts("GET", "/api/state"), [](RequestFacts &r) { r.content_length = 1; }), 400},
        {"a read with chunks",
         with(facts("GET", "/api/state"), [](RequestFacts &r) { r.has_transfer_encoding = true; }), 400},
        {"a read with an empty body", with(facts("GET", "/api/state"), [](RequestFacts &r) { r.content_length = 0; }),
         0},
    };
    for (const Case &c : cases) {
        const Admission admission = Admit(c.request, server, PageHasOnly);
        EXPECT_EQ(admission.status, c.status) << c.what << ": " << admission.error;
        EXPECT_EQ(admission.error.empty(), c.status == 0) << c.what;
    }
    EXPECT_EQ(Admit(facts("POST", "/api/image"), server, PageHasOnly).body_max, UPLOAD_MAX_BYTES);
}

TEST(Multipart, TheBoundaryOfTheFormType) {
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=abc"), "abc");
    EXPECT_EQ(MultipartBoundary("Multipart/Form-Data;boundary=\"a b'c\""), "a b'c");
    EXPECT_EQ(MultipartBoundary("multipart/form-data; charset=utf-8; boundary=x-1"), "x-1");
    for (const char *type : {"multipart/form-data", "multipart/form-data; boundary=", "multipart/mixed; boundary=a",
                             "application/json", "multipart/form-data; boundary=\"unclosed",
                             "multipart/form-data; boundary=a\x01", "multipart/form-data; xboundary=a"}) {
        EXPECT_EQ(MultipartBoundary(type), "") << type;
    }
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(BOUNDARY_MAX_CHARS, 'a')),
              std::string(BOUNDARY_MAX_CHARS, 'a'));
    EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(BOUNDARY_MAX_CHARS + 1, 'a')), "");
}

TEST(Multipart, TheFileOfItsField) {
    // The delimiter is a line break and --b: the same without the line break is content.
    const std::string content("--b at the start\r\n-b\0\xff", 22);
    const std::string body = "--b\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
                             "--b\r\ncontent-disposition: form-data; name=\"image\"; filename=\"C:\\\\fw\\\\fw.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             content + "\r\n--b--\r\n";
    UploadedFile file;
    std::string error;
    ASSERT_TRUE(FindUploadedFile(body, "b", "image", &file, &error)) << error;
    EXPECT_EQ(file.content, content);
    EXPECT_EQ(file.filename, "fw.bin");
    ASSERT_TRUE(FindUploadedFile("--b\r\nContent-Disposition: form-data; name=image; filename=x.hex\r\n\r\n\r\n--b--",
                                 "b", "image", &file, &error))
        << error;
    EXPECT_EQ(file.content, "");
    EXPECT_EQ(file.filename, "x.hex");
}

TEST(Multipart, MalformedFormsAreRefused) {
    const std::string disposition = "Content-Disposition: form-data; name=\"image\"; filename=\"f\"";
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"empty", ""},
        {"no boundary first", "x--b\r\n" + disposition + "\r\n\r\nabc\r\n--b--"},
        {"no line break after the boundary", "--bx" + disposition + "\r\n\r\nabc\r\n--b--"},
        {"headers that do not end", "--b\r\n" + disposition + "\r\nabc"},
        {"no closing boundary", "--b\r\n" + disposition + "\r\n\r\nabc"},
        {"a header line without a name", "--b\r\nno colon\r\n\r\nabc\r\n--b--"},
        {"no disposition", "--b\r\nContent-Type: a/b\r\n\r\nabc\r\n--b--"},
        {"no such field", "--b\r\nContent-Disposition: form-data; name=\"other\"; filename=\"f\"\r\n\r\nabc\r\n--b--"},
        {"a field without a file", "--b\r\nContent-Disposition: form-data; name=\"image\"\r\n\r\nabc\r\n--b--"},
        {"filename is no name", "--b\r\nContent-Disposition: form-data; filename=\"image\"\r\n\r\nabc\r\n--b--"},
        {"only the end", "--b--\r\n"},
        {"headers beyond their bound", "--b\r\n" + disposition + std::string(9000, 'x') + "\r\n\r\nabc\r\n--b--"},
    };
    for (const auto &[what, body] : cases) {
        UploadedFile file;
        std::string error;
        EXPECT_FALSE(FindUploadedFile(body, "b", "image", &file, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
    }
}

StationRow Row(const char *port, RowState state, const char *phase, int percent) {
    StationRow row;
    row.port = port;
    row.identity.location = std::string("1-1.") + port[std::string(port).size() - 1] + ":1.0";
    row.identity.serial = "S";
    row.identity.product = "FT232R USB UART";
    row.state = state;
    row.phase = phase;
    row.percent = percent;
    return row;
}

TEST(Snapshot, TheDevicesAsThePageShowsThem) {
    const Clock::time_point now = Clock::now();
    std::vector<StationRow> rows = {
        Row("/dev/ttyUSB0", RowState::Queued, "", 0),
        Row("/dev/ttyUSB1", RowState::Running, "upload", 50),
        Row("/dev/ttyUSB2", RowState::Ok, "restart", 100),
        Row("/dev/ttyUSB3", RowState::Failed, "erase", 40),
        Row("/dev/ttyUSB4", RowState::Cancelled, "upload", 10),
        Row("/dev/ttyUSB5", RowState::Ok, "", 0),        // unplugged once done: gone from the page
        Row("/dev/ttyUSB6", RowState::Running, "check", 0),  // unplugged while running: still shown
    };
    rows[1].started = now - std::chrono::seconds(2);
    rows[3].message = "Erase failed.";
    rows[3].started = now - std::chrono::seconds(3);
    rows[3].ended = now - std::chrono::seconds(1);
    rows[2].message = "kept to itself";
    rows[5].present = false;
    rows[6].present = false;
    UiStatus status;
    status.clients = 2;
    status.records_version = 7;
    status.image = ImageSummary{"fw.bin", 16386, 0x1D0F, "ab", "image"};
    const nlohmann::json snapshot = Snapshot(status, rows, now);
    EXPECT_EQ(snapshot["connected_clients"], 2);
    EXPECT_EQ(snapshot["records_version"], 7);
    EXPECT_EQ(snapshot["locked"], false);
    EXPECT_EQ(snapshot["auto"], false);
    EXPECT_TRUE(snapshot["image_error"].is_null());
    EXPECT_EQ(snapshot["image"], (nlohmann::json{{"name", "fw.bin"}, {"size", 16386}, {"crc", "0x1D0F"},
                                                 {"sha256", "ab"}, {"format", "image"}}));
    const nlohmann::json &devices = snapshot["devices"];
    ASSERT_EQ(devices.size(), 6u);
    struct Expected {
        const char *port;
        const char *state;
        const char *phase;
        int percent;
        const char *message;
    };
    const Expected expected[] = {
        {"/dev/ttyUSB0", "waiting", "", 0, ""},
        {"/dev/ttyUSB1", "running", "upload", 56, ""},
        {"/dev/ttyUSB2", "ok", "", 100, ""},
        {"/dev/ttyUSB3", "failed", "", 9, "Erase failed."},
        {"/dev/ttyUSB4", "cancelled", "", 23, ""},
        {"/dev/ttyUSB6", "running", "", 0, ""},
    };
    for (size_t k = 0; k < devices.size(); ++k) {
        EXPECT_EQ(devices[k]["port"], expected[k].port);
        EXPECT_EQ(devices[k]["state"], expected[k].state) << expected[k].port;
        EXPECT_EQ(devices[k]["phase"], expected[k].phase) << expected[k].port;
        EXPECT_EQ(devices[k]["percent"], expected[k].percent) << expected[k].port;
        EXPECT_EQ(devices[k]["message"], expected[k].message) << expected[k].port;
        EXPECT_EQ(devices[k]["serial"], "S");
        EXPECT_EQ(devices[k]["product"], "FT232R USB UART");
    }
    EXPECT_EQ(devices[0]["location"], "1-1.0:1.0");
    EXPECT_TRUE(devices[0]["seconds"].is_null());
    EXPECT_NEAR(devices[1]["seconds"].get<double>(), 2.0, 0.01);
    EXPECT_NEAR(devices[3]["seconds"].get<double>(), 2.0, 0.01);

    status.image.reset();
    status.image_error = "fw.bin: the CRC is wrong.";
    const nlohmann::json refused = Snapshot(status, {}, now);
    EXPECT_TRUE(refused["image"].is_null());
    EXPECT_EQ(refused["image_error"], "fw.bin: the CRC is wrong.");
    EXPECT_TRUE(refused["devices"].is_array());
}

TEST(Snapshot, PercentAcrossThePhases) {
    int previous = -1;
    for (const char *phase : {"search", "erase", "upload", "restart"}) {
        for (int percent : {0, 50, 100}) {
            const int overall = UpdatePercent(Row("/dev/ttyUSB0", RowState::Running, phase, percent));
            EXPECT_GE(overall, previous) << phase << " " << percent;
            EXPECT_LE(overall, 100);
            previous = overall;
        }
    }
    EXPECT_EQ(previous, 100);
    EXPECT_EQ(UpdatePercent(Row("/dev/ttyUSB0", RowState::Running, "upload", 250)), 97);  // a report beyond 100
}

}  // namespace
