// What the tool tells people about ports: the table of `kormelt ports`, the
// ports a failed search tried, and the words for what a path is. A map and a
// probe of the test's own stand in for the machine: no device is touched.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device/api.h"
#include "tools/common/path_kind.h"
#include "tools/kormelt/port_map.h"
#include "tools/kormelt/port_probe.h"
#include "tools/kormelt/port_report.h"
#include "tools/kormelt/status_text.h"

using namespace kormelt::tool;

namespace {

// COMn is /fake/portn, found as "source n"; the probe answers from probes,
// Free for any device it does not know, and counts its calls.
class FakePorts {
public:
    FakePorts() {
        for (uint32_t n = kormelt::SEARCH_FIRST_PORT; n <= kormelt::SEARCH_LAST_PORT; ++n) {
            map.ports.at(n - kormelt::SEARCH_FIRST_PORT) = {Device(n), "source " + std::to_string(n)};
        }
    }
    static std::string Device(uint32_t n) { return "/fake/port" + std::to_string(n); }

    PortProber Prober() {
        return [this](const std::string &device) {
            ++calls;
            const auto found = probes.find(device);
            return found != probes.end() ? found->second : PortProbe{PortState::Free, PathKind::Unknown, ""};
        };
    }

    // Says the devices in gone have left the system, and notes what it was asked.
    PortGoneCheck GoneCheck() {
        return [this](const std::string &device) {
            asked_gone.push_back(device);
            return gone.count(device) != 0;
        };
    }

    PortMap map;
    std::map<std::string, PortProbe> probes;
    int calls = 0;
    std::set<std::string> gone;
    std::vector<std::string> asked_gone;
};

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(PathKindText, EveryKindIsANounWithItsArticle) {
    for (const PathKind kind : {PathKind::RegularFile, PathKind::Directory, PathKind::Fifo, PathKind::Pipe,
                                PathKind::Socket, PathKind::BlockDevice, PathKind::CharacterDevice,
                                PathKind::NoTerminalDevice, PathKind::SymlinkLoop, PathKind::Unknown}) {
        const std::string text = PathKindText(kind);
        EXPECT_TRUE(text.rfind("a ", 0) == 0 || text.rfind("an ", 0) == 0) << text;
        EXPECT_EQ(text.find('('), std::string::npos) << text;
    }
    EXPECT_EQ(NotRegularText("/in", PathKind::Fifo), "/in is a FIFO, not a regular file");
}

TEST(PortsTable, NamesEachStateOfAPortInOnePhrase) {
    struct Case {
        PortProbe probe;
        const char *state;
    };
    const std::vector<Case> cases = {
        {{PortState::Free, PathKind::Unknown, ""}, "exists, free"},
        {{PortState::Missing, PathKind::Unknown, "No such file or directory"}, "missing"},
        {{PortState::InUse, PathKind::Unknown, "it holds the port's lock"},
         "exists, in use by another program (it holds the port's lock)"},
        {{PortState::NoAccess, PathKind::Unknown, "Permission denied"},
         "exists, no permission to open it (Permission denied)"},
        {{PortState::Unusable, PathKind::Unknown, "Input/output error"}, "cannot be opened (Input/output error)"},
        {{PortState::NotSerialPort, PathKind::RegularFile, ""}, "not a serial port (a regular file)"},
        {{PortState::NotSerialPort, PathKind::Fifo, ""}, "not a serial port (a FIFO)"},
        {{PortState::NotSerialPort, PathKind::NoTerminalDevice, ""},
         "not a serial port (a character device that is no terminal)"},
        {{PortState::NotSerialPort, PathKind::SymlinkLoop, ""}, "not a serial port (a symbolic link loop)"},
    };
    for (const Case &c : cases) {
        FakePorts ports;
        ports.probes[FakePorts::Device(3)] = c.probe;
        const std::vector<std::string> lines = Lines(PortsTable(ports.map, ports.Prober()));
        ASSERT_GE(lines.size(), 4u) << c.state;
        const std::string &row = lines[3];  // COM3, under the header
        EXPECT_EQ(row.rfind("COM3  " + FakePorts::Device(3) + "  ", 0), 0u) << row;
        const size_t at = row.find(std::string("  ") + c.state + "  ");
        EXPECT_NE(at, std::string::npos) << "expected \"" << c.state << "\" in: " << row;
        EXPECT_EQ(row.substr(row.size() - 8), "source 3") << row;
    }
}

TEST(PortsTable, ColumnsAreAsWideAsTheirWidestEntry) {
    FakePorts ports;
    const std::string long_device = "/fake/a/device/path/longer/than/any/column/was/ever/meant/for";
    ports.map.ports.at(1).device = long_device;
    ports.probes[FakePorts::Device(5)] = {PortState::NotSerialPort, PathKind::NoTerminalDevice, ""};
    ports.map.left_over = {{"/fake/port8", "USB adapter"}};
    const std::vector<std::string> lines = Lines(PortsTable(ports.map, ports.Prober()));
    ASSERT_EQ(lines.size(), 1 + kormelt::SEARCH_LAST_PORT + 1);

    const std::string &header = lines[0];
    const size_t device_at = header.find("device");
    const size_t state_at = header.find("state");
    const size_t source_at = header.find("found as");
    ASSERT_NE(source_at, std::string::npos) << header;
    for (uint32_t n = kormelt::SEARCH_FIRST_PORT; n <= kormelt::SEARCH_LAST_PORT; ++n) {
        const std::string &row = lines[n];
        SCOPED_TRACE(row);
        const std::string &device = ports.map.Port(n).device;
        EXPECT_EQ(row.find(device), device_at);
        EXPECT_EQ(row.find_first_not_of(' ', device_at + device.size()), state_at);
        EXPECT_EQ(row.find("source " + std::to_string(n)), source_at);
        EXPECT_NE(row.back(), ' ') << "a row ends in blanks";
    }
    // Two blanks between columns, after the widest entry of each.
    EXPECT_EQ(state_at, device_at + long_device.size() + 2);
    EXPECT_EQ(source_at, lines[5].find("terminal)") + std::string("terminal)").size() + 2);
    EXPECT_EQ(lines.back(), "not searched (only COM1 to COM7 are): /fake/port8 (USB adapter)");
}

TEST(PortsTable, AdaptersShowWhatIsKnownOfThemAndOthersEndWhereTheyCameFrom) {
    FakePorts ports;
    ports.map.ports.at(0).identity = {"1-1.2:1.0", "0403", "6001", "A50285BI", "FTDI", "FT232R USB UART"};
    ports.map.ports.at(1).identity = {"1-4:1.0", "1a86", "7523", "", "", "USB Serial"};
    ports.map.left_over = {{"/fake/port8", "USB adapter", {"1-1.3:1.0", "", "", "X9", "", ""}}};
    const std::vector<std::string> lines = Lines(PortsTable(ports.map, ports.Prober()));
    ASSERT_EQ(lines.size(), 1 + kormelt::SEARCH_LAST_PORT + 1);
    const std::string &header = lines[0];
    const size_t location_at = header.find("location");
    ASSERT_NE(location_at, std::string::npos) << header;
    EXPECT_GT(location_at, header.find("found as"));
    struct Case {
        size_t line;
        std::vector<std::string> columns;  // from the location on
    };
    const std::vector<Case> cases = {
        {1, {"1-1.2:1.0", "0403:6001", "A50285BI", "FTDI FT232R USB UART"}},
        {2, {"1-4:1.0", "1a86:7523", "-", "USB Serial"}},  // what the adapter does not report
    };
    for (const Case &c : cases) {
        const std::string &row = lines[c.line];
        SCOPED_TRACE(row);
        EXPECT_EQ(row.find(c.columns[0]), location_at);
        size_t at = location_at;
        for (const std::string &column : c.columns) {
            const size_t found = row.find(column, at);
            ASSERT_NE(found, std::string::npos) << column;
            at = found + column.size();
        }
        EXPECT_EQ(at, row.size());
        EXPECT_EQ(row.find(c.columns[1]), header.find("usb id"));
    }
    EXPECT_EQ(lines[3].substr(lines[3].size() - 8), "source 3") << "a port without identity gets no blank columns";
    EXPECT_EQ(lines.back(), "not searched (only COM1 to COM7 are): /fake/port8 (USB adapter, at 1-1.3:1.0, serial X9)");
    // Without any identity there are no identity columns at all.
    EXPECT_EQ(Lines(PortsTable(FakePorts().map, FakePorts().Prober()))[0].find("location"), std::string::npos);
}

TEST(PortsTriedText, NamesEachPortWithItsDeviceAndWhyItGaveNoAnswer) {
    FakePorts ports;
    ports.probes[FakePorts::Device(2)] = {PortState::Missing, PathKind::Unknown, "No such file or directory"};
    ports.probes[FakePorts::Device(3)] = {PortState::NotSerialPort, PathKind::RegularFile, ""};
    ports.probes[FakePorts::Device(4)] = {PortState::NotSerialPort, PathKind::NoTerminalDevice, ""};
    ports.probes[FakePorts::Device(5)] = {PortState::InUse, PathKind::Unknown, "it holds the port's lock"};
    ports.probes[FakePorts::Device(6)] = {PortState::NoAccess, PathKind::Unknown, "Permission denied"};
    ports.probes[FakePorts::Device(7)] = {PortState::Unusable, PathKind::Unknown, "Input/output error"};
    EXPECT_EQ(PortsTriedText(ports.map, ports.Prober()),
              "COM1 /fake/port1 (no answer), COM2 /fake/port2 (missing), COM3 /fake/port3 (a regular file), "
              "COM4 /fake/port4 (a character device that is no terminal), "
              "COM5 /fake/port5 (in use by another program), COM6 /fake/port6 (no permission), "
              "COM7 /fake/port7 (cannot be opened)");
    EXPECT_EQ(ports.calls, static_cast<int>(kormelt::SEARCH_LAST_PORT));
}

TEST(PhaseFailureText, OnlyASearchThatFoundNothingProbesTheMapsPorts) {
    FakePorts ports;
    ports.probes[FakePorts::Device(1)] = {PortState::NotSerialPort, PathKind::Fifo, ""};
    const std::string text = PhaseFailureText(Phase::Search, KORMELT_STATUS_NOT_FOUND, 100, "fw.img", 0.1, ports.map,
                                              ports.Prober(), 0, ports.GoneCheck());
    EXPECT_NE(text.find("Tried: COM1 /fake/port1 (a FIFO), COM2 /fake/port2 (no answer)"), std::string::npos) << text;
    EXPECT_EQ(ports.calls, static_cast<int>(kormelt::SEARCH_LAST_PORT));

    // The other failures say nothing of the ports, and look at none.
    ports.calls = 0;
    for (const int32_t status :
         {KORMELT_STATUS_TIMEOUT, KORMELT_STATUS_WRITE, KORMELT_STATUS_CRC, KORMELT_STATUS_CANCELLED}) {
        const std::string other =
            PhaseFailureText(Phase::Erase, status, 28, "fw.img", 3.0, ports.map, ports.Prober(), 3, ports.GoneCheck());
        EXPECT_EQ(other.find("/fake/"), std::string::npos) << other;
    }
    EXPECT_EQ(ports.calls, 0);
}

TEST(PhaseFailureText, ALineThatFailedOnAPortThatLeftSaysThePortDisappeared) {
    struct Case {
        const char *what;
        Phase phase;
        int32_t status;
        double exchange_seconds;
        uint32_t port;      // where the device was found, 0 for nowhere
        bool gone;          // the port's device has left
        bool asked;         // whether it is asked if the device left
        const char *found;  // a part of the sentence expected
    };
    const char *const disappeared = "the port /fake/port3 disappeared";
    const Case cases[] = {
        {"write failed, port gone", Phase::Upload, KORMELT_STATUS_WRITE, 0.0, 3, true, true, disappeared},
        {"line failed at once, port gone", Phase::Upload, KORMELT_STATUS_TIMEOUT, 0.2, 3, true, true, disappeared},
        {"erase: line failed at once, port gone", Phase::Erase, KORMELT_STATUS_TIMEOUT, 0.1, 3, true, true,
         disappeared},
        {"restart: write failed, port gone", Phase::Restart, KORMELT_STATUS_WRITE, 0.0, 3, true, true, disappeared},
        {"write failed, port still there", Phase::Upload, KORMELT_STATUS_WRITE, 0.0, 3, false, true,
         "writing to the port failed"},
        {"line failed at once, port still there", Phase::Upload, KORMELT_STATUS_TIMEOUT, 0.2, 3, false, true,
         "the line failed after 0.2 s"},
        // A device silent for the whole timeout did not fail the line.
        {"silent device, port gone since", Phase::Upload, KORMELT_STATUS_TIMEOUT, 3.0, 3, true, false,
         "stopped answering"},
        {"damaged reply, port gone since", Phase::Upload, KORMELT_STATUS_CRC, 0.1, 3, true, false, "CRC error"},
        {"cancelled, port gone since", Phase::Upload, KORMELT_STATUS_CANCELLED, 0.1, 3, true, false, "Cancelled"},
        {"no port found yet", Phase::Upload, KORMELT_STATUS_WRITE, 0.0, 0, true, false, "writing to the port failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakePorts ports;
        if (c.gone) {
            ports.gone.insert(FakePorts::Device(3));
        }
        const std::string text = PhaseFailureText(c.phase, c.status, 38, "fw.img", c.exchange_seconds, ports.map,
                                                  ports.Prober(), c.port, ports.GoneCheck());
        EXPECT_NE(text.find(c.found), std::string::npos) << text;
        const bool says_gone = text.find("disappeared") != std::string::npos;
        EXPECT_EQ(says_gone, c.found == disappeared) << text;
        if (says_gone) {
            EXPECT_NE(text.find("(status " + std::to_string(c.status) + ")"), std::string::npos) << text;
            EXPECT_NE(text.find("check that /fake/port3 is back"), std::string::npos) << text;
        }
        EXPECT_EQ(ports.asked_gone,
                  c.asked ? std::vector<std::string>{FakePorts::Device(3)} : std::vector<std::string>{});
        EXPECT_EQ(ports.calls, 0) << "a failure after the search probed the ports";
    }
}

}  // namespace
