// The station's pure parts: the reader of the workers' JSON lines, what a
// worker's report does to its row, the choice of ports by --match, and the
// live rows against the terminal's width.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <string>
#include <vector>

#include "tools/kormelt/exit_codes.h"
#include "tools/common/json_object.h"
#include "tools/station/port_match.h"
#include "tools/station/station_view.h"
#include "tools/station/worker_report.h"

using namespace kormelt::station;
using kormelt::JsonObject;
using kormelt::tool::PortIdentity;

namespace {

TEST(JsonObject, ReadsFlatObjectsWithEveryKindOfValue) {
    const std::optional<JsonObject> object = JsonObject::Parse(
        R"( {"event":"end","percent":38,"seconds":3.012,"note":"a \"quoted\" \\ path\n\u00e9\ud83d\ude00","ok":true,)"
        R"("none":null,"neg":-1.5e2} )");
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->String("event"), "end");
    EXPECT_EQ(object->Number("percent"), 38.0);
    EXPECT_DOUBLE_EQ(object->Number("seconds").value_or(0), 3.012);
    EXPECT_EQ(object->Number("neg"), -150.0);
    EXPECT_EQ(object->String("note"), "a \"quoted\" \\ path\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_TRUE(object->Has("none"));
    EXPECT_EQ(object->String("none", "fallback"), "fallback");  // null is no string
    EXPECT_FALSE(object->Number("event").has_value());          // nor a string a number
    EXPECT_FALSE(object->Has("missing"));
    EXPECT_TRUE(JsonObject::Parse("{}").has_value());
}

TEST(JsonObject, RefusesWhatNoWorkerPrints) {
    for (const char *line : {"", "kormelt: Upload failed at 38%", "[1,2]", "{", "{\"a\":1", "{\"a\":1,}",
                             "{\"a\":[1]}", "{\"a\":{\"b\":1}}", "{\"a\":1} trailing", "{a:1}", "{\"a\":\"raw\ttab\"}",
                             "{\"a\":\"\\x\"}", "{\"a\":\"\\ud83d\"}", "{\"a\":\"\\ude00\"}", "{\"a\":tru}",
                             "{\"a\":\"unterminated}"}) {
        EXPECT_FALSE(JsonObject::Parse(line).has_value()) << line;
    }
}

StationRow Running() {
    StationRow row;
    row.port = "/dev/ttyUSB0";
    row.state = RowState::Running;
    return row;
}

TEST(WorkerReport, AFlashRunsLinesMoveItsRowAlong) {
    StationRow row = Running();
    WorkerLog log;
    const Clock::time_point now = Clock::now();
    struct Step {
        const char *line;
        RowChange change;
        const char *phase;
        int percent;
    };
    const std::vector<Step> steps = {
        {R"({"event":"start","phase":"search"})", RowChange::PhaseStarted, "search", 0},
        {R"({"event":"progress","phase":"search","percent":0,"port":"COM1","device":"/dev/ttyUSB0"})",
         RowChange::Progress, "search", 0},
        {R"({"event":"end","phase":"search","result":"ok","status":0,"percent":100,"seconds":0.010})",
         RowChange::PhaseEnded, "search", 100},
        {R"({"event":"start","phase":"upload","total":16384})", RowChange::PhaseStarted, "upload", 0},
        {R"({"event":"progress","phase":"upload","percent":38,"bytes":6225,"total":16384})", RowChange::Progress,
         "upload", 38},
        {"kormelt: something on stderr", RowChange::None, "upload", 38},
        {R"({"event":"a later kind","phase":"x"})", RowChange::None, "upload", 38},
        {R"({"event":"end","phase":"upload","result":"failed","status":14,"percent":38,"seconds":3.0})",
         RowChange::PhaseEnded, "upload", 38},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.line);
        EXPECT_EQ(ApplyWorkerLine(step.line, &row, &log, now), step.change);
        EXPECT_EQ(row.phase, step.phase);
        EXPECT_EQ(row.percent, step.percent);
        EXPECT_EQ(row.state, RowState::Running);
    }
    EXPECT_EQ((std::vector<uint64_t>{row.bytes, row.total}), (std::vector<uint64_t>{6225, 16384}));
    EXPECT_EQ(row.phase_result, "failed");
    EXPECT_EQ(row.status, 14);
    EXPECT_EQ(log.last_text, "kormelt: something on stderr");
    EXPECT_FALSE(log.summary);

    EXPECT_EQ(ApplyWorkerLine(R"({"event":"summary","result":"failed","exit_code":6,"phase":"upload","status":14,)"
                              R"("message":"Upload failed at 38%: the device stopped answering"})",
                              &row, &log, now),
              RowChange::Ended);
    EXPECT_TRUE(log.summary);
    EXPECT_EQ(row.state, RowState::Failed);
    EXPECT_EQ(row.exit_code, 6);
    EXPECT_EQ(row.failed_phase, "upload");
    EXPECT_EQ(row.message, "Upload failed at 38%: the device stopped answering");
}

TEST(WorkerReport, TheSummarysExitCodeDecidesTheResult) {
    const std::vector<std::pair<int, RowState>> cases = {{kormelt::tool::EXIT_OK, RowState::Ok},
                                                         {kormelt::tool::EXIT_CANCELLED, RowState::Cancelled},
                                                         {kormelt::tool::EXIT_SEARCH, RowState::Failed},
                                                         {kormelt::tool::EXIT_SYSTEM, RowState::Failed}};
    for (const auto &[code, state] : cases) {
        StationRow row = Running();
        WorkerLog log;
        ApplyWorkerLine("{\"event\":\"summary\",\"exit_code\":" + std::to_string(code) + ",\"phase\":null}", &row,
                        &log, Clock::now());
        EXPECT_EQ(row.state, state) << code;
        EXPECT_EQ(row.failed_phase, "") << "a null phase is none";
    }
}

TEST(WorkerReport, AWorkerThatEndsWithoutItsSummaryFailsItsRowSayingHow) {
    struct Case {
        int wait_status;
        const char *text;
        const char *says;
        int exit_code;
    };
    // As waitpid reports them: killed by a signal, or an exit code.
    const std::vector<Case> cases = {
        {SIGKILL, "", "killed by signal 9", kormelt::tool::EXIT_INTERNAL},
        {127 << 8, "", "ended with exit code 127", 127},
        {2 << 8, "kormelt: --port needs a device path", "(kormelt: --port needs a device path)", 2},
        {0, "", "ended with exit code 0", kormelt::tool::EXIT_INTERNAL},
    };
    for (const Case &c : cases) {
        StationRow row = Running();
        row.phase = "erase";
        WorkerLog log;
        log.last_text = c.text;
        EndWithoutSummary(c.wait_status, log, &row, Clock::now());
        EXPECT_EQ(row.state, RowState::Failed);
        EXPECT_EQ(row.exit_code, c.exit_code);
        EXPECT_EQ(row.failed_phase, "erase");
        EXPECT_NE(row.message.find(c.says), std::string::npos) << row.message;
        EXPECT_NE(row.message.find("/dev/ttyUSB0"), std::string::npos) << row.message;
    }
}

TEST(PortMatch, GlobsOfLocationSerialVidPidOrPath) {
    const PortIdentity ftdi = {"1-1.2:1.0", "0403", "6001", "A50285BI", "FTDI", "FT232R"};
    const PortIdentity bare = {};
    struct Case {
        std::vector<std::string> patterns;
        const PortIdentity *identity;
        bool matches;
    };
    const std::vector<Case> cases = {
        {{}, &bare, true},
        {{"1-1.2:*"}, &ftdi, true},
        {{"1-1.[3-9]:*"}, &ftdi, false},
        {{"A5*"}, &ftdi, true},
        {{"a50285bi"}, &ftdi, true},  // case is ignored
        {{"0403:6001"}, &ftdi, true},
        {{"0403:*"}, &ftdi, true},
        {{"1A86:7523"}, &ftdi, false},
        {{"*/ttyUSB0"}, &bare, true},  // the path, for a port with no identity
        {{"FTDI"}, &ftdi, false},      // the maker is no name the option takes
        {{"*"}, &bare, true},
        {{"1-1.3:*", "A50285BI"}, &ftdi, true},
        {{"1-1.3:*", "nope"}, &ftdi, false},
    };
    for (const Case &c : cases) {
        std::string described;
        for (const std::string &pattern : c.patterns) {
            described += pattern + " ";
        }
        EXPECT_EQ(PortMatches(c.patterns, "/dev/ttyUSB0", *c.identity), c.matches) << described;
    }
}

std::vector<StationRow> SomeRows() {
    std::vector<StationRow> rows(4);
    rows[0].port = "/dev/ttyUSB0";
    rows[0].identity = {"1-1.2:1.0", "0403", "6001", "A50285BI", "", ""};
    rows[0].state = RowState::Running;
    rows[0].phase = "upload";
    rows[0].percent = 47;
    rows[0].bytes = 7700;
    rows[0].total = 16384;
    rows[1].port = "/dev/pts/12";  // named with --ports: no identity
    rows[1].state = RowState::Failed;
    rows[1].phase = "upload";
    rows[1].percent = 38;
    rows[1].message = "Upload failed at 38%: the device stopped answering (no reply within 3 s, status 14). Check its "
                      "power and cable.";
    rows[1].failed = 1;
    rows[2].port = "/dev/ttyUSB2";
    rows[2].identity = {"1-1.14:1.0", "", "", "", "", ""};
    rows[2].state = RowState::Ok;
    rows[2].done = 12;
    rows[3].port = "/dev/ttyACM0";
    rows[3].identity = {"1-2:1.0", "2e8a", "000a", "E660", "", ""};
    rows[3].state = RowState::Queued;
    return rows;
}

TEST(LiveFrame, OneRowPerPortItsColumnsInLineAndNoWiderThanTheTerminal) {
    const std::vector<StationRow> rows = SomeRows();
    for (const size_t width : {200u, 79u, 59u, 39u}) {
        SCOPED_TRACE(width);
        const std::vector<std::string> frame = LiveFrame(rows, false, width, Clock::now());
        ASSERT_EQ(frame.size(), rows.size());
        for (const std::string &line : frame) {
            EXPECT_LE(line.size(), width) << line;
        }
        EXPECT_EQ(frame[0].rfind("1-1.2:1.0    A50285BI  upload", 0), 0u) << frame[0];
        EXPECT_EQ(frame[1].rfind("/dev/pts/12  -         failed", 0), 0u) << frame[1];
        EXPECT_EQ(frame[2].rfind("1-1.14:1.0   -         done", 0), 0u) << frame[2];
        EXPECT_EQ(frame[3].rfind("1-2:1.0      E660      queued", 0), 0u) << frame[3];
        if (width >= 59) {
            const size_t bar = frame[0].find('[');
            const size_t percent = frame[0].find('%');
            for (const std::string &line : frame) {
                EXPECT_EQ(line.find('['), bar) << "the bars line up: " << line;
                EXPECT_EQ(line.find('%'), percent) << "and so do the percentages: " << line;
            }
        }
    }
    const std::vector<std::string> wide = LiveFrame(rows, false, 200, Clock::now());
    EXPECT_NE(wide[0].find(" 47%  7700 B / 16.0 KiB"), std::string::npos) << wide[0];
    EXPECT_NE(wide[1].find(" 38%  Upload failed at 38%: the device stopped answering"), std::string::npos) << wide[1];
    EXPECT_NE(wide[2].find("[####################] 100%  ok in"), std::string::npos) << wide[2];
    EXPECT_NE(wide[3].find("waiting for a free job"), std::string::npos) << wide[3];
}

TEST(LiveFrame, WatchShowsEachSocketsCountsAndWhetherItIsPluggedIn) {
    std::vector<StationRow> rows = SomeRows();
    rows[2].present = false;
    const std::vector<std::string> frame = LiveFrame(rows, true, 200, Clock::now());
    EXPECT_NE(frame[1].find("done 0, failed 1 "), std::string::npos) << frame[1];
    EXPECT_NE(frame[2].find("done 12, failed 0"), std::string::npos) << frame[2];
    EXPECT_NE(frame[2].find("unplugged; ok in"), std::string::npos) << frame[2];
    // The phase column after the counts, in line on every row.
    const size_t phase = frame[0].find("upload");
    EXPECT_GT(phase, frame[0].find("done 0, failed 0"));
    EXPECT_EQ(frame[1].substr(phase, 7), "failed ");
    EXPECT_EQ(frame[2].substr(phase, 5), "done ");
    EXPECT_EQ(frame[3].substr(phase, 7), "queued ");
}

TEST(RunResult, OneWordPerExitCode) {
    EXPECT_STREQ(RunResult(kormelt::tool::EXIT_OK), "ok");
    EXPECT_STREQ(RunResult(kormelt::tool::EXIT_CANCELLED), "cancelled");
    EXPECT_STREQ(RunResult(kormelt::tool::EXIT_STATION), "failed");
    EXPECT_STREQ(RunResult(kormelt::tool::EXIT_SYSTEM), "failed");
}

}  // namespace
