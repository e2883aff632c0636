// The records of updates: a row inserted at the start and completed at the
// end, read back with the filters of `kormelt records`; rows left open by a
// writer that is alive, gone, or on another host; the write-ahead log and
// the busy timeout that let several stations share a file; files of an
// older schema, a newer one and of other programs. The test's own SQLite
// connection is the independent look at the file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_file.h"
#include "tools/records/record_time.h"
#include "tools/records/records.h"
#include "tools/records/records_output.h"
#include "tools/records/sha256.h"

using namespace kormelt::records;
using Clock = std::chrono::steady_clock;

namespace {

// The first schema, written out as it was, to make files of that version.
constexpr char SCHEMA_V1[] =
    "CREATE TABLE updates (id INTEGER PRIMARY KEY, started TEXT NOT NULL, finished TEXT, host TEXT NOT NULL,"
    " station_pid INTEGER NOT NULL, station_instance TEXT NOT NULL, tool_version TEXT NOT NULL, port TEXT,"
    " location TEXT, usb_vid TEXT, usb_pid TEXT, usb_serial TEXT, manufacturer TEXT, product TEXT,"
    " image TEXT NOT NULL, image_size INTEGER NOT NULL, image_crc TEXT NOT NULL, image_sha256 TEXT NOT NULL,"
    " outcome TEXT CHECK (outcome IN ('ok', 'failed', 'cancelled')), exit_code INTEGER, failed_phase TEXT,"
    " message TEXT, duration_ms INTEGER);"
    "PRAGMA user_version = 1;";

// A connection of the test's own.
class Raw {
public:
    explicit Raw(const std::string &path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK) << path; }
    ~Raw() { sqlite3_close(db_); }
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;

    bool Exec(const std::string &sql) {
        char *message = nullptr;
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
        if (message != nullptr) {
            error_ = message;
            sqlite3_free(message);
        }
        return rc == SQLITE_OK;
    }
    // The first column of the first row, "" when there is none.
    std::string Value(const std::string &sql) {
        sqlite3_stmt *statement = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
            value = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        return value;
    }
    const std::string &error() const { return error_; }

private:
    sqlite3 *db_ = nullptr;
    std::string error_;
};

UpdateStart SomeUpdate(const std::string &serial = "A50285BI", const std::string &sha256 = std::string(64, 'a')) {
    UpdateStart start;
    start.port = "/dev/ttyUSB0";
    start.identity = {"1-1.2:1.0", "0403", "6001", serial, "FTDI", "FT232R USB UART"};
    start.image = "/images/fw.img";
    start.image_bytes = 16384;
    start.image_crc = 0xABB3;
    start.image_sha256 = sha256;
    return start;
}

class Records : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(dir_.path() + "/sub", error);
        for (const char *suffix : {"", "-wal", "-shm"}) {
            std::remove((path_ + suffix).c_str());
        }
    }

    std::unique_ptr<RecordStore> Open(OpenMode mode = OpenMode::Write) {
        std::string error;
        std::unique_ptr<RecordStore> store = RecordStore::Open(path_, mode, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
    std::string OpenError(OpenMode mode = OpenMode::Write) {
        std::string error;
        EXPECT_EQ(RecordStore::Open(path_, mode, &error), nullptr);
        return error;
    }
    std::vector<UpdateRecord> Rows(RecordStore &store, const RecordFilter &filter = {}) {
        std::vector<UpdateRecord> rows;
        std::string error;
        EXPECT_TRUE(store.Query(filter, &rows, &error)) << error;
        return rows;
    }
    int64_t Start(RecordStore &store, const UpdateStart &start = SomeUpdate()) {
        int64_t id = 0;
        std::string error;
        EXPECT_TRUE(store.Start(start, &id, &error)) << error;
        return id;
    }

    TempDir dir_;
    std::string path_ = dir_.path() + "/records.sqlite3";
};

TEST(Sha256, KnownDigestsAndEveryPaddingCase) {
    const auto digest = [](const std::string &text) {
        return Sha256Hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    };
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Lengths around the block size: the length fits after the data in one
    // block up to 55 bytes, needs a second one from 56 on.
    struct Case {
        size_t length;
        const char *digest;
    };
    const std::vector<Case> cases = {
        {55, "463eb28e72f82e0a96c0a4cc53690c571281131f672aa229e0d45ae59b598b59"},
        {56, "da2ae4d6b36748f2a318f23e7ab1dfdf45acdc9d049bd80e59de82a60895f562"},
        {63, "29af2686fd53374a36b0846694cc342177e428d1647515f078784d69cdb9e488"},
        {64, "fdeab9acf3710362bd2658cdc9a29e8f9c757fcf9811603a8c447cd1d9151108"},
        {65, "4bfd2c8b6f1eec7a2afeb48b934ee4b2694182027e6d0fc075074f2fabb31781"},
        {119, "da18797ed7c3a777f0847f429724a2d8cd5138e6ed2895c3fa1a6d39d18f7ec6"},
        {128, "471fb943aa23c511f6f72f8d1652d9c880cfa392ad80503120547703e56a2be5"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> data(c.length);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i % 251);
        }
        EXPECT_EQ(Sha256Hex(data.data(), data.size()), c.digest) << c.length << " bytes";
    }
}

TEST(RecordTime, UtcTextHasMillisecondsAndSortsAsTime) {
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1741944413589LL));
    EXPECT_EQ(UtcText(at), "2025-03-14T09:26:53.589Z");
    EXPECT_EQ(UtcText(std::chrono::system_clock::time_point()), "1970-01-01T00:00:00.000Z");
    EXPECT_LT(UtcText(at), UtcText(at + std::chrono::milliseconds(1)));
}

TEST(RecordTime, SinceTakesTheFormsOfIso8601InUtc) {
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {"2025-03-14", "2025-03-14T00:00:00.000Z"},
        {"2025-03-14T09:26", "2025-03-14T09:26:00.000Z"},
        {"2025-03-14 09:26:53", "2025-03-14T09:26:53.000Z"},
        {"2025-03-14T09:26:53.5Z", "2025-03-14T09:26:53.500Z"},
        {"2025-03-14T09:26:53.589Z", "2025-03-14T09:26:53.589Z"},
        {"2024-02-29", "2024-02-29T00:00:00.000Z"},
    };
    for (const auto &[text, utc] : accepted) {
        std::string got;
        std::string error;
        EXPECT_TRUE(ParseSince(text, &got, &error)) << text << ": " << error;
        EXPECT_EQ(got, utc) << text;
    }
    for (const std::string text : {"", "yesterday", "2025-3-14", "2025-13-01", "2025-02-29", "2025-03-14T9:26",
                                   "2025-03-14T24:00", "2025-03-14T09:60", "2025-03-14T09:26:53.5891",
                                   "2025-03-14x", "20250314", "2025-03-14T09:26:53+01:00"}) {
        std::string got;
        std::string error;
        EXPECT_FALSE(ParseSince(text, &got, &error)) << text << " gave " << got;
        EXPECT_NE(error.find("--since"), std::string::npos) << error;
    }
}

TEST_F(Records, ARowIsInsertedAtTheStartAndCompletedAtTheEnd) {
    path_ = dir_.path() + "/sub/dir/records.sqlite3";  // directories that do not exist yet
    std::unique_ptr<RecordStore> store = Open();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->schema_version(), RECORDS_SCHEMA_VERSION);
    const int64_t id = Start(*store);

    std::vector<UpdateRecord> rows = Rows(*store);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, "running");  // its writer, this process, is alive
    EXPECT_TRUE(rows[0].finished.empty());
    EXPECT_FALSE(rows[0].exit_code.has_value());
    {
        // Already on the disk for any other reader, before the update ends.
        Raw raw(path_);
        EXPECT_EQ(raw.Value("SELECT count(*) FROM updates WHERE outcome IS NULL"), "1");
        EXPECT_EQ(raw.Value("PRAGMA journal_mode"), "wal");
        EXPECT_EQ(raw.Value("PRAGMA user_version"), std::to_string(RECORDS_SCHEMA_VERSION));
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string error;
    ASSERT_TRUE(store->Complete(id, {Outcome::Failed, 6, "upload", "Upload failed at 38%"}, &error)) << error;
    rows = Rows(*store);
    ASSERT_EQ(rows.size(), 1u);
    const UpdateRecord &r = rows[0];
    EXPECT_EQ(r.outcome, "failed");
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_EQ(r.failed_phase, "upload");
    EXPECT_EQ(r.message, "Upload failed at 38%");
    EXPECT_GE(r.duration_ms.value_or(-1), 20);
    EXPECT_EQ(r.port, "/dev/ttyUSB0");
    EXPECT_EQ(r.identity.location, "1-1.2:1.0");
    EXPECT_EQ(r.identity.UsbId(), "0403:6001");
    EXPECT_EQ(r.identity.serial, "A50285BI");
    EXPECT_EQ(r.identity.manufacturer + "/" + r.identity.product, "FTDI/FT232R USB UART");
    EXPECT_EQ(r.image, "/images/fw.img");
    EXPECT_EQ(r.image_size, 16384);
    EXPECT_EQ(r.image_crc, "0xABB3");
    EXPECT_EQ(r.station_pid, getpid());
    EXPECT_FALSE(r.host.empty());
    EXPECT_EQ(r.tool_version, KORMELT_VERSION);
    // Both times in UTC with milliseconds, the end after the start.
    ASSERT_EQ(r.started.size(), std::string("2025-03-14T09:26:53.589Z").size()) << r.started;
    EXPECT_EQ(r.started.back(), 'Z');
    EXPECT_LT(r.started, r.finished);

    // A row is completed once.
    EXPECT_FALSE(store->Complete(id, {Outcome::Ok, 0, "", ""}, &error));
    EXPECT_NE(error.find("completed already"), std::string::npos) << error;
    EXPECT_EQ(Rows(*store)[0].outcome, "failed");
}

TEST_F(Records, UnknownPartsOfAnIdentityAreNull) {
    std::unique_ptr<RecordStore> store = Open();
    UpdateStart start = SomeUpdate();
    start.identity = {};
    Start(*store, start);
    Raw raw(path_);
    EXPECT_EQ(raw.Value("SELECT count(*) FROM updates WHERE location IS NULL AND usb_serial IS NULL AND usb_vid IS NULL"),
              "1");
}

// A writer in a child process: it opens the file, starts a row and waits
// to be killed.
class Writer {
public:
    explicit Writer(const std::string &path) {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            std::string error;
            std::unique_ptr<RecordStore> store = RecordStore::Open(path, OpenMode::Write, &error);
            int64_t id = 0;
            const char answer = store != nullptr && store->Start(SomeUpdate("CHILD"), &id, &error) ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1) {
                _exit(1);
            }
            pause();
            _exit(0);
        }
        close(ready[1]);
        char answer = 'n';
        started_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }
    ~Writer() { Kill(); }
    bool started() const { return started_; }
    pid_t pid() const { return pid_; }
    // Killed, and seen to have ended, but not yet waited for: a zombie
    // with its PID still taken.
    bool KillLeavingZombie() {
        siginfo_t info{};
        return pid_ > 0 && kill(pid_, SIGKILL) == 0 && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) == 0;
    }
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    bool started_ = false;
};

TEST_F(Records, AnOpenRowIsRunningWhileItsWriterLivesAndInterruptedOnceItIsKilled) {
    std::unique_ptr<RecordStore> store = Open();
    Writer writer(path_);
    ASSERT_TRUE(writer.started());
    std::vector<UpdateRecord> rows = Rows(*store);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].station_pid, writer.pid());
    EXPECT_EQ(rows[0].outcome, "running");
    EXPECT_EQ(Rows(*store, {"", "", "running", ""}).size(), 1u);
    EXPECT_EQ(Rows(*store, {"", "", "interrupted", ""}).size(), 0u);

    ASSERT_TRUE(writer.KillLeavingZombie());
    EXPECT_EQ(Rows(*store)[0].outcome, "interrupted") << "a writer that ended and was not waited for yet";
    writer.Kill();
    rows = Rows(*store);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, "interrupted");
    EXPECT_EQ(Rows(*store, {"", "", "interrupted", ""}).size(), 1u);
    EXPECT_EQ(Rows(*store, {"", "", "ok", ""}).size(), 0u);  // never shown as a success
    EXPECT_TRUE(rows[0].finished.empty());
    Raw raw(path_);
    EXPECT_EQ(raw.Value("PRAGMA integrity_check"), "ok");
}

TEST_F(Records, AnOpenRowOfAnotherHostOrAReusedPidIsNotRunning) {
    std::unique_ptr<RecordStore> store = Open();
    const int64_t elsewhere = Start(*store);
    const int64_t reused = Start(*store);
    {
        Raw raw(path_);
        ASSERT_TRUE(raw.Exec("UPDATE updates SET host = 'another-station' WHERE id = " + std::to_string(elsewhere)));
        // This process's PID, but another process's start: the writer that
        // had the PID before is gone.
        ASSERT_TRUE(raw.Exec("UPDATE updates SET station_instance = 'boot/1' WHERE id = " + std::to_string(reused)));
    }
    std::vector<UpdateRecord> rows = Rows(*store);
    ASSERT_EQ(rows.size(), 2u);
    for (const UpdateRecord &r : rows) {
        EXPECT_EQ(r.outcome, r.id == elsewhere ? "unfinished" : "interrupted") << r.id;
    }
}

TEST_F(Records, FiltersByTimeSerialOutcomeAndImage) {
    std::unique_ptr<RecordStore> store = Open();
    const std::string image_a = "1f2e3d" + std::string(58, '0');
    const std::string image_b = "abcdef" + std::string(58, '1');
    struct Row {
        const char *serial;
        std::string sha256;
        const char *started;
        Outcome outcome;
    };
    const std::vector<Row> rows = {
        {"S1", image_a, "2025-03-14T09:00:00.000Z", Outcome::Ok},
        {"S2", image_a, "2025-03-14T10:00:00.000Z", Outcome::Failed},
        {"S1", image_b, "2025-03-15T08:00:00.000Z", Outcome::Cancelled},
        {"S3", image_b, "2025-03-16T08:00:00.000Z", Outcome::Ok},
    };
    std::vector<int64_t> ids;
    for (const Row &row : rows) {
        ids.push_back(Start(*store, SomeUpdate(row.serial, row.sha256)));
        std::string error;
        ASSERT_TRUE(store->Complete(ids.back(), {row.outcome, 0, "", ""}, &error)) << error;
    }
    {
        Raw raw(path_);
        for (size_t k = 0; k < rows.size(); ++k) {
            ASSERT_TRUE(raw.Exec(std::string("UPDATE updates SET started = '") + rows[k].started + "' WHERE id = " +
                                 std::to_string(ids[k])));
        }
    }
    const auto ids_of = [&](const RecordFilter &filter) {
        std::vector<int64_t> got;
        for (const UpdateRecord &r : Rows(*store, filter)) {
            got.push_back(r.id);
        }
        return got;
    };
    struct Case {
        const char *name;
        RecordFilter filter;
        std::vector<int64_t> ids;  // newest first
    };
    const std::vector<Case> cases = {
        {"none", {}, {ids[3], ids[2], ids[1], ids[0]}},
        {"since, inclusive", {"2025-03-14T10:00:00.000Z", "", "", ""}, {ids[3], ids[2], ids[1]}},
        {"serial", {"", "S1", "", ""}, {ids[2], ids[0]}},
        {"outcome", {"", "", "ok", ""}, {ids[3], ids[0]}},
        {"image prefix", {"", "", "", "abcd"}, {ids[3], ids[2]}},
        {"whole digest", {"", "", "", image_a}, {ids[1], ids[0]}},
        {"all at once", {"2025-03-15T00:00:00.000Z", "S1", "cancelled", "ab"}, {ids[2]}},
        {"nothing matches", {"", "S9", "", ""}, {}},
        {"no open rows", {"", "", "interrupted", ""}, {}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ids_of(c.filter), c.ids) << c.name;
    }
}

TEST_F(Records, AReaderDoesNotHoldUpAWriterAndAWriterWaitsForAnother) {
    std::unique_ptr<RecordStore> store = Open();
    Start(*store);
    Raw other(path_);
    // A reader in the middle of its transaction: with the write-ahead log
    // the writer commits regardless.
    ASSERT_TRUE(other.Exec("BEGIN; SELECT count(*) FROM updates;")) << other.error();
    Clock::time_point began = Clock::now();
    Start(*store);
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(RECORDS_BUSY_TIMEOUT_MS / 2));
    ASSERT_TRUE(other.Exec("COMMIT"));

    // Another writer holds the lock for a while: the insert waits for it
    // instead of failing at once.
    constexpr auto HOLD = std::chrono::milliseconds(300);
    ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE")) << other.error();
    std::thread release([&] {
        std::this_thread::sleep_for(HOLD);
        EXPECT_TRUE(other.Exec("COMMIT")) << other.error();
    });
    began = Clock::now();
    Start(*store);
    const auto waited = Clock::now() - began;
    release.join();
    EXPECT_GE(waited, HOLD - std::chrono::milliseconds(50));
    EXPECT_EQ(Rows(*store).size(), 3u);
}

// The rows are read and printed by one list of columns; a migration that
// adds a column to the table without it would leave the column unread.
TEST_F(Records, EveryColumnOfTheTableIsReadAndPrinted) {
    ASSERT_NE(Open(), nullptr);
    Raw raw(path_);
    const std::string table = raw.Value("SELECT group_concat(name, ',') FROM pragma_table_info('updates')");
    const std::string csv = RecordsCsv({});
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), table);
}

TEST_F(Records, AFileOfTheFirstSchemaIsBroughtUpToDateAndKeepsItsRows) {
    {
        Raw raw(path_);
        ASSERT_TRUE(raw.Exec(SCHEMA_V1)) << raw.error();
        ASSERT_TRUE(raw.Exec("INSERT INTO updates (started, finished, host, station_pid, station_instance, "
                             "tool_version, port, usb_serial, image, image_size, image_crc, image_sha256, outcome, "
                             "exit_code) VALUES ('2025-01-01T00:00:00.000Z', '2025-01-01T00:00:10.000Z', 'old', 1, "
                             "'', '1.0.0.0', '/dev/ttyUSB3', 'OLD1', '/fw.img', 100, '0x1234', 'ab', 'ok', 0)"))
            << raw.error();
    }
    std::unique_ptr<RecordStore> store = Open();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->schema_version(), RECORDS_SCHEMA_VERSION);
    const std::vector<UpdateRecord> rows = Rows(*store, {"", "OLD1", "", ""});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].outcome, "ok");
    EXPECT_EQ(rows[0].port, "/dev/ttyUSB3");
    Raw raw(path_);
    EXPECT_EQ(raw.Value("PRAGMA user_version"), std::to_string(RECORDS_SCHEMA_VERSION));
    EXPECT_EQ(raw.Value("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'updates_by_%'"), "3");
}

TEST_F(Records, FilesThatAreNoRecordsOfThisToolAreRefusedAndLeftAsTheyWere) {
    struct Case {
        const char *name;
        std::function<void(const std::string &)> make;
        const char *reason;
    };
    const std::vector<Case> cases = {
        {"a newer schema",
         [](const std::string &path) {
             Raw raw(path);
             raw.Exec(std::string(SCHEMA_V1) + "PRAGMA user_version = 99;");
         },
         "schema version 99"},
        {"another program's database",
         [](const std::string &path) {
             Raw raw(path);
             raw.Exec("CREATE TABLE invoices (id INTEGER PRIMARY KEY)");
         },
         "another program"},
        {"no database at all",
         [](const std::string &path) { std::ofstream(path) << "not a database, just text that is long enough\n"; },
         "not a database"},
        {"a FIFO", [](const std::string &path) { mkfifo(path.c_str(), 0600); }, "a FIFO, not a regular file"},
        {"a directory", [](const std::string &path) { mkdir(path.c_str(), 0700); }, "a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.make(path_);
        const std::string error = OpenError();
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_NE(error.find(path_), std::string::npos) << error;
        struct stat info {};
        ASSERT_EQ(stat(path_.c_str(), &info), 0);
        if (S_ISREG(info.st_mode) && std::string(c.name) != "no database at all") {
            Raw raw(path_);
            EXPECT_EQ(raw.Value("SELECT count(*) FROM sqlite_master WHERE name = 'updates_by_started'"), "0");
            EXPECT_NE(raw.Value("PRAGMA user_version"), std::to_string(RECORDS_SCHEMA_VERSION));
        }
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
        std::remove((path_ + "-wal").c_str());
        std::remove((path_ + "-shm").c_str());
    }
}

TEST_F(Records, ReadingNeedsAnExistingFileAndADirectoryInTheWayIsNamed) {
    EXPECT_NE(OpenError(OpenMode::ReadExisting).find("no records at " + path_), std::string::npos);
    struct stat info {};
    EXPECT_NE(stat(path_.c_str(), &info), 0) << "reading created the file";
    std::ofstream(dir_.path() + "/sub") << "a file where a directory should be";
    path_ = dir_.path() + "/sub/records.sqlite3";
    const std::string error = OpenError();
    EXPECT_NE(error.find("is a regular file, not a directory"), std::string::npos) << error;
    std::remove((dir_.path() + "/sub").c_str());
}

std::vector<UpdateRecord> OutputRows() {
    UpdateRecord done;
    done.id = 2;
    done.started = "2025-03-14T09:26:53.589Z";
    done.finished = "2025-03-14T09:27:03.001Z";
    done.host = "bench-1";
    done.station_pid = 4242;
    done.tool_version = "1.0.0.1";
    done.port = "/dev/ttyUSB0";
    done.identity = {"1-1.2:1.0", "0403", "6001", "=HYPERLINK(\"x\")", "FTDI", "FT232R, rev \"B\""};
    done.image = "/images/fw.img";
    done.image_size = 16384;
    done.image_crc = "0xABB3";
    done.image_sha256 = "b22247c256250f9c" + std::string(48, '0');
    done.outcome = "ok";
    done.exit_code = 0;
    done.duration_ms = 9412;
    UpdateRecord open = done;
    open.id = 1;
    open.finished.clear();
    open.identity = {};
    open.outcome = "interrupted";
    open.exit_code.reset();
    open.duration_ms.reset();
    open.message = "line one\nline two";
    return {done, open};
}

TEST(RecordsOutput, TableFitsItsColumnsAndTheWidth) {
    const std::string table = RecordsTable(OutputRows(), 0);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = table.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(table.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].find("started"), 0u);
    const size_t outcome_at = lines[0].find("outcome");
    EXPECT_EQ(lines[1].find("ok"), outcome_at);
    EXPECT_EQ(lines[2].find("interrupted"), outcome_at);
    EXPECT_NE(lines[1].find("b22247c25625  9.4 s"), std::string::npos) << lines[1];  // 12 hex digits
    for (const char *column : {"exit", "location", "serial", "took"}) {
        EXPECT_EQ(lines[2].substr(lines[0].find(column), 2), "- ") << column << " unknown in: " << lines[2];
    }
    EXPECT_NE(lines[2].find("line one?line two"), std::string::npos) << "control characters are shown as ?";
    for (const std::string &line : lines) {
        EXPECT_NE(line.back(), ' ') << line;
    }
    const std::string narrow = RecordsTable(OutputRows(), 50);
    for (size_t at = 0, end; (end = narrow.find('\n', at)) != std::string::npos; at = end + 1) {
        EXPECT_LE(end - at, 50u);
    }
}

TEST(RecordsOutput, JsonHasEveryColumnWithNullForTheUnknown) {
    const std::string json = RecordsJson(OutputRows());
    const size_t newline = json.find('\n');
    const std::string first = json.substr(0, newline);
    const std::string second = json.substr(newline + 1);
    EXPECT_EQ(first.rfind("{\"id\":2,\"started\":\"2025-03-14T09:26:53.589Z\",", 0), 0u) << first;
    for (const char *key : {"\"finished\":", "\"host\":\"bench-1\"", "\"station_pid\":4242", "\"location\":\"1-1.2:1.0\"",
                            "\"usb_vid\":\"0403\"", "\"usb_serial\":\"=HYPERLINK(\\\"x\\\")\"", "\"image_size\":16384",
                            "\"outcome\":\"ok\"", "\"exit_code\":0", "\"failed_phase\":null", "\"duration_ms\":9412"}) {
        EXPECT_NE(first.find(key), std::string::npos) << key << " in " << first;
    }
    for (const char *key : {"\"finished\":null", "\"location\":null", "\"exit_code\":null", "\"duration_ms\":null",
                            "\"message\":\"line one\\nline two\""}) {
        EXPECT_NE(second.find(key), std::string::npos) << key << " in " << second;
    }
}

TEST(RecordsOutput, CsvQuotesWhatNeedsItAndDisarmsFormulas) {
    const std::string csv = RecordsCsv(OutputRows());
    EXPECT_EQ(csv.rfind("id,started,finished,host,station_pid,station_instance,tool_version,port,location,usb_vid,"
                        "usb_pid,usb_serial,manufacturer,product,image,image_size,image_crc,image_sha256,outcome,"
                        "exit_code,failed_phase,message,duration_ms\r\n",
                        0),
              0u)
        << csv;
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"x\"\")\",FTDI,\"FT232R, rev \"\"B\"\"\","), std::string::npos) << csv;
    EXPECT_NE(csv.find(",,,,,,"), std::string::npos) << "the unknown identity of the open row is empty";
    EXPECT_NE(csv.find("\"line one\nline two\""), std::string::npos) << csv;
    EXPECT_EQ(csv.substr(csv.size() - 2), "\r\n");
}

}  // namespace
