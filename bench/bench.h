// Benchmarks of the library against the line-rate limit. They print figures;
// nothing here passes or fails on speed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

[[noreturn]] void Fail(const std::string &what);

struct CrcFigures {
    double mib;
    double library_s;
    double boost_s;
};
CrcFigures RunCrcBenchmark(const std::string &dir);

// Seconds per 133-byte upload exchange against the unpaced simulator: the
// medians over alternating blocks of each, and the median of the ratios of
// neighbouring blocks.
struct ExchangeFigures {
    double library_s;
    double reference_s;
    double ratio;
};
ExchangeFigures RunExchangeBenchmark(const std::string &dir);

// How the test host runs on one platform.
struct HostSetup {
    std::vector<std::string> launcher;  // e.g. the Wine loader; empty natively
    std::string host;                   // the test host program
    std::string library;                // as the host names it
    std::string com3_link;              // where the host's COM3 leads
    std::vector<std::pair<std::string, std::string>> environment;
    std::function<std::string(const std::string &)> to_host_path;
};

// Erase, 64 KiB upload and restart against the simulator paced at 19200 baud.
struct UpdateFigures {
    double bound_s;  // wire time of every byte that crossed, both directions
    double wall_s;
    double cpu_s;    // of the host process
};
// paced: the simulator at 19200 baud 8N1, else as fast as the pty goes;
// latency_ms: what the simulated adapter's latency timer holds each reply
// (0 for none).
UpdateFigures RunUpdateBenchmark(const std::string &dir, const HostSetup &host, bool paced, uint32_t latency_ms);

// The same update with the paced simulator behind ser2net on the loopback,
// the host's COM3 an rfc2217:// port: the wire-bound ratio over the network;
// chardelay: ser2net's holding of the device's bytes (its default) on.
UpdateFigures RunRemoteUpdateBenchmark(const std::string &dir, const HostSetup &host, bool chardelay);

// One `kormelt station` run against that many simulators paced at 19200
// baud, each updated with the same 8 KiB image.
struct StationFigures {
    size_t devices;
    double wall_s;
    double station_cpu_s;  // the station process alone, as its summary says
    double workers_cpu_s;
};
std::vector<StationFigures> RunStationBenchmark(const std::string &dir, const std::vector<size_t> &counts);

}  // namespace bench
