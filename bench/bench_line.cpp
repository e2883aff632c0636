// Exchange overhead (a), line efficiency (b), what an adapter's latency
// timer costs (d) and an update over rfc2217 (r), against the simulator.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "device/api.h"
#include "protocol/crc16.h"
#include "protocol/frame_codec.h"
#include "protocol/protocol.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_process.h"
#include "bench/ser2net_process.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t UPLOAD_BYTES = 64 * 1024;  // the image, its CRC included
// The exchange figure alternates the library and the reference loop in short
// blocks, so that both meet the same state of a busy machine, and compares
// each pair of neighbouring blocks.
constexpr size_t BLOCK_PACKETS = 64;
constexpr int EXCHANGE_ROUNDS = 25;  // pairs of blocks

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Bytes RandomBytes(size_t count) {
    Bytes bytes(count);
    uint32_t x = 99;
    for (uint8_t &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

Bytes MakeImage() {
    Bytes image = RandomBytes(UPLOAD_BYTES - 2);
    const uint16_t crc = kormelt::CrcBlock(image.data(), image.size());
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    return image;
}

std::string WriteImage(const std::string &dir, const Bytes &image) {
    const std::string path = dir + "/kormelt-bench-" + std::to_string(image.size()) + ".bin";
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

// The program request that carries the packet of image at address.
Bytes ProgramRequest(const Bytes &image, size_t address) {
    Bytes request(kormelt::PROGRAM_REQUEST_BYTES, kormelt::ERASED_FLASH_BYTE);
    request[kormelt::COMMAND_OFFSET] = kormelt::CMD_PROGRAM;
    kormelt::PutPacketAddress(request.data(), static_cast<uint32_t>(address));
    const size_t end = std::min(image.size(), address + kormelt::PACKET_DATA_BYTES);
    std::copy(image.begin() + static_cast<long>(address), image.begin() + static_cast<long>(end),
              request.begin() + kormelt::PACKET_DATA_OFFSET);
    return request;
}

// The plainest loop that makes the same exchanges: the same request frames
// (built beforehand), each written in one write, the reply read with
// blocking reads until its closing flag.
double ReferenceSecondsPerExchange(const std::string &tty, const std::vector<Bytes> &frames) {
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
    for (const Bytes &frame : frames) {
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
    const double seconds = Seconds(start) / static_cast<double>(frames.size());
    close(fd);  // nothing was written that a close could lose
    return seconds;
}

double LibrarySecondsPerExchange(const std::string &image_path) {
    if (KORMELT_Open(nullptr) != KORMELT_STATUS_OK) {
        Fail("the library did not find the simulator");
    }
    const Clock::time_point start = Clock::now();
    const int32_t status = KORMELT_Programm(image_path.c_str(), nullptr);
    const double seconds = Seconds(start) / BLOCK_PACKETS;
    KORMELT_Close();
    if (status != KORMELT_STATUS_OK) {
        Fail("upload failed with " + std::to_string(status));
    }
    return seconds;
}

}  // namespace

ExchangeFigures RunExchangeBenchmark(const std::string &dir) {
    const Bytes image = RandomBytes(BLOCK_PACKETS * kormelt::PACKET_DATA_BYTES);
    const std::string image_path = WriteImage(dir, image);
    std::vector<Bytes> frames;
    for (size_t address = 0; address < image.size(); address += kormelt::PACKET_DATA_BYTES) {
        frames.push_back(Frame(ProgramRequest(image, address)));
    }
    SimProcess sim;
    if (!sim.ok()) {
        Fail("simulator: " + sim.error());
    }
    for (const auto &[name, value] : PortsWithCom3(sim.path())) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<double> library;
    std::vector<double> reference;
    std::vector<double> ratios;
    for (int round = 0; round < EXCHANGE_ROUNDS; ++round) {
        // Each goes first in every other round.
        double library_s = 0;
        double reference_s = 0;
        if (round % 2 == 0) {
            library_s = LibrarySecondsPerExchange(image_path);
            reference_s = ReferenceSecondsPerExchange(sim.path(), frames);
        } else {
            reference_s = ReferenceSecondsPerExchange(sim.path(), frames);
            library_s = LibrarySecondsPerExchange(image_path);
        }
        library.push_back(library_s);
        reference.push_back(reference_s);
        ratios.push_back(library_s / reference_s);
    }
    std::remove(image_path.c_str());
    return {Median(library), Median(reference), Median(ratios)};
}

double WireBoundSeconds(const Bytes &image) {
    // Every request and every reply crosses the line once; the simulator
    // answers erase, program and restart with the command and a 0 byte.
    size_t bytes = 0;
    for (const uint8_t block : kormelt::ERASE_BLOCKS) {
        bytes += Frame({kormelt::CMD_ERASE, block}).size() + Frame({kormelt::CMD_ERASE, 0x00}).size();
    }
    for (size_t address = 0; address < image.size(); address += kormelt::PACKET_DATA_BYTES) {
        bytes += Frame(ProgramRequest(image, address)).size() + Frame({kormelt::CMD_PROGRAM, 0x00}).size();
    }
    bytes += Frame({kormelt::CMD_RESTART}).size() + Frame({kormelt::CMD_RESTART, 0x00}).size();
    return static_cast<double>(bytes) / kormelt::LINE_BYTES_PER_SECOND;
}

namespace {

// Runs the test host's update with COM3 leading to com3, and reads its
// figures against the wire time of the image.
UpdateFigures TimedUpdate(const HostSetup &host, const Bytes &image, const std::string &image_path,
                          const std::string &com3) {
    std::vector<std::string> args = host.launcher;
    args.insert(args.end(), {host.host, host.library, host.to_host_path(image_path), "--time"});
    auto environment = PortsWithCom3(com3);
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
            all_ok = all_ok && status == KORMELT_STATUS_OK;
        }
    }
    if (run.exit_code != 0 || !all_ok || f.wall_s <= 0) {
        Fail("update against the simulator failed:\n" + run.output);
    }
    return f;
}

// A TCP port on 127.0.0.1 that nobody listens on at the moment of asking.
uint16_t FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        Fail("no free port on the loopback");
    }
    close(fd);  // nothing was sent
    return ntohs(address.sin_port);
}

}  // namespace

UpdateFigures RunUpdateBenchmark(const std::string &dir, const HostSetup &host, bool paced, uint32_t latency_ms) {
    const Bytes image = MakeImage();
    const std::string image_path = WriteImage(dir, image);
    std::vector<std::string> sim_options = {"--link", host.com3_link};
    if (paced) {
        // Awake all the time, so that only the host's own delays separate
        // the update from the wire time.
        sim_options.insert(sim_options.end(), {"--paced", "--spin"});
    }
    if (latency_ms > 0) {
        sim_options.insert(sim_options.end(), {"--latency-ms", std::to_string(latency_ms)});
    }
    SimProcess sim(sim_options);
    if (!sim.ok()) {
        Fail("simulator: " + sim.error());
    }
    return TimedUpdate(host, image, image_path, host.com3_link);
}

UpdateFigures RunRemoteUpdateBenchmark(const std::string &dir, const HostSetup &host, bool chardelay) {
    const Bytes image = MakeImage();
    const std::string image_path = WriteImage(dir, image);
    SimProcess sim({"--paced", "--spin"});
    if (!sim.ok()) {
        Fail("simulator: " + sim.error());
    }
    // Starting slower than the library's line, so that only its settings
    // make the line right.
    Ser2netProcess server(dir, sim.path(), FreeLoopbackPort(), "9600n81", chardelay);
    if (!server.ok()) {
        Fail("ser2net did not start listening (is it installed?)");
    }
    return TimedUpdate(host, image, image_path, server.url());
}

}  // namespace bench
