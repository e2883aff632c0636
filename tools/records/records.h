// The records of updates: one row per update in an SQLite file, inserted
// when the update starts and completed when it ends, so that an update cut
// off by a kill or a power cut leaves a row that says so instead of none.
// Several stations and readers may share one file (write-ahead log, busy
// timeout); the schema carries its version and older files are brought up
// to date when opened. SQLite is there on Linux only; elsewhere opening
// fails with a reason and RecordsAvailable() is false.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/kormelt/port_identity.h"

namespace kormelt::records {

// The schema's version in PRAGMA user_version: 1 the table, 2 the indexes
// of the filters of `kormelt records`.
constexpr int RECORDS_SCHEMA_VERSION = 2;
constexpr int RECORDS_BUSY_TIMEOUT_MS = 5000;  // how long a write waits for another writer of the file

bool RecordsAvailable();

// $XDG_DATA_HOME/kormelt/records.sqlite3, else ~/.local/share/...; empty
// with a reason when neither is set.
std::string DefaultRecordsPath(std::string *error);

// What is known as an update starts.
struct UpdateStart {
    std::string port;  // the device's path
    tool::PortIdentity identity;
    std::string image;  // the image file; recorded as an absolute path
    uint64_t image_bytes = 0;
    uint16_t image_crc = 0;  // the trailer's CRC
    std::string image_sha256;
};

enum class Outcome { Ok, Failed, Cancelled };

const char *OutcomeWord(Outcome outcome);

struct UpdateEnd {
    Outcome outcome = Outcome::Failed;
    int exit_code = 0;
    std::string failed_phase;  // empty when no phase failed
    std::string message;
};

// A row as `records` reads it. The outcome of a row still open is what
// became of its writer: "running" while it is alive, "interrupted" once it
// is not, "unfinished" when it ran on another host.
struct UpdateRecord {
    int64_t id = 0;
    std::string started;
    std::string finished;  // empty while open
    std::string host;
    int64_t station_pid = 0;
    std::string station_instance;
    std::string tool_version;
    std::string port;
    tool::PortIdentity identity;
    std::string image;
    int64_t image_size = 0;
    std::string image_crc;
    std::string image_sha256;
    std::string outcome;
    std::optional<int64_t> exit_code;
    std::string failed_phase;
    std::string message;
    std::optional<int64_t> duration_ms;
};

// Every column of a row in the schema's order, with the member that holds
// it: X(column, member). The query reads a row in this order, and --json and
// --csv give the columns so.
#define KORMELT_UPDATE_COLUMNS(X)           \
    X(id, id)                               \
    X(started, started)                     \
    X(finished, finished)                   \
    X(host, host)                           \
    X(station_pid, station_pid)             \
    X(station_instance, station_instance)   \
    X(tool_version, tool_version)           \
    X(port, port)                           \
    X(location, identity.location)          \
    X(usb_vid, identity.vendor_id)          \
    X(usb_pid, identity.product_id)         \
    X(usb_serial, identity.serial)          \
    X(manufacturer, identity.manufacturer)  \
    X(product, identity.product)            \
    X(image, image)                         \
    X(image_size, image_size)               \
    X(image_crc, image_crc)                 \
    X(image_sha256, image_sha256)           \
    X(outcome, outcome)                     \
    X(exit_code, exit_code)                 \
    X(failed_phase, failed_phase)           \
    X(message, message)                     \
    X(duration_ms, duration_ms)

// The filters of `records`; empty is none. since is the full UTC form
// (record_time.h), outcome one of the words above or of OutcomeWord.
struct RecordFilter {
    std::string since;
    std::string serial;
    std::string outcome;
    std::string sha256_prefix;  // lowercase hex
};

enum class OpenMode {
    Write,       // the file and its missing directories are created
    ReadExisting  // for reading: a missing file is an error
};

class RecordStore {
public:
    // Opens the file in WAL mode with the busy timeout and brings its schema
    // up to date; nullptr with a reason naming the file when it cannot be
    // opened, is no records file, is newer than this tool knows, or (Write)
    // cannot be written.
    static std::unique_ptr<RecordStore> Open(const std::string &path, OpenMode mode, std::string *error);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Each is one short transaction; false with a reason (a full disk says so).
    bool Start(const UpdateStart &start, int64_t *id, std::string *error);
    bool Complete(int64_t id, const UpdateEnd &end, std::string *error);

    // The rows that pass filter, newest first.
    bool Query(const RecordFilter &filter, std::vector<UpdateRecord> *rows, std::string *error);

    int schema_version() const;
    const std::string &path() const;

private:
    struct Impl;
    explicit RecordStore(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kormelt::records
