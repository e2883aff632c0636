// Exchange overhead (a) and line efficiency (b) against the simulator.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "device/api.h"
#include "protocol/crc16.h"
#include "protocol/frame_codec.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_process.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t UPLOAD_BYTES = 64 * 1024;  // the image, its CRC included
constexpr size_t PACKET_DATA_BYTES = 128;
constexpr size_t UPLOAD_PACKETS = UPLOAD_BYTES / PACKET_DATA_BYTES;
constexpr int EXCHANGE_ROUNDS = 3;             // best of
constexpr double LINE_BYTES_PER_S = 19200 / 10.0;  // 8N1: ten bit times a byte
constexpr uint8_t ERASE_BLOCKS = 7;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

Bytes MakeImage() {
    Bytes image(UPLOAD_BYTES - 2);
    uint32_t x = 99;
    for (uint8_t &b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    const uint16_t crc = kormelt::CrcBlock(image.data(), image.size());
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    return image;
}

std::string WriteImage(const std::string &dir, const Bytes &image) {
    const std::string path = dir + "/kormelt-bench-64KiB.bin";
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size() ||
        std::fclose(file) != 0) {
        Fail("cannot write " + path);
    }
    return path;
}

Bytes Frame(const Bytes &payload) {
    Bytes frame(kormelt::FRAME_TX_CAPACITY);
    frame.resize(kormelt::FrameEncode(payload.data(), payload.size(), frame.data(), frame.size()));
    return frame;
}

// The plainest loop that does the same exchange: write a frame built once,
// read the reply with blocking reads until its closing flag.
double ReferenceSecondsPerExchange(const std::string &tty, const Bytes &frame) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot open " + tty);
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        Fail("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        Fail("tcsetattr");
    }
    const Clock::time_point start = Clock::now();
    for (size_t k = 0; k < UPLOAD_PACKETS; ++k) {
        if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
            Fail("reference write");
        }
        int flags = 0;
        while (flags < 2) {
            uint8_t buffer[64];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                Fail("reference read");
            }
            for (ssize_t i = 0; i < n; ++i) {
                flags += buffer[i] == kormelt::FRAME_FLAG;
            }
        }
    }
    const double seconds = Seconds(start) / UPLOAD_PACKETS;
    close(fd);  // nothing was written that a close could lose
    return seconds;
}

}  // namespace

ExchangeFigures RunExchangeBenchmark(const std::string &dir) {
    const std::string image = WriteImage(dir, MakeImage());
    SimProcess sim;
    if (!sim.ok()) {
        Fail("simulator: " + sim.error());
    }
    for (const auto &[name, value] : PortsWithCom3(sim.path())) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    ExchangeFigures f{1e9, 1e9};
    for (int round = 0; round < EXCHANGE_ROUNDS; ++round) {
        if (KORMELT_Open(nullptr) != STATUS_OK) {
            Fail("the library did not find the simulator");
        }
        const Clock::time_point start = Clock::now();
        const int32_t status = KORMELT_Programm(image.c_str(), nullptr);
        f.library_s = std::min(f.library_s, Seconds(start) / UPLOAD_PACKETS);
        KORMELT_Close();
        if (status != STATUS_OK) {
            Fail("upload failed with " + std::to_string(status));
        }
        Bytes packet{0x03, 0, 0, 0, 0};
        packet.resize(5 + PACKET_DATA_BYTES, 0x5A);
        f.reference_s = std::min(f.reference_s, ReferenceSecondsPerExchange(sim.path(), Frame(packet)));
    }
    std::remove(image.c_str());
    return f;
}

double WireBoundSeconds(const Bytes &image) {
    // Every request and every reply crosses the line once; the simulator
    // answers erase, program and restart with the command and a 0 byte.
    size_t bytes = 0;
    for (uint8_t block : {11, 10, 9, 8, 7, 6, 0}) {
        bytes += Frame({0x02, block}).size() + Frame({0x02, 0x00}).size();
    }
    for (size_t address = 0; address < image.size(); address += PACKET_DATA_BYTES) {
        Bytes packet{0x03, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
        packet.insert(packet.end(), image.begin() + static_cast<long>(address),
                      image.begin() + static_cast<long>(address + PACKET_DATA_BYTES));
        bytes += Frame(packet).size() + Frame({0x03, 0x00}).size();
    }
    bytes += Frame({0x01}).size() + Frame({0x01, 0x00}).size();
    return static_cast<double>(bytes) / LINE_BYTES_PER_S;
}

UpdateFigures RunUpdateBenchmark(const std::string &dir, const HostSetup &host, bool paced) {
    const Bytes image = MakeImage();
    const std::string image_path = WriteImage(dir, image);
    std::vector<std::string> sim_options = {"--link", host.com3_link};
    if (paced) {
        // Awake all the time, so that only the host's own delays separate
        // the update from the wire time.
        sim_options.insert(sim_options.end(), {"--paced", "--spin"});
    }
    SimProcess sim(sim_options);
    if (!sim.ok()) {
        Fail("simulator: " + sim.error());
    }
    std::vector<std::string> args = host.launcher;
    args.insert(args.end(), {host.host, host.library, host.to_host_path(image_path), "--time"});
    auto environment = PortsWithCom3(host.com3_link);
    environment.insert(environment.end(), host.environment.begin(), host.environment.end());
    const ProgramResult run = RunProgram(args, environment);
    std::remove(image_path.c_str());

    UpdateFigures f{};
    f.bound_s = WireBoundSeconds(image);
    std::istringstream lines(run.output);
    bool all_ok = true;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string call;
        words >> call;
        if (call == "timing") {
            words >> f.wall_s >> f.cpu_s;
        } else if (call == "erase" || call == "programm" || call == "restart" || call == "open") {
            int status = -1;
            words >> status;
            all_ok = all_ok && status == STATUS_OK;
        }
    }
    if (run.exit_code != 0 || !all_ok || f.wall_s <= 0) {
        Fail("update against the simulator failed:\n" + run.output);
    }
    return f;
}

}  // namespace bench
