#include "tools/sim/sim_cli.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame_codec.h"
#include "protocol/protocol.h"

namespace kormelt::sim {

namespace {

constexpr const char *NUMBERING_NOTE =
    "Requests are numbered from 1 in the order they arrive, counting every frame received:\n"
    "good requests of any kind (identify included) and frames that do not decode alike.\n"
    "Request K is line K of the log. K = 0 switches an option off.\n"
    "\n"
    "The log has one JSON object a line: {\"n\":K,\"kind\":KIND,\"bytes\":HEX}, with \"block\" for\n"
    "erase and \"address\" for program as numbers. KIND is identify, restart, erase, program or\n"
    "unknown (a good frame of no known request and length), with the payload in hex; or bad-crc,\n"
    "short (1 or 2 bytes) or overlong, with every decoded byte.\n"
    "\n"
    "Replies: identify gets 01 00 and the identity text; erase, program and restart get the\n"
    "command code and 00, an unknown request its first byte and 01. Frames that do not decode\n"
    "get no reply.\n"
    "\n"
    "SIGUSR1 writes the dump; SIGINT and SIGTERM write it, remove the link and end.";

// Every way the device can be told to misbehave, declared once: the
// options of kormelt-sim and `kormelt sim`, their --help, and the Python
// package's Faults, which the wheel build makes from --list-faults, all come
// from this list. X(name, option, kind, field of Options, help); name is the
// Python keyword.
#define KORMELT_SIM_BEHAVIOUR(X)                                                                           \
    X(silent_from, "--silent-from", Request, faults.silent_from,                                           \
      std::string("From request K on, requests are logged but neither carried out nor answered"))          \
    X(bad_crc_at, "--bad-crc-at", Request, faults.bad_crc_at, std::string("Answer request K with a wrong CRC")) \
    X(noise, "--noise", Flag, faults.noise, std::string("Send a few non-flag bytes before every reply frame")) \
    X(short_frames, "--short-frames", Flag, faults.short_frames,                                           \
      std::string("Send a 1-byte and a 2-byte frame before every reply frame"))                            \
    X(oversize_at, "--oversize-at", Request, faults.oversize_at,                                           \
      "Answer request K with a good frame of " + std::to_string(OVERSIZE_REPLY_BYTES) + " payload bytes")  \
    X(babble_at, "--babble-at", Request, faults.babble_at,                                                 \
      std::string("Answer request K with a flag and then 0x55 bytes without end, until the next request "  \
                  "arrives"))                                                                              \
    X(byte_pause_ms, "--byte-pause-ms", Milliseconds, byte_pause_ms,                                       \
      std::string("Pause MS milliseconds between reply bytes"))                                            \
    X(latency_ms, "--latency-ms", Milliseconds, latency_ms,                                                \
      std::string("Hold each reply until MS milliseconds after its request's last byte arrived, as a USB "  \
                  "serial adapter's latency timer does (16 ms by default on common ones)"))                \
    X(hangup_at, "--hangup-at", Request, faults.hangup_at,                                                 \
      std::string("Close the pseudo-terminal and remove the link when request K arrives, without a "       \
                  "reply; the simulator then idles until it is stopped"))                                  \
    X(id_text, "--id", Text, identity.text,                                                                \
      "Identity text in the identify reply (default " + std::string(DEVICE_ID) + ")")                      \
    X(id_length, "--id-length", Length, identity.length,                                                   \
      "Identify reply payload length: version and text cut, or padded with 00 (default " +                 \
          std::to_string(IDENTIFY_REPLY_BYTES) + ")")

struct BehaviourOption {
    const char *name;
    const char *option;
    const char *kind;  // request, flag, milliseconds, text or length
    std::string help;
};

// The table's kinds name its Add functions; the JSON has them in lower case.
std::string KindName(const char *kind) {
    std::string name = kind;
    name[0] = static_cast<char>(name[0] - 'A' + 'a');
    return name;
}

std::vector<BehaviourOption> BehaviourOptions() {
    return {
#define KORMELT_SIM_ROW(name, option, kind, field, help) {#name, option, #kind, help},
        KORMELT_SIM_BEHAVIOUR(KORMELT_SIM_ROW)
#undef KORMELT_SIM_ROW
    };
}

void AddRequest(CLI::App &app, const char *option, uint32_t &target, const std::string &help) {
    app.add_option(option, target, help)->type_name("K");
}

void AddFlag(CLI::App &app, const char *option, bool &target, const std::string &help) {
    app.add_flag(option, target, help);
}

void AddMilliseconds(CLI::App &app, const char *option, uint32_t &target, const std::string &help) {
    app.add_option(option, target, help)->type_name("MS");
}

void AddText(CLI::App &app, const char *option, std::string &target, const std::string &help) {
    app.add_option(option, target, help)->type_name("TEXT");
}

void AddLength(CLI::App &app, const char *option, std::optional<size_t> &target, const std::string &help) {
    app.add_option_function<size_t>(
           option, [&target](const size_t &length) { target = length; }, help)
        ->type_name("N")
        ->check(CLI::Range(size_t{0}, FRAME_MAX_PAYLOAD));
}

std::string JsonText(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// The table as JSON, one object per option, for the Python package's build.
std::string BehaviourJson() {
    std::string json = "[";
    for (const BehaviourOption &o : BehaviourOptions()) {
        json += std::string(json.size() > 1 ? ",\n " : "\n ") + "{\"name\": " + JsonText(o.name) +
                ", \"option\": " + JsonText(o.option) + ", \"kind\": " + JsonText(KindName(o.kind)) +
                ", \"help\": " + JsonText(o.help) + "}";
    }
    return json + "\n]\n";
}

}  // namespace

void AddSimulatorOptions(CLI::App &app, Options &options) {
    app.add_option("--link", options.link_path,
                   "Also make a symlink at PATH to the slave (replacing what is there); removed at exit")
        ->type_name("PATH");
    app.add_option("--tcp", options.tcp_address,
                   "Serve on TCP at HOST:PORT (numeric, [IPv6] in brackets; port 0 takes a free one) instead of "
                   "on a pseudo-terminal, one host at a time, as a serial server passing the bytes as they are "
                   "does; the first line of stdout is then HOST:PORT")
        ->type_name("HOST:PORT")
        ->excludes("--link");
    app.add_option("--dump", options.dump_path,
                   "On SIGUSR1 and at exit, write the programmed bytes from address 0 to the end of the "
                   "highest programmed byte to FILE; holes hold 0xFF")
        ->type_name("FILE");
    app.add_option("--log", options.log_path, "Log every request received to FILE, one JSON object a line")
        ->type_name("FILE");
#define KORMELT_SIM_ADD(name, option, kind, field, help) Add##kind(app, option, options.field, help);
    KORMELT_SIM_BEHAVIOUR(KORMELT_SIM_ADD)
#undef KORMELT_SIM_ADD
    app.add_flag("--paced", options.paced,
                 "Line pacing: each byte takes its time at " + std::to_string(LINE_BAUD_RATE) + " baud 8N1 (" +
                     std::to_string(LINE_BYTES_PER_SECOND) +
                     " bytes/s) both ways; a request is acted on when its last byte is through");
    app.add_flag("--spin", options.spin,
                 "Never sleep between looks at the line, so that requests and paced replies are served "
                 "on time to the microsecond (uses a whole processor; for benchmarks)");
    app.add_flag("--quit-after-restart", options.quit_after_restart,
                 "End once the reply to a restart request has been read (or after 1 s)");
    app.add_flag("--verbose", options.verbose, "Report requests and replies on stderr");
    app.add_flag_callback(
        "--list-faults",
        [] {
            std::fputs(BehaviourJson().c_str(), stdout);
            throw CLI::Success();
        },
        "Print the misbehaviour options above as JSON (name, option, kind, help) and exit");
    app.footer(NUMBERING_NOTE);
}

}  // namespace kormelt::sim
