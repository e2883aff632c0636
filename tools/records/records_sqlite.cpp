#include <limits.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "tools/common/file_kind_posix.h"
#include "tools/common/name_table.h"
#include "tools/kormelt/image.h"
#include "tools/records/record_time.h"
#include "tools/records/records.h"
#include "tools/records/writer_process.h"

#ifndef KORMELT_VERSION
#error "KORMELT_VERSION is not defined: the build passes the project's version"
#endif

namespace kormelt::records {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char RECORDS_DIR[] = "kormelt";
constexpr char RECORDS_FILE[] = "records.sqlite3";
constexpr char XDG_DATA_DEFAULT[] = "/.local/share";  // under $HOME, as the XDG base directories say
constexpr mode_t RECORDS_DIR_MODE = 0700;              // what the XDG base directories ask of a directory made for them

// The schema's history, oldest first: a file at version k gets the steps
// after k, each in a transaction of its own.
struct Migration {
    int version;
    const char *sql;
};
constexpr Migration MIGRATIONS[] = {
    {1,
     "CREATE TABLE updates ("
     " id INTEGER PRIMARY KEY,"
     " started TEXT NOT NULL,"
     " finished TEXT,"
     " host TEXT NOT NULL,"
     " station_pid INTEGER NOT NULL,"
     " station_instance TEXT NOT NULL,"
     " tool_version TEXT NOT NULL,"
     " port TEXT,"
     " location TEXT,"
     " usb_vid TEXT,"
     " usb_pid TEXT,"
     " usb_serial TEXT,"
     " manufacturer TEXT,"
     " product TEXT,"
     " image TEXT NOT NULL,"
     " image_size INTEGER NOT NULL,"
     " image_crc TEXT NOT NULL,"
     " image_sha256 TEXT NOT NULL,"
     " outcome TEXT CHECK (outcome IN ('ok', 'failed', 'cancelled')),"
     " exit_code INTEGER,"
     " failed_phase TEXT,"
     " message TEXT,"
     " duration_ms INTEGER)"},
    {2,
     "CREATE INDEX updates_by_started ON updates (started);"
     "CREATE INDEX updates_by_serial ON updates (usb_serial);"
     "CREATE INDEX updates_by_image ON updates (image_sha256)"},
};
static_assert(sizeof MIGRATIONS / sizeof MIGRATIONS[0] == RECORDS_SCHEMA_VERSION, "one migration per version");

constexpr char INSERT_SQL[] =
    "INSERT INTO updates (started, host, station_pid, station_instance, tool_version, port, location, usb_vid,"
    " usb_pid, usb_serial, manufacturer, product, image, image_size, image_crc, image_sha256)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)";
constexpr char COMPLETE_SQL[] =
    "UPDATE updates SET finished = ?2, outcome = ?3, exit_code = ?4, failed_phase = ?5, message = ?6,"
    " duration_ms = ?7 WHERE id = ?1 AND outcome IS NULL";
// ?4 '' asks for the rows still open, whose outcome is decided afterwards.
#define KORMELT_UPDATE_COLUMN_NAME(column, member) ", " #column
constexpr char COLUMN_LIST[] = KORMELT_UPDATE_COLUMNS(KORMELT_UPDATE_COLUMN_NAME);
#undef KORMELT_UPDATE_COLUMN_NAME
constexpr size_t COLUMN_LIST_LEAD = 2;  // the ", " before the first column
constexpr char QUERY_FILTER_SQL[] =
    " FROM updates"
    " WHERE (?1 IS NULL OR started >= ?1) AND (?2 IS NULL OR usb_serial = ?2)"
    " AND (?3 IS NULL OR substr(image_sha256, 1, length(?3)) = ?3)"
    " AND (?4 IS NULL OR outcome = ?4 OR (?4 = '' AND outcome IS NULL))"
    " ORDER BY started DESC, id DESC";

std::string QuerySql() { return std::string("SELECT ") + (COLUMN_LIST + COLUMN_LIST_LEAD) + QUERY_FILTER_SQL; }

// A prepared statement, finalised with its owner.
class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(statement_); }  // returns the last step's error, already seen there
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool Prepare(sqlite3 *db, const char *sql) {
        return sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt *get() const { return statement_; }

    // Text, or NULL for an empty one: unknown parts of an identity are NULL.
    bool Text(int index, const std::string &text) {
        return text.empty() ? sqlite3_bind_null(statement_, index) == SQLITE_OK
                            : sqlite3_bind_text(statement_, index, text.c_str(), static_cast<int>(text.size()),
                                                SQLITE_TRANSIENT) == SQLITE_OK;
    }
    bool Integer(int index, int64_t value) { return sqlite3_bind_int64(statement_, index, value) == SQLITE_OK; }

    // Runs it to its end and makes it ready for the next use.
    int Run() {
        int rc = SQLITE_ROW;
        while (rc == SQLITE_ROW) {
            rc = sqlite3_step(statement_);
        }
        Reset();
        return rc;
    }
    void Reset() {
        sqlite3_reset(statement_);  // repeats the last step's result, already handled
        sqlite3_clear_bindings(statement_);  // always SQLITE_OK
    }

    std::string ColumnText(int column) const {
        const unsigned char *text = sqlite3_column_text(statement_, column);
        return text == nullptr ? "" : reinterpret_cast<const char *>(text);
    }
    std::optional<int64_t> ColumnInteger(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL) {
            return std::nullopt;
        }
        return sqlite3_column_int64(statement_, column);
    }
    // A column into the member of a row that holds it.
    void Read(int column, std::string *value) const { *value = ColumnText(column); }
    void Read(int column, int64_t *value) const { *value = ColumnInteger(column).value_or(0); }
    void Read(int column, std::optional<int64_t> *value) const { *value = ColumnInteger(column); }

private:
    sqlite3_stmt *statement_ = nullptr;
};

// Makes the missing directories of path's parent, as mkdir -p does.
bool MakeParents(const std::string &path, std::string *error) {
    const std::string parent = tool::ParentDirectory(path);
    struct stat info {};
    if (stat(parent.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            *error = parent + " is " + tool::PathKindText(tool::PathKindOf(info.st_mode)) + ", not a directory";
            return false;
        }
        return true;
    }
    if (parent != path && !MakeParents(parent, error)) {
        return false;
    }
    if (mkdir(parent.c_str(), RECORDS_DIR_MODE) != 0 && errno != EEXIST) {
        *error = "cannot create the directory " + parent + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The image as an absolute path, which still says which file it was when
// read from another directory; as named when it cannot be resolved.
std::string AbsoluteImagePath(const std::string &image) {
    char resolved[PATH_MAX];
    return realpath(image.c_str(), resolved) != nullptr ? resolved : image;
}

// The connection, closed when its owner goes.
struct Connection {
    sqlite3 *handle = nullptr;
    ~Connection() { sqlite3_close(handle); }  // SQLITE_OK: its statements are finalised by then
};

}  // namespace

struct RecordStore::Impl {
    Connection connection;  // first, so that it outlives the statements below
    std::string path;
    int version = 0;
    bool read_only = false;
    WriterProcess writer;
    Statement insert;
    Statement complete;
    Statement query;
    std::map<int64_t, SteadyClock::time_point> started;  // the rows this process opened, for their durations

    sqlite3 *db() const { return connection.handle; }

    std::string Failure(const std::string &what) const {
        return what + " the records file " + path + ": " + sqlite3_errmsg(db());
    }

    bool Exec(const char *sql) { return sqlite3_exec(db(), sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    // The first column of the first row sql gives, "" when it gives none.
    bool Value(const char *sql, std::string *value) {
        Statement statement;
        if (!statement.Prepare(db(), sql)) {
            return false;
        }
        const int rc = sqlite3_step(statement.get());
        *value = rc == SQLITE_ROW ? statement.ColumnText(0) : "";
        statement.Reset();
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    bool ReadVersion(std::string *error) {
        std::string text;
        if (!Value("PRAGMA user_version", &text)) {
            *error = Failure("cannot read");
            return false;
        }
        version = std::atoi(text.c_str());
        if (version > RECORDS_SCHEMA_VERSION) {
            *error = path + " holds records of schema version " + std::to_string(version) + ", newer than the " +
                     std::to_string(RECORDS_SCHEMA_VERSION) + " this kormelt knows; use a newer kormelt to read it";
            return false;
        }
        return true;
    }

    // A file of version 0 is new, unless it holds tables: then it is
    // another program's database, which no step may change.
    bool IsNew(std::string *error) {
        std::string tables;
        if (!Value("SELECT count(*) FROM sqlite_master", &tables)) {
            *error = Failure("cannot read");
            return false;
        }
        if (std::atoi(tables.c_str()) != 0) {
            *error = path + " is an SQLite database of another program (it holds tables but no records schema); "
                            "name another records file";
            return false;
        }
        return true;
    }

    bool Migrate(std::string *error) {
        if (!ReadVersion(error)) {
            return false;
        }
        while (version < RECORDS_SCHEMA_VERSION) {
            // Another station may be bringing the same file up to date: the
            // write lock first, then the version once more.
            if (!Exec("BEGIN IMMEDIATE")) {
                *error = Failure("cannot bring up to date");
                return false;
            }
            if (!ReadVersion(error) || (version == 0 && !IsNew(error))) {
                Exec("ROLLBACK");  // nothing was changed
                return false;
            }
            if (version == RECORDS_SCHEMA_VERSION) {
                Exec("ROLLBACK");  // the other one did it; nothing to keep
                break;
            }
            const Migration &step = MIGRATIONS[version];  // from version to version + 1
            const std::string set_version = "PRAGMA user_version = " + std::to_string(step.version);
            if (!Exec(step.sql) || !Exec(set_version.c_str()) || !Exec("COMMIT")) {
                *error = Failure("cannot bring up to date");
                Exec("ROLLBACK");  // the file stays at the version it had
                return false;
            }
            version = step.version;
        }
        return true;
    }
};

bool RecordsAvailable() { return true; }

std::string DefaultRecordsPath(std::string *error) {
    const char *data_home = std::getenv("XDG_DATA_HOME");
    // A relative $XDG_DATA_HOME is to be ignored, as the XDG base directories say.
    if (data_home != nullptr && data_home[0] == '/') {
        return std::string(data_home) + "/" + RECORDS_DIR + "/" + RECORDS_FILE;
    }
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + XDG_DATA_DEFAULT + "/" + RECORDS_DIR + "/" + RECORDS_FILE;
    }
    *error = "neither $XDG_DATA_HOME nor $HOME names a directory for the records; name a file with --records";
    return "";
}

namespace {

constexpr Named<Outcome> OUTCOME_WORDS[] = {
    {Outcome::Ok, "ok"}, {Outcome::Failed, "failed"}, {Outcome::Cancelled, "cancelled"},
};
static_assert(NamesEveryValue(OUTCOME_WORDS, Outcome::Cancelled));

}  // namespace

const char *OutcomeWord(Outcome outcome) { return NameIn(OUTCOME_WORDS, outcome, "failed"); }

RecordStore::RecordStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RecordStore::~RecordStore() = default;

std::unique_ptr<RecordStore> RecordStore::Open(const std::string &path, OpenMode mode, std::string *error) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        // SQLite would open a FIFO and wait on it for ever.
        if (!S_ISREG(info.st_mode)) {
            *error = "the records file " + tool::NotRegularText(path, tool::PathKindOf(info.st_mode));
            return nullptr;
        }
    } else if (mode == OpenMode::ReadExisting) {
        *error = "no records at " + path + ": " + std::strerror(errno);
        return nullptr;
    } else if (!MakeParents(path, error)) {
        *error = "cannot keep records at " + path + ": " + *error;
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->writer = ThisProcess();
    const int flags = SQLITE_OPEN_READWRITE | (mode == OpenMode::Write ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &impl->connection.handle, flags, nullptr) != SQLITE_OK) {
        *error = impl->db() == nullptr ? "cannot open the records file " + path + ": out of memory"
                                     : impl->Failure("cannot open");
        return nullptr;
    }
    sqlite3_extended_result_codes(impl->db(), 1);  // always SQLITE_OK on an open connection
    sqlite3_busy_timeout(impl->db(), RECORDS_BUSY_TIMEOUT_MS);  // likewise
    // A file SQLite could only open read-only (no write permission) is
    // one that cannot take a record.
    impl->read_only = sqlite3_db_readonly(impl->db(), "main") == 1;
    if (impl->read_only && mode == OpenMode::Write) {
        *error = "cannot write to the records file " + path + ": it is read-only";
        return nullptr;
    }
    std::string journal;
    if (!impl->read_only) {
        if (!impl->Value("PRAGMA journal_mode = WAL", &journal)) {
            *error = impl->Failure("cannot open");
            return nullptr;
        }
        if (journal != "wal") {
            *error = "the records file " + path + " cannot use a write-ahead log (its journal mode stays " + journal +
                     "), which several stations sharing it need";
            return nullptr;
        }
        // Every committed row reaches the disk before the update goes on:
        // a power cut must not lose the row of an update that had started.
        if (!impl->Exec("PRAGMA synchronous = FULL")) {
            *error = impl->Failure("cannot set up");
            return nullptr;
        }
        if (!impl->Migrate(error)) {
            return nullptr;
        }
    } else if (!impl->ReadVersion(error)) {
        return nullptr;
    }
    if (impl->version == 0) {
        *error = path + " holds no records (it is an empty file)";
        return nullptr;
    }
    if (!impl->insert.Prepare(impl->db(), INSERT_SQL) ||
        !impl->complete.Prepare(impl->db(), COMPLETE_SQL) || !impl->query.Prepare(impl->db(), QuerySql().c_str())) {
        *error = path + " is no records file of this kormelt: " + sqlite3_errmsg(impl->db());
        return nullptr;
    }
    return std::unique_ptr<RecordStore>(new RecordStore(std::move(impl)));
}

bool RecordStore::Start(const UpdateStart &start, int64_t *id, std::string *error) {
    Statement &s = impl_->insert;
    const tool::PortIdentity &identity = start.identity;
    const WriterProcess &writer = impl_->writer;
    const bool bound = s.Text(1, UtcText(std::chrono::system_clock::now())) && s.Text(2, writer.host) &&
                       s.Integer(3, writer.pid) &&
                       // NOT NULL, and empty where /proc does not say
                       sqlite3_bind_text(s.get(), 4, writer.instance.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                       s.Text(5, KORMELT_VERSION) && s.Text(6, start.port) && s.Text(7, identity.location) &&
                       s.Text(8, identity.vendor_id) && s.Text(9, identity.product_id) && s.Text(10, identity.serial) &&
                       s.Text(11, identity.manufacturer) && s.Text(12, identity.product) && s.Text(13, AbsoluteImagePath(start.image)) &&
                       s.Integer(14, static_cast<int64_t>(start.image_bytes)) && s.Text(15, tool::CrcText(start.image_crc)) &&
                       s.Text(16, start.image_sha256);
    const SteadyClock::time_point now = SteadyClock::now();
    if (!bound || s.Run() != SQLITE_DONE) {
        *error = impl_->Failure("cannot write to");
        s.Reset();
        return false;
    }
    *id = sqlite3_last_insert_rowid(impl_->db());
    impl_->started[*id] = now;
    return true;
}

bool RecordStore::Complete(int64_t id, const UpdateEnd &end, std::string *error) {
    Statement &s = impl_->complete;
    const auto started = impl_->started.find(id);
    const int64_t duration_ms =
        started == impl_->started.end()
            ? 0
            : std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started->second).count();
    const bool bound = s.Integer(1, id) && s.Text(2, UtcText(std::chrono::system_clock::now())) &&
                       s.Text(3, OutcomeWord(end.outcome)) && s.Integer(4, end.exit_code) &&
                       s.Text(5, end.failed_phase) && s.Text(6, end.message) && s.Integer(7, duration_ms);
    if (!bound || s.Run() != SQLITE_DONE) {
        *error = impl_->Failure("cannot write to");
        s.Reset();
        return false;
    }
    if (sqlite3_changes(impl_->db()) != 1) {
        *error = "the record " + std::to_string(id) + " of " + impl_->path + " is gone or was completed already";
        return false;
    }
    impl_->started.erase(id);
    return true;
}

bool RecordStore::Query(const RecordFilter &filter, std::vector<UpdateRecord> *rows, std::string *error) {
    Statement &s = impl_->query;
    const bool open_rows = filter.outcome == "running" || filter.outcome == "interrupted" ||
                           filter.outcome == "unfinished";
    bool bound = s.Text(1, filter.since) && s.Text(2, filter.serial) && s.Text(3, filter.sha256_prefix);
    if (open_rows) {
        bound = bound && sqlite3_bind_text(s.get(), 4, "", 0, SQLITE_STATIC) == SQLITE_OK;
    } else {
        bound = bound && s.Text(4, filter.outcome);
    }
    if (!bound) {
        *error = impl_->Failure("cannot read");
        s.Reset();
        return false;
    }
    rows->clear();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        UpdateRecord r;
        int c = 0;
#define KORMELT_UPDATE_COLUMN_READ(column, member) s.Read(c++, &r.member);
        KORMELT_UPDATE_COLUMNS(KORMELT_UPDATE_COLUMN_READ)
#undef KORMELT_UPDATE_COLUMN_READ
        if (r.outcome.empty()) {
            switch (StateOf({r.host, r.station_pid, r.station_instance})) {
            case WriterState::Running:
                r.outcome = "running";
                break;
            case WriterState::Gone:
                r.outcome = "interrupted";
                break;
            case WriterState::Elsewhere:
                r.outcome = "unfinished";
                break;
            }
        }
        if (!open_rows || r.outcome == filter.outcome) {
            rows->push_back(std::move(r));
        }
    }
    s.Reset();
    if (rc != SQLITE_DONE) {
        *error = impl_->Failure("cannot read");
        return false;
    }
    return true;
}

int RecordStore::schema_version() const { return impl_->version; }
const std::string &RecordStore::path() const { return impl_->path; }

}  // namespace kormelt::records
