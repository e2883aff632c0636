// Which requests the server answers at all, decided from the request line
// and headers alone, before a byte of the body is read: the Host, the
// session, the route and its method, the Origin of a change and the size
// of its body. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/ui/ui_security.h"

namespace kormelt::ui {

constexpr size_t JSON_BODY_MAX_BYTES = 4u << 10;  // {"enabled": true} and the like

struct RequestFacts {
    std::string method;
    std::string path;
    std::string host;
    std::string origin;
    bool has_origin = false;
    std::string cookie;        // the Cookie header
    std::string token_header;  // X-Kormelt-Token
    bool has_token_param = false;  // GET /?token=...
    std::optional<uint64_t> content_length;
    bool has_transfer_encoding = false;
};

enum class Route { Page, Login, State, Events, Records, RecordsCsv, Image, Flash, Stop, Auto };

struct Admission {
    int status = 0;  // 0: go on to the route's handler
    std::string error;
    Route route = Route::Page;
    size_t body_max = 0;  // the most the route's body may hold
};

struct ServerIdentity {
    ListenAddress address;
    int port = 0;
    std::string token;
};

Admission Admit(const RequestFacts &request, const ServerIdentity &server, bool (*page_has)(const std::string &));

}  // namespace kormelt::ui
