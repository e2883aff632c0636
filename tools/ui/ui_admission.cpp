#include "tools/ui/ui_admission.h"

#include "tools/ui/ui_multipart.h"

namespace kormelt::ui {
namespace {

struct RouteRule {
    const char *path;
    const char *method;
    Route route;
    size_t body_max;
};
constexpr RouteRule ROUTES[] = {
    {"/api/state", "GET", Route::State, 0},
    {"/api/events", "GET", Route::Events, 0},
    {"/api/records", "GET", Route::Records, 0},
    {"/api/records.csv", "GET", Route::RecordsCsv, 0},
    {"/api/image", "POST", Route::Image, UPLOAD_MAX_BYTES},
    {"/api/flash", "POST", Route::Flash, JSON_BODY_MAX_BYTES},
    {"/api/stop", "POST", Route::Stop, JSON_BODY_MAX_BYTES},
    {"/api/auto", "POST", Route::Auto, JSON_BODY_MAX_BYTES},
};

Admission Refuse(int status, const std::string &error) {
    Admission admission;
    admission.status = status;
    admission.error = error;
    return admission;
}

bool Reads(const std::string &method) { return method == "GET" || method == "HEAD"; }

}  // namespace

Admission Admit(const RequestFacts &request, const ServerIdentity &server, bool (*page_has)(const std::string &)) {
    if (!HostAllowed(request.host, server.address, server.port)) {
        return Refuse(403, "This server answers only requests addressed to it by its own address.");
    }
    Admission admission;
    const bool login = request.path == "/" && request.method == "GET" && request.has_token_param;
    if (login) {
        admission.route = Route::Login;
    } else if (!SameSecret(CookieValue(request.cookie, SESSION_COOKIE), server.token) &&
               !SameSecret(request.token_header, server.token)) {
        return Refuse(403, "Open the page with the address kormelt ui printed: it holds the token.");
    }
    if (!login) {
        const RouteRule *rule = nullptr;
        for (const RouteRule &candidate : ROUTES) {
            if (request.path == candidate.path) {
                rule = &candidate;
            }
        }
        if (rule == nullptr) {
            if (!page_has(request.path)) {
                return Refuse(404, "There is nothing at " + request.path.substr(0, 200) + ".");
            }
            if (!Reads(request.method)) {
                return Refuse(405, "The page's files are only read (GET).");
            }
        } else {
            if (request.method != rule->method && !(Reads(request.method) && Reads(rule->method))) {
                return Refuse(405, request.path + " takes " + rule->method + " only.");
            }
            admission.route = rule->route;
            admission.body_max = rule->body_max;
        }
    }
    if (!Reads(request.method) && (!request.has_origin || !OriginAllowed(request.origin, request.host))) {
        return Refuse(403, "A change is taken only from the page itself (its Origin).");
    }
    if (admission.body_max == 0 && (request.has_transfer_encoding || request.content_length.value_or(0) > 0)) {
        return Refuse(400, "A request to read takes no body.");
    }
    if (request.content_length && *request.content_length > admission.body_max) {
        return Refuse(413, admission.route == Route::Image
                               ? "The upload is larger than an image can be (16 MiB and the form around it)."
                               : "The request's body is larger than any this server takes.");
    }
    return admission;
}

}  // namespace kormelt::ui
