#include "tools/sim/sim_cli.h"

#include <cstdint>
#include <string>

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

void AddRequestNumber(CLI::App &app, const std::string &name, uint32_t &target, const std::string &text) {
    app.add_option(name, target, text)->type_name("K");
}

}  // namespace

void AddSimulatorOptions(CLI::App &app, Options &options) {
    app.add_option("--link", options.link_path,
                   "Also make a symlink at PATH to the slave (replacing what is there); removed at exit")
        ->type_name("PATH");
    app.add_option("--dump", options.dump_path,
                   "On SIGUSR1 and at exit, write the programmed bytes from address 0 to the end of the "
                   "highest programmed byte to FILE; holes hold 0xFF")
        ->type_name("FILE");
    app.add_option("--log", options.log_path, "Log every request received to FILE, one JSON object a line")
        ->type_name("FILE");
    app.add_option("--id", options.identity.text, "Identity text in the identify reply (default " + std::string(DEVICE_ID) + ")")
        ->type_name("TEXT");
    app.add_option_function<size_t>(
           "--id-length", [&options](const size_t &length) { options.identity.length = length; },
           "Identify reply payload length: version and text cut, or padded with 00 (default " +
               std::to_string(IDENTIFY_REPLY_BYTES) + ")")
        ->type_name("N")
        ->check(CLI::Range(size_t{0}, FRAME_MAX_PAYLOAD));
    AddRequestNumber(app, "--silent-from", options.faults.silent_from,
                     "From request K on, requests are logged but neither carried out nor answered");
    AddRequestNumber(app, "--bad-crc-at", options.faults.bad_crc_at, "Answer request K with a wrong CRC");
    app.add_flag("--noise", options.faults.noise, "Send a few non-flag bytes before every reply frame");
    app.add_flag("--short-frames", options.faults.short_frames,
                 "Send a 1-byte and a 2-byte frame before every reply frame");
    AddRequestNumber(app, "--oversize-at", options.faults.oversize_at,
                     "Answer request K with a good frame of " + std::to_string(OVERSIZE_REPLY_BYTES) +
                         " payload bytes");
    AddRequestNumber(app, "--babble-at", options.faults.babble_at,
                     "Answer request K with a flag and then 0x55 bytes without end, until the next "
                     "request arrives");
    app.add_option("--byte-pause-ms", options.byte_pause_ms, "Pause MS milliseconds between reply bytes")
        ->type_name("MS");
    AddRequestNumber(app, "--hangup-at", options.faults.hangup_at,
                     "Close the pseudo-terminal and remove the link when request K arrives, without a "
                     "reply; the simulator then idles until it is stopped");
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
    app.footer(NUMBERING_NOTE);
}

}  // namespace kormelt::sim
