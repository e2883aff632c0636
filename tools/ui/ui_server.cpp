#include "tools/ui/ui.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/output.h"
#include "tools/records/records.h"
#include "tools/records/records_option.h"
#include "tools/records/records_output.h"
#include "tools/station/worker_process.h"
#include "tools/ui/page_files.h"
#include "tools/ui/ui_admission.h"
#include "tools/ui/ui_image.h"
#include "tools/ui/ui_multipart.h"
#include "tools/ui/ui_private_dir.h"
#include "tools/ui/ui_security.h"
#include "tools/ui/ui_station.h"

namespace kormelt::ui {
namespace {

// Each connection gets a thread of the pool, an event stream for as long
// as it is open: enough for several pages and their requests at once.
constexpr size_t REQUEST_THREADS = 32;
constexpr size_t EVENT_STREAMS_MAX = 16;  // leaves threads for the requests of the pages
constexpr time_t READ_TIMEOUT_S = 5;      // a client that stops sending loses its connection
constexpr time_t WRITE_TIMEOUT_S = 5;     // ... and one that stops reading
constexpr time_t IDLE_CONNECTION_S = 2;   // a connection that sends no request
constexpr auto KEEP_ALIVE_INTERVAL = std::chrono::seconds(15);  // a comment on a quiet event stream
constexpr int STOP_POLL_MS = 10;
constexpr size_t RECORDS_LIMIT_DEFAULT = 1000;
constexpr size_t RECORDS_LIMIT_MAX = 100000;
constexpr char UPLOAD_FIELD[] = "image";
constexpr char UPLOAD_NAME_DEFAULT[] = "image";
constexpr size_t UPLOAD_NAME_MAX_CHARS = 100;
// Where the form's own Content-Type is kept once the request is past the
// checks (see MoveFormType).
constexpr char FORM_TYPE_HEADER[] = "X-Kormelt-Form-Type";
constexpr char JSON_TYPE[] = "application/json";

void Error(httplib::Response &res, int status, const std::string &sentence) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(nlohmann::json{{"error", sentence}}.dump(), JSON_TYPE);
}

void Json(httplib::Response &res, int status, const nlohmann::json &body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(), JSON_TYPE);
}

bool PageHas(const std::string &path) { return FindPageFile(path) != nullptr; }

RequestFacts FactsOf(const httplib::Request &req, bool *bad_length) {
    RequestFacts facts;
    facts.method = req.method;
    facts.path = req.path;
    facts.host = req.get_header_value("Host");
    facts.has_origin = req.has_header("Origin");
    facts.origin = req.get_header_value("Origin");
    facts.cookie = req.get_header_value("Cookie");
    facts.token_header = req.get_header_value(TOKEN_HEADER);
    facts.has_token_param = req.has_param("token");
    facts.has_transfer_encoding = req.has_header("Transfer-Encoding");
    *bad_length = false;
    if (req.has_header("Content-Length")) {
        const std::string length = req.get_header_value("Content-Length");
        constexpr size_t LENGTH_DIGITS_MAX = 18;  // far beyond any bound, and within uint64_t
        if (length.empty() || length.size() > LENGTH_DIGITS_MAX ||
            length.find_first_not_of("0123456789") != std::string::npos || req.get_header_value_count("Content-Length") > 1) {
            *bad_length = true;
        } else {
            facts.content_length = std::stoull(length);
        }
    }
    return facts;
}

// The library reads a multipart body through its own form parser whenever
// the request says multipart/form-data, whatever receiver the handler
// gives, and that parser keeps no bound of ours. So the body of an upload
// is handed over as plain bytes, which ReadBody bounds, and taken apart by
// FindUploadedFile; the form's type travels in a header of our own, which
// replaces any the client sent.
void MoveFormType(const httplib::Request &req) {
    // The request is the library's own object, not a constant; only its
    // view through the routing callback is.
    httplib::Request &request = const_cast<httplib::Request &>(req);
    const std::string type = request.get_header_value("Content-Type");
    request.headers.erase(FORM_TYPE_HEADER);
    request.headers.erase("Content-Type");
    request.headers.emplace(FORM_TYPE_HEADER, type);
    request.headers.emplace("Content-Type", "application/octet-stream");
}

// The body within max bytes: false with 413 beyond it (a body without a
// length is cut there) or 400 when it ends early or its chunks are broken.
// A request with neither a length nor chunks has no body.
bool ReadBody(const httplib::Request &req, const httplib::ContentReader &reader, size_t max, std::string *body,
              httplib::Response &res) {
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
        return true;
    }
    bool over = false;
    const bool read = reader([&](const char *data, size_t length) {
        if (body->size() + length > max) {
            over = true;
            return false;
        }
        body->append(data, length);
        return true;
    });
    if (over) {
        Error(res, 413, "The request's body is larger than this server takes here.");
        return false;
    }
    if (!read) {
        Error(res, 400, "The request's body could not be read whole.");
        return false;
    }
    return true;
}

// A name safe to use in the private folder: letters, digits, '.', '-' and
// '_' of the browser's name, which keeps its extension for the format.
std::string UploadName(const std::string &filename) {
    std::string name;
    for (char c : filename) {
        if ((std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_') &&
            name.size() < UPLOAD_NAME_MAX_CHARS) {
            name.push_back(c);
        }
    }
    return name.empty() || name.front() == '.' ? UPLOAD_NAME_DEFAULT + name : name;
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class Server {
public:
    Server(UiStation &station, ServerIdentity identity, const PrivateDir &uploads, std::string records_path,
           bool locked)
        : station_(station), identity_(std::move(identity)), uploads_(uploads),
          records_path_(std::move(records_path)), locked_(locked) {
        http_.new_task_queue = [] { return new httplib::ThreadPool(REQUEST_THREADS); };
        http_.set_read_timeout(READ_TIMEOUT_S);
        http_.set_write_timeout(WRITE_TIMEOUT_S);
        http_.set_keep_alive_timeout(IDLE_CONNECTION_S);
        // One request per connection: a body left unread by a refusal
        // cannot be taken for the next request.
        http_.set_keep_alive_max_count(1);
        http_.set_payload_max_length(UPLOAD_MAX_BYTES);
        http_.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                                   {"X-Content-Type-Options", "nosniff"},
                                   {"Referrer-Policy", "no-referrer"}});
        http_.set_expect_100_continue_handler([this](const httplib::Request &req, httplib::Response &res) {
            return Refused(req, res) ? res.status : 100;
        });
        http_.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
            if (Refused(req, res)) {
                return httplib::Server::HandlerResponse::Handled;
            }
            if (req.path == "/api/image") {
                MoveFormType(req);
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http_.set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (res.body.empty()) {
                Error(res, res.status, "The request was refused (HTTP " + std::to_string(res.status) + ").");
            }
        });
        http_.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
            Error(res, 500, "The server failed on this request; the station goes on.");
        });
        Routes();
    }

    // The port it listens on (the one the system picked for port 0), or -1.
    int Bind(std::string *error) {
        const ListenAddress &address = identity_.address;
        const int port = address.port == 0 ? http_.bind_to_any_port(address.host)
                                           : (http_.bind_to_port(address.host, address.port) ? address.port : -1);
        if (port < 0) {
            *error = "cannot listen on " + HostPort(address, address.port) + ": the port is taken or the address is "
                     "not this machine's";
        }
        identity_.port = port;
        return port;
    }

    void Serve() {
        http_.listen_after_bind();
        served_ = true;
    }
    // A stop that came before the server was listening would go unseen
    // and leave it listening for good: it waits for the listening first.
    void Stop() {
        while (!http_.is_running() && !served_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(STOP_POLL_MS));
        }
        http_.stop();
    }

private:
    bool Refused(const httplib::Request &req, httplib::Response &res) const {
        bool bad_length = false;
        const RequestFacts facts = FactsOf(req, &bad_length);
        Admission admission = Admit(facts, identity_, PageHas);
        if (admission.status == 0 && bad_length) {
            admission.status = 400;
            admission.error = "The request's Content-Length is no length.";
        }
        if (admission.status == 0) {
            return false;
        }
        Error(res, admission.status, admission.error);
        return true;
    }

    void Routes() {
        http_.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
            res.status = 200;
            res.set_header("Cache-Control", "no-store");
            res.set_content(station_.State(), JSON_TYPE);
        });
        http_.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) { Events(res); });
        http_.Get("/api/records", [this](const httplib::Request &req, httplib::Response &res) { Records(req, res, false); });
        http_.Get("/api/records.csv", [this](const httplib::Request &req, httplib::Response &res) { Records(req, res, true); });
        http_.Post("/api/image", [this](const httplib::Request &req, httplib::Response &res,
                                        const httplib::ContentReader &reader) { Upload(req, res, reader); });
        http_.Post("/api/flash", [this](const httplib::Request &req, httplib::Response &res,
                                        const httplib::ContentReader &reader) {
            nlohmann::json body;
            if (!JsonBody(req, reader, res, &body)) {
                return;
            }
            std::string error;
            const int started = station_.Flash(&error);
            if (started < 0) {
                Error(res, 409, error);
            } else {
                Json(res, 202, {{"started", started}});
            }
        });
        http_.Post("/api/stop", [this](const httplib::Request &req, httplib::Response &res,
                                       const httplib::ContentReader &reader) {
            nlohmann::json body;
            if (JsonBody(req, reader, res, &body)) {
                station_.Stop();
                Json(res, 202, nlohmann::json::object());
            }
        });
        http_.Post("/api/auto", [this](const httplib::Request &req, httplib::Response &res,
                                       const httplib::ContentReader &reader) {
            nlohmann::json body;
            if (!JsonBody(req, reader, res, &body)) {
                return;
            }
            if (!body.is_object() || !body.contains("enabled") || !body["enabled"].is_boolean()) {
                Error(res, 400, "Expected {\"enabled\": true} or {\"enabled\": false}.");
                return;
            }
            Json(res, 200, {{"auto", station_.SetAuto(body["enabled"].get<bool>())}});
        });
        http_.Get("/", [this](const httplib::Request &req, httplib::Response &res) {
            if (!req.has_param("token")) {
                Page(req, res);
            } else if (!SameSecret(req.get_param_value("token"), identity_.token)) {
                Error(res, 403, "This token is not the one kormelt ui printed.");
            } else {
                res.status = 303;
                res.set_header("Location", "/");
                res.set_header("Cache-Control", "no-store");
                res.set_header("Set-Cookie",
                               std::string(SESSION_COOKIE) + "=" + identity_.token + "; HttpOnly; SameSite=Strict; Path=/");
            }
        });
        http_.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { Page(req, res); });
    }

    static void Page(const httplib::Request &req, httplib::Response &res) {
        const PageFile *file = FindPageFile(req.path);
        if (file == nullptr) {
            Error(res, 404, "There is nothing at this address.");
            return;
        }
        res.status = 200;
        res.set_header("Cache-Control", "no-cache");
        res.set_content(reinterpret_cast<const char *>(file->data), file->size, file->mime);
    }

    // An empty body is {}; anything else must be JSON.
    static bool JsonBody(const httplib::Request &req, const httplib::ContentReader &reader, httplib::Response &res,
                         nlohmann::json *body) {
        std::string text;
        if (!ReadBody(req, reader, JSON_BODY_MAX_BYTES, &text, res)) {
            return false;
        }
        *body = text.empty() ? nlohmann::json::object() : nlohmann::json::parse(text, nullptr, false);
        if (body->is_discarded()) {
            Error(res, 400, "The request's body is no JSON.");
            return false;
        }
        return true;
    }

    void Upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
        if (locked_) {
            Error(res, 409, "The image is locked: kormelt ui was started with --locked and this image.");
            return;
        }
        std::string body;
        if (!ReadBody(req, reader, UPLOAD_MAX_BYTES, &body, res)) {
            return;
        }
        UploadedFile file;
        std::string error;
        const std::string boundary = MultipartBoundary(req.get_header_value(FORM_TYPE_HEADER));
        if (boundary.empty()) {
            Error(res, 400, "An image is uploaded as multipart/form-data with its boundary.");
            return;
        }
        if (!FindUploadedFile(body, boundary, UPLOAD_FIELD, &file, &error)) {
            Error(res, 400, error);
            return;
        }
        body.clear();
        // One upload at a time: each is checked whole before the next, and
        // the last one checked is the image.
        std::lock_guard<std::mutex> lock(upload_mutex_);
        const std::string name = UploadName(file.filename);
        const std::string path = uploads_.path() + "/" + name;
        if (!uploads_.Write(name, file.content, &error)) {
            Error(res, 500, error);
            return;
        }
        std::string message;
        int exit_code = 0;
        const std::shared_ptr<UiImage> image = LoadUiImage(path, file.filename.empty() ? name : file.filename, &message, &exit_code);
        uploads_.Remove(name);
        if (image == nullptr) {
            // The sentence names the file as the technician chose it.
            message = Replace(message, uploads_.path() + "/", "");
            station_.SetImage(nullptr, message);
            Error(res, exit_code == tool::EXIT_SYSTEM ? 500 : 422, message);
            return;
        }
        station_.SetImage(image, "");
        Json(res, 200, {{"image", ImageJson(image->summary)}});
    }

    void Records(const httplib::Request &req, httplib::Response &res, bool csv) const {
        records::RecordFilter filter;
        filter.serial = req.get_param_value("serial");
        filter.outcome = req.get_param_value("outcome");
        if (!filter.outcome.empty() && filter.outcome != "ok" && filter.outcome != "failed" &&
            filter.outcome != "cancelled") {
            Error(res, 400, "outcome is ok, failed or cancelled.");
            return;
        }
        size_t limit = RECORDS_LIMIT_DEFAULT;
        if (req.has_param("limit")) {
            const std::string text = req.get_param_value("limit");
            if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(text) == 0 || std::stoul(text) > RECORDS_LIMIT_MAX) {
                Error(res, 400, "limit is a number from 1 to " + std::to_string(RECORDS_LIMIT_MAX) + ".");
                return;
            }
            limit = std::stoul(text);
        }
        std::string error;
        std::vector<records::UpdateRecord> rows;
        // A connection of its own for each reader: the station's writes go
        // on meanwhile (write-ahead log).
        const std::unique_ptr<records::RecordStore> store =
            records::RecordStore::Open(records_path_, records::OpenMode::ReadExisting, &error);
        if (store == nullptr || !store->Query(filter, &rows, &error)) {
            Error(res, 500, "The records cannot be read: " + error + ".");
            return;
        }
        if (rows.size() > limit) {
            rows.resize(limit);
        }
        res.set_header("Cache-Control", "no-store");
        if (csv) {
            res.status = 200;
            res.set_header("Content-Disposition", "attachment; filename=\"kormelt-records.csv\"");
            res.set_content(records::RecordsCsv(rows), "text/csv; charset=utf-8");
            return;
        }
        nlohmann::json list = nlohmann::json::array();
        const std::string lines = records::RecordsJson(rows);
        size_t start = 0;
        for (size_t end = lines.find('\n'); end != std::string::npos; start = end + 1, end = lines.find('\n', start)) {
            list.push_back(nlohmann::json::parse(lines.substr(start, end - start)));
        }
        Json(res, 200, {{"records", list}});
    }

    void Events(httplib::Response &res) {
        if (streams_.fetch_add(1) >= EVENT_STREAMS_MAX) {
            streams_.fetch_sub(1);
            Error(res, 503, "Too many pages are open on this station; close one and reload.");
            return;
        }
        station_.ClientsChanged(+1);
        struct Stream {
            bool first = true;
            uint64_t version = 0;
        };
        auto stream = std::make_shared<Stream>();
        res.status = 200;
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](size_t, httplib::DataSink &sink) {
                if (!stream->first && !station_.WaitNewer(stream->version, KEEP_ALIVE_INTERVAL)) {
                    if (station_.ended()) {
                        sink.done();
                        return true;
                    }
                    static const std::string KEEP_ALIVE = ": keep-alive\n\n";
                    return sink.write(KEEP_ALIVE.data(), KEEP_ALIVE.size());
                }
                stream->first = false;
                const std::string event = "event: state\ndata: " + station_.Published(&stream->version) + "\n\n";
                return sink.write(event.data(), event.size());
            },
            [this](bool) {
                streams_.fetch_sub(1);
                station_.ClientsChanged(-1);
            });
    }

    UiStation &station_;
    ServerIdentity identity_;
    const PrivateDir &uploads_;
    const std::string records_path_;
    const bool locked_;
    std::mutex upload_mutex_;
    std::atomic<size_t> streams_{0};
    std::atomic<bool> served_{false};
    httplib::Server http_;
};

}  // namespace

int RunUi(const UiOptions &options) {
    if (!tool::PrepareUpdateRun()) {
        return tool::EXIT_SYSTEM;
    }
    std::string error;
    ServerIdentity identity;
    if (!ParseListen(options.listen, &identity.address, &error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_USAGE;
    }
    if (options.locked && options.image.empty()) {
        std::fprintf(stderr, "kormelt: --locked needs --image: it fixes that image for the page\n");
        return tool::EXIT_USAGE;
    }
    const std::string records_path = records::RecordsPath(options.records, &error);
    if (records_path.empty()) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_USAGE;
    }
    const std::unique_ptr<records::RecordStore> store =
        records::RecordStore::Open(records_path, records::OpenMode::Write, &error);
    std::string program;
    if (store == nullptr || !station::OwnProgram(&program, &error)) {
        std::fprintf(stderr, "kormelt: %s. No device was touched.\n", error.c_str());
        return tool::EXIT_SYSTEM;
    }
    std::shared_ptr<UiImage> image;
    if (!options.image.empty()) {
        int exit_code = 0;
        const size_t slash = options.image.find_last_of('/');
        image = LoadUiImage(options.image, slash == std::string::npos ? options.image : options.image.substr(slash + 1),
                            &error, &exit_code);
        if (image == nullptr) {
            std::fprintf(stderr, "kormelt: %s\n", error.c_str());
            return exit_code;
        }
    }
    PrivateDir uploads;
    if (!MakeToken(&identity.token, &error) || !uploads.Make(&error)) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_SYSTEM;
    }

    UiStation station(*store, program, station::PortChoice{options.ports, options.match}, options.jobs,
                      options.locked);
    station.Begin(image);
    Server server(station, identity, uploads, records_path, options.locked);
    const int port = server.Bind(&error);
    if (port < 0) {
        std::fprintf(stderr, "kormelt: %s\n", error.c_str());
        return tool::EXIT_SYSTEM;
    }
    if (!identity.address.loopback) {
        std::fprintf(stderr, "kormelt: warning: listening on %s, which other machines can reach; the token is all "
                             "that keeps them out, and it travels unencrypted\n",
                     HostPort(identity.address, port).c_str());
    }
    const ListenAddress &address = identity.address;
    const bool any = address.host == "0.0.0.0" || address.host == "::";
    tool::PrintOut("http://" + (any ? std::string("127.0.0.1:") + std::to_string(port) : HostPort(address, port)) +
                   "/?token=" + identity.token + "\n");

    std::thread serving([&server] { server.Serve(); });
    const int exit_code = station.Run();
    server.Stop();
    serving.join();
    return exit_code;
}

}  // namespace kormelt::ui
