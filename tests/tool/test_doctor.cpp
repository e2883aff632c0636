// The checks of `kormelt doctor` on a tree of the test's own: /dev entries
// that lead to pseudo-terminals or are regular files, /proc with processes
// of its own making (comm, fd links, fdinfo), /sys with consoles and latency
// timers. Users and groups, and where a case needs it the probe, are fakes:
// nothing of this machine's serial ports is looked at.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/api.h"
#include "link/port_name.h"
#include "tests/support/pty.h"
#include "tools/kormelt/doctor.h"
#include "tools/kormelt/doctor_system.h"
#include "tools/kormelt/exit_codes.h"
#include "tools/kormelt/port_map.h"

using namespace kormelt::tool;

namespace {

constexpr uint32_t USER_GID = 1000;
constexpr int32_t OTHER_PID = 4242;
constexpr int32_t SERVICE_PID = 812;

class DoctorTree {
public:
    DoctorTree() {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kormelt-doctor-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            ADD_FAILURE() << "no temporary directory";
            return;
        }
        root = templ;
        for (const char *dir : {"/dev", "/dev/serial", "/dev/serial/by-id", "/proc", "/sys/class/tty/console",
                                "/sys/bus/usb-serial/devices"}) {
            std::filesystem::create_directories(root + dir);
        }
        user = {"alice", USER_GID, USER_GID, {USER_GID}};
    }
    ~DoctorTree() {
        std::error_code error;
        std::filesystem::remove_all(root, error);
        EXPECT_FALSE(error) << error.message();
    }
    DoctorTree(const DoctorTree &) = delete;
    DoctorTree &operator=(const DoctorTree &) = delete;

    // dev/<name> leads to a pseudo-terminal of its own, which becomes the
    // device checked.
    std::string Device(const std::string &name) {
        ptys_.push_back(std::make_unique<Pty>());
        pty = ptys_.back()->path();
        EXPECT_FALSE(pty.empty());
        port = Dev(name);
        Link("/dev/" + name, pty);
        return port;
    }
    std::string Dev(const std::string &name) const { return root + "/dev/" + name; }
    void Link(const std::string &path, const std::string &target) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        EXPECT_EQ(symlink(target.c_str(), (root + path).c_str()), 0) << path;
    }
    void Write(const std::string &path, const std::string &text) {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        std::ofstream file(root + path);
        file << text;
        EXPECT_TRUE(file.good()) << path;
    }
    // A process of the fake /proc with its descriptors leading to targets.
    void Process(int32_t pid, const std::string &comm, const std::map<int, std::string> &fds = {}) {
        const std::string dir = "/proc/" + std::to_string(pid);
        Write(dir + "/comm", comm + "\n");
        std::filesystem::create_directories(root + dir + "/fd");
        for (const auto &[fd, target] : fds) {
            Link(dir + "/fd/" + std::to_string(fd), target);
        }
    }
    uint32_t PtyIndex() const { return static_cast<uint32_t>(std::stoul(pty.substr(pty.find_last_of('/') + 1))); }
    uint32_t DeviceGid() const {
        struct stat info {};
        EXPECT_EQ(stat(pty.c_str(), &info), 0);
        return info.st_gid;
    }

    std::vector<DoctorCheck> Checks(const PortMap &map) {
        const PortProber prober = [this](const std::string &device) {
            const auto found = probes.find(device);
            return found != probes.end() ? found->second : ProbePort(device);
        };
        Accounts accounts{[this] { return user; },
                          [this](uint32_t gid) -> std::optional<GroupFacts> {
                              const auto found = groups.find(gid);
                              return found != groups.end() ? std::optional<GroupFacts>(found->second) : std::nullopt;
                          }};
        return LocalChecks(map, SystemView{root, prober, accounts, static_cast<int32_t>(getpid())});
    }
    std::vector<DoctorCheck> Checks() {
        std::string error;
        return Checks(*PointSearchAtDevice(port, &error));
    }

    std::string root;
    std::string port;  // the device checked
    std::string pty;   // where the last Device leads
    UserFacts user;
    std::map<uint32_t, GroupFacts> groups;
    std::map<std::string, PortProbe> probes;

private:
    std::vector<std::unique_ptr<Pty>> ptys_;
};

std::string Replaced(std::string text, const DoctorTree &tree) {
    for (size_t at; (at = text.find("{root}")) != std::string::npos;) {
        text.replace(at, 6, tree.root);
    }
    return text;
}

const char *Word(Verdict verdict) {
    return verdict == Verdict::Ok ? "ok" : verdict == Verdict::Warning ? "warning" : "problem";
}

std::string Shown(const std::vector<DoctorCheck> &checks) {
    std::string text;
    for (const DoctorCheck &check : checks) {
        text += DoctorCheckText(check);
    }
    return text;
}

TEST(DoctorChecks, EachCheckOnAFakeTree) {
    struct Case {
        const char *what;
        std::function<void(DoctorTree &)> setup;
        const char *check;
        std::optional<Verdict> result;  // none: the check gives no line
        std::vector<std::string> words;  // found in the detail or the fix; {root} is the tree
    };
    const PortProbe denied{PortState::NoAccess, PathKind::Unknown, "Permission denied"};
    const auto device = [](DoctorTree &tree) { tree.Device("ttyUSB0"); };
    const auto not_in_dialout = [denied](DoctorTree &tree) {
        tree.Device("ttyUSB0");
        tree.probes[tree.port] = denied;
        tree.groups[tree.DeviceGid()] = {"dialout", {"bob"}};
    };
    const std::vector<Case> cases = {
        {"a device that exists", device, "exists", Verdict::Ok, {"exists, a character device"}},
        {"a path with nothing there", [](DoctorTree &tree) { tree.port = tree.Dev("ttyUSB9"); }, "exists",
         Verdict::Problem, {"does not exist", "Plug the adapter in"}},
        {"a link to a device that is gone",
         [](DoctorTree &tree) {
             tree.Link("/dev/serial/by-id/usb-Gone-if00", "../../ttyUSB7");
             tree.port = tree.root + "/dev/serial/by-id/usb-Gone-if00";
         },
         "exists", Verdict::Problem, {"a symbolic link to ../../ttyUSB7, which does not exist"}},
        {"a link loop",
         [](DoctorTree &tree) {
             tree.Link("/dev/ttyA", tree.Dev("ttyB"));
             tree.Link("/dev/ttyB", tree.Dev("ttyA"));
             tree.port = tree.Dev("ttyA");
         },
         "exists", Verdict::Problem, {"a symbolic link loop"}},

        {"a pseudo-terminal is a terminal", device, "terminal", Verdict::Ok, {"a terminal"}},
        {"a regular file",
         [](DoctorTree &tree) {
             tree.Write("/dev/ttyUSB0", "");
             tree.port = tree.Dev("ttyUSB0");
         },
         "terminal", Verdict::Problem, {"not a serial port: a regular file", "kormelt ports"}},
        {"a character device that is no terminal",
         [](DoctorTree &tree) {
             tree.Link("/dev/ttyUSB0", "/dev/null");
             tree.port = tree.Dev("ttyUSB0");
         },
         "terminal", Verdict::Problem, {"a character device that is no terminal"}},
        {"a device this user cannot open has no terminal line", not_in_dialout, "terminal", std::nullopt, {}},

        {"a device this user may open", device, "access", Verdict::Ok, {"alice may open it"}},
        {"the user is not in the device's group", not_in_dialout, "access", Verdict::Problem,
         {"alice may not open it (Permission denied)", "group dialout, which alice is not in",
          "`sudo usermod -aG dialout alice`", "log out and in again"}},
        {"the user was added to the group after the login",
         [denied](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.probes[tree.port] = denied;
             tree.groups[tree.DeviceGid()] = {"dialout", {"bob", "alice"}};
         },
         "access", Verdict::Problem, {"which alice was added to after this login", "newgrp dialout"}},
        {"the group the user is in may not read and write",
         [denied](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             ASSERT_EQ(chmod(tree.pty.c_str(), 0640), 0);
             tree.probes[tree.port] = denied;
             tree.groups[tree.DeviceGid()] = {"dialout", {}};
             tree.user.process_groups.push_back(tree.DeviceGid());
         },
         "access", Verdict::Problem, {"alice is in its group dialout", "(mode 0640)", "MODE=\"0660\""}},
        {"refused although group and mode allow it",
         [denied](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             ASSERT_EQ(chmod(tree.pty.c_str(), 0660), 0);
             tree.probes[tree.port] = denied;
             tree.groups[tree.DeviceGid()] = {"dialout", {}};
             tree.user.process_groups.push_back(tree.DeviceGid());
         },
         "access", Verdict::Problem, {"although it belongs to group dialout, which alice is in", "getfacl"}},
        {"a group the database does not know is named by number",
         [denied](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.probes[tree.port] = denied;
         },
         "access", Verdict::Problem, {"it belongs to group "}},
        {"a name with no device behind it",
         [](DoctorTree &tree) {
             tree.Device("ttyS3");
             tree.probes[tree.port] = {PortState::Missing, PathKind::Unknown, "No such device or address"};
         },
         "access", Verdict::Problem, {"no device answers behind the name (No such device or address)"}},
        {"a device that fails to open",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.probes[tree.port] = {PortState::Unusable, PathKind::Unknown, "Input/output error"};
         },
         "access", Verdict::Problem, {"cannot be opened (Input/output error)", "plug it in again"}},

        {"nobody else has it open", device, "holders", Verdict::Ok, {"no other process has it open"}},
        {"another process has it open",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(OTHER_PID, "screen", {{0, "/dev/null"}, {3, tree.pty}, {4, "socket:[123]"}});
             tree.Process(OTHER_PID + 1, "bash", {{0, "/dev/null"}});
         },
         "holders", Verdict::Problem, {"open in screen (PID 4242)", "`kill 4242`"}},
        {"a holder that opened it by another name",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(OTHER_PID, "minicom", {{5, tree.Dev("ttyUSB0")}});
         },
         "holders", Verdict::Problem, {"open in minicom (PID 4242)"}},
        {"a service that holds it is to be stopped as a service",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(SERVICE_PID, "ModemManager", {{7, tree.pty}});
         },
         "holders", Verdict::Problem, {"open in ModemManager (PID 812)", "stop the service"}},
        {"this process itself is no holder",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(static_cast<int32_t>(getpid()), "kormelt", {{3, tree.pty}});
         },
         "holders", Verdict::Ok, {"no other process has it open"}},
        {"the far end of a pseudo-terminal is no holder",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(OTHER_PID, "kormelt-sim", {{3, "/dev/ptmx"}, {4, tree.pty}});
             tree.Write("/proc/4242/fdinfo/3", "pos:\t0\nflags:\t02\ntty-index:\t" +
                                                   std::to_string(tree.PtyIndex()) + "\n");
         },
         "holders", Verdict::Ok, {"kormelt-sim (PID 4242) holds the other end of the pseudo-terminal"}},
        {"the master of another pseudo-terminal does not make a far end",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(OTHER_PID, "kormelt-sim", {{3, "/dev/ptmx"}, {4, tree.pty}});
             tree.Write("/proc/4242/fdinfo/3", "tty-index:\t" + std::to_string(tree.PtyIndex() + 1) + "\n");
         },
         "holders", Verdict::Problem, {"open in kormelt-sim (PID 4242)"}},
        {"locked by a process this user cannot see",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.probes[tree.port] = {PortState::InUse, PathKind::Unknown, "it holds the port's lock"};
         },
         "holders", Verdict::Problem,
         {"another program holds it (it holds the port's lock)", "sudo kormelt doctor --port {root}/dev/ttyUSB0"}},

        {"a port that is no console", device, "console", Verdict::Ok, {"not the system console"}},
        {"the console by /sys/class/tty/console/active",
         [](DoctorTree &tree) {
             tree.Device("ttyS0");
             tree.Write("/sys/class/tty/console/active", "tty0 ttyS0\n");
         },
         "console", Verdict::Problem, {"the system console (ttyS0)", "console=ttyS0"}},
        {"the console by /proc/consoles",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Write("/proc/consoles", "tty0                 -WU (EC p  )    4:1\nttyUSB0   -W- (E  p  )  188:0\n");
         },
         "console", Verdict::Problem, {"the system console (ttyUSB0)"}},

        {"a driver without a latency timer gives no line", device, "latency_timer", std::nullopt, {}},
        {"a latency timer of 1 ms",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Write("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "1\n");
         },
         "latency_timer", Verdict::Ok, {"latency timer 1 ms"}},
        {"a latency timer of 16 ms, the adapter reached by its by-id link",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Link("/dev/serial/by-id/usb-Maker_Serial-if00-port0", "../../ttyUSB0");
             tree.port = tree.root + "/dev/serial/by-id/usb-Maker_Serial-if00-port0";
             tree.Write("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer", "16\n");
         },
         "latency_timer", Verdict::Warning,
         {"latency timer 16 ms", "`echo 1 | sudo tee {root}/sys/bus/usb-serial/devices/ttyUSB0/latency_timer`"}},

        {"no ModemManager", device, "modem_manager", Verdict::Ok, {"not running"}},
        {"ModemManager running",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(SERVICE_PID, "ModemManager");
         },
         "modem_manager", Verdict::Warning,
         {"running (PID 812)", "sudo systemctl stop ModemManager", "ID_MM_DEVICE_IGNORE"}},
        {"no brltty", device, "brltty", Verdict::Ok, {"not running"}},
        {"brltty running",
         [](DoctorTree &tree) {
             tree.Device("ttyUSB0");
             tree.Process(SERVICE_PID, "brltty");
         },
         "brltty", Verdict::Warning, {"running (PID 812)", "brltty.service"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DoctorTree tree;
        c.setup(tree);
        const std::vector<DoctorCheck> checks = tree.Checks();
        std::vector<const DoctorCheck *> found;
        for (const DoctorCheck &check : checks) {
            if (check.check == c.check) {
                found.push_back(&check);
            }
        }
        if (!c.result) {
            EXPECT_TRUE(found.empty()) << Shown(checks);
            continue;
        }
        ASSERT_EQ(found.size(), 1u) << Shown(checks);
        const DoctorCheck &check = *found[0];
        EXPECT_EQ(Word(check.result), std::string(Word(*c.result))) << DoctorCheckText(check);
        EXPECT_EQ(check.fix.empty(), check.result == Verdict::Ok) << DoctorCheckText(check);
        for (const std::string &word : c.words) {
            EXPECT_NE((check.detail + " " + check.fix).find(Replaced(word, tree)), std::string::npos)
                << word << " in " << DoctorCheckText(check);
        }
    }
}

TEST(DoctorChecks, AHealthyPortPassesEveryCheckAndExitsZero) {
    DoctorTree tree;
    tree.Device("ttyUSB0");
    tree.Process(OTHER_PID, "bash", {{0, "/dev/null"}});
    const std::vector<DoctorCheck> checks = tree.Checks();
    std::vector<std::string> names;
    for (const DoctorCheck &check : checks) {
        names.push_back(check.check);
        EXPECT_EQ(check.result, Verdict::Ok) << DoctorCheckText(check);
    }
    const std::vector<std::string> expected = {"exists",  "terminal",      "access", "holders",
                                               "console", "modem_manager", "brltty"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(DoctorExitCode(Tally(checks)), EXIT_OK);
}

TEST(DoctorChecks, AProblemFailsTheRunAndAWarningDoesNot) {
    DoctorTree tree;
    tree.Device("ttyUSB0");
    tree.Process(SERVICE_PID, "ModemManager");
    const DoctorTally warned = Tally(tree.Checks());
    EXPECT_EQ(warned.warnings, 1u);
    EXPECT_EQ(warned.problems, 0u);
    EXPECT_EQ(DoctorExitCode(warned), EXIT_OK);

    tree.Process(OTHER_PID, "screen", {{3, tree.pty}});
    const DoctorTally failed = Tally(tree.Checks());
    EXPECT_EQ(failed.problems, 1u);
    EXPECT_EQ(DoctorExitCode(failed), EXIT_DOCTOR);
    EXPECT_NE(EXIT_DOCTOR, EXIT_SYSTEM);
}

TEST(DoctorChecks, ThePortMapHasNothingToSearchOrMoreDevicesThanPorts) {
    DoctorTree tree;
    PortMap map;
    for (MappedPort &port : map.ports) {
        port = {kormelt::NO_PORT_PATH, "no serial device found for it"};
    }
    std::vector<DoctorCheck> checks = tree.Checks(map);
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(checks[0].check, "ports");
    EXPECT_EQ(checks[0].result, Verdict::Problem);
    EXPECT_EQ(DoctorExitCode(Tally(checks)), EXIT_DOCTOR);

    map.ports[2] = {tree.Device("ttyUSB0"), "USB adapter"};
    map.left_over = {{"/dev/ttyACM2", "ACM adapter"}};
    checks = tree.Checks(map);
    EXPECT_EQ(checks[0].check, "not_searched");
    EXPECT_EQ(checks[0].result, Verdict::Warning);
    EXPECT_NE(checks[0].fix.find("--port /dev/ttyACM2"), std::string::npos) << checks[0].fix;
    for (const DoctorCheck &check : checks) {
        EXPECT_NE(check.check, "ports");
        EXPECT_TRUE(check.port == 0 || check.port == 3) << DoctorCheckText(check);  // COM3 alone has a device
    }
    EXPECT_EQ(DoctorExitCode(Tally(checks)), EXIT_OK);
}

TEST(DoctorChecks, NoHolderSeenIsNotClaimedWhereOtherUsersProcessesAreHidden) {
    DeviceFacts device;
    device.path = "/dev/ttyUSB0";
    device.presence = Presence::Present;
    device.kind = PathKind::CharacterDevice;
    device.char_device = true;
    device.probe = {PortState::Free, PathKind::Unknown, ""};
    const Accounts accounts{[] { return UserFacts{"alice", USER_GID, USER_GID, {USER_GID}}; },
                            [](uint32_t) { return std::optional<GroupFacts>(); }};
    MachineFacts machine;
    machine.hidden_processes = 3;
    for (const DoctorCheck &check : PortChecks(1, device, machine, accounts)) {
        if (check.check == "holders") {
            EXPECT_EQ(check.result, Verdict::Ok);
            EXPECT_EQ(check.detail,
                      "no process this user can see has it open (the files of 3 processes of other users show to "
                      "root only)");
            return;
        }
    }
    ADD_FAILURE() << "no holders line";
}

TEST(DoctorChecks, TheSearchNamesWhereTheDeviceAnsweredOrWhatWasTried) {
    std::string error;
    const PortMap map = *PointSearchAtDevice("/dev/pts/7", &error);
    const DoctorCheck found = SearchCheck(KORMELT_STATUS_OK, 1, map);
    EXPECT_EQ(found.result, Verdict::Ok);
    EXPECT_EQ(found.detail, "the device answered on COM1 (/dev/pts/7)");
    EXPECT_EQ(found.port, 1u);

    const DoctorCheck silent = SearchCheck(KORMELT_STATUS_NOT_FOUND, 0, map);
    EXPECT_EQ(silent.result, Verdict::Problem);
    EXPECT_EQ(silent.detail, "no device answered on COM1 (/dev/pts/7) (status 13)");
    EXPECT_FALSE(silent.fix.empty());
}

TEST(DoctorChecks, LinesForPeopleAndForMachines) {
    const DoctorCheck problem{"holders", 2, "/dev/ttyUSB0", Verdict::Problem, "open in screen (PID 7)", "Quit it."};
    EXPECT_EQ(DoctorCheckText(problem),
              "problem  COM2 /dev/ttyUSB0: open in screen (PID 7). Fix: Quit it.\n");
    EXPECT_EQ(DoctorCheckJson(problem),
              "{\"event\":\"check\",\"check\":\"holders\",\"port\":\"COM2\",\"path\":\"/dev/ttyUSB0\","
              "\"result\":\"problem\",\"detail\":\"open in screen (PID 7)\",\"fix\":\"Quit it.\"}\n");
    const DoctorCheck ok{"modem_manager", 0, "", Verdict::Ok, "not running", ""};
    EXPECT_EQ(DoctorCheckText(ok), "ok       ModemManager: not running\n");
    EXPECT_EQ(DoctorCheckJson(ok), "{\"event\":\"check\",\"check\":\"modem_manager\",\"port\":null,\"path\":null,"
                                   "\"result\":\"ok\",\"detail\":\"not running\",\"fix\":null}\n");
    EXPECT_EQ(DoctorSummaryJson({3, 1, 0}), "{\"event\":\"summary\",\"result\":\"warning\",\"ok\":3,\"warnings\":1,"
                                            "\"problems\":0,\"exit_code\":0}\n");
    EXPECT_EQ(DoctorSummaryText({3, 1, 0}), "doctor: no problem found; 1 warning, 3 ok\n");
    EXPECT_EQ(DoctorSummaryText({3, 0, 2}), "doctor: 2 problems, 0 warnings, 3 ok\n");
}

}  // namespace
