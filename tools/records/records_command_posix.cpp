#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kormelt/console.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/live_line.h"
#include "tools/kormelt/output.h"
#include "tools/records/record_time.h"
#include "tools/records/records.h"
#include "tools/records/records_command.h"
#include "tools/records/records_option.h"
#include "tools/records/records_output.h"

namespace kormelt::records {
namespace {

constexpr size_t SHA256_HEX_DIGITS = 64;

constexpr char RECORDS_HELP[] =
    "Every update by 'kormelt station', and by 'kormelt flash --records FILE', is a row of the records,\n"
    "inserted when the update starts and completed when it ends. The table shows the newest first; --json\n"
    "and --csv give every column: id, started, finished (UTC, ISO 8601 with milliseconds), host,\n"
    "station_pid, station_instance, tool_version, port, location, usb_vid, usb_pid, usb_serial,\n"
    "manufacturer, product, image, image_size, image_crc, image_sha256, outcome, exit_code, failed_phase,\n"
    "message, duration_ms.\n"
    "\n"
    "Outcomes: ok, failed, cancelled; a row still open is running while the station that wrote it is\n"
    "alive, interrupted once it is not (killed, or the power went), and unfinished when it was written on\n"
    "another host, which this one cannot ask.";

int Refuse(const std::string &message, int exit_code) {
    std::fprintf(stderr, "kormelt: %s\n", message.c_str());
    return exit_code;
}

struct RecordsSettings {
    std::string records;
    bool json = false;
    bool csv = false;
    std::string since;
    std::string serial;
    std::string outcome;
    std::string image;
};

CLI::App *AddRecordsOptions(CLI::App &app, RecordsSettings &s) {
    CLI::App *command = tool::AddCommand(app, "records", "Show the updates recorded, newest first", RECORDS_HELP);
    AddRecordsOption(*command, &s.records, "The records file");
    CLI::Option *json = command->add_flag("--json", s.json, "Every column, one JSON object per line");
    command->add_flag("--csv", s.csv, "Every column as CSV with a header line, for spreadsheets")->excludes(json);
    command->add_option("--since", s.since, "Only updates started at or after this UTC time (2025-03-14T09:00)")
        ->type_name("TIME");
    command->add_option("--serial", s.serial, "Only updates of the device with this USB serial number")
        ->type_name("S");
    command->add_option("--outcome", s.outcome, "Only updates with this outcome")
        ->check(CLI::IsMember({"ok", "failed", "cancelled", "interrupted", "running", "unfinished"}))
        ->type_name("O");
    command->add_option("--image", s.image, "Only updates of the image whose SHA-256 starts with these hex digits")
        ->type_name("SHA256-PREFIX");
    return command;
}

int RunRecords(const CLI::App &command, const RecordsSettings &s) {
    std::string error;
    RecordFilter filter;
    if (!s.since.empty() && !ParseSince(s.since, &filter.since, &error)) {
        return Refuse(error, tool::EXIT_USAGE);
    }
    if (command.count("--image") > 0) {
        bool hex = !s.image.empty() && s.image.size() <= SHA256_HEX_DIGITS;
        for (const char c : s.image) {
            hex = hex && std::isxdigit(static_cast<unsigned char>(c));
            filter.sha256_prefix += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (!hex) {
            return Refuse("--image takes the first hex digits of an image's SHA-256 (1 to 64 of 0-9 and a-f), not \"" +
                              s.image + "\"",
                          tool::EXIT_USAGE);
        }
    }
    filter.serial = s.serial;
    filter.outcome = s.outcome;
    const std::string path = RecordsPath(s.records, &error);
    if (path.empty()) {
        return Refuse(error, tool::EXIT_USAGE);
    }
    const std::unique_ptr<RecordStore> store = RecordStore::Open(path, OpenMode::ReadExisting, &error);
    std::vector<UpdateRecord> rows;
    if (store == nullptr || !store->Query(filter, &rows, &error)) {
        return Refuse(error, tool::EXIT_IMAGE);
    }
    if (s.json) {
        tool::PrintOut(RecordsJson(rows));
    } else if (s.csv) {
        tool::PrintOut(RecordsCsv(rows));
    } else if (rows.empty()) {
        tool::PrintOut("no updates in " + path + (filter.since.empty() && filter.serial.empty() &&
                                                          filter.outcome.empty() && filter.sha256_prefix.empty()
                                                      ? ""
                                                      : " match") +
                       "\n");
    } else {
        tool::PrintOut(RecordsTable(rows, tool::StdoutIsTerminal() ? tool::LiveLineWidth(tool::TerminalColumns()) : 0));
    }
    return tool::EXIT_OK;
}

}  // namespace

tool::Subcommand AddRecordsCommand(CLI::App &app) { return tool::MakeSubcommand(app, AddRecordsOptions, RunRecords); }

}  // namespace kormelt::records
