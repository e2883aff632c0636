// A station run against N simulated devices on paced lines (d): whether
// sixteen devices take as long as one, and what the station itself costs
// per device.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "protocol/crc16.h"
#include "tests/support/run_program.h"
#include "tests/support/sim_process.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Small enough that a run of the four takes a minute, large enough that
// the upload (about 4.5 s at 19200 baud) outweighs starting the workers.
constexpr size_t STATION_IMAGE_BYTES = 8 * 1024;
constexpr char SUMMARY_KEY[] = "\"event\":\"summary\"";

std::string WriteStationImage(const std::string &dir) {
    std::vector<uint8_t> image(STATION_IMAGE_BYTES - 2);
    uint32_t x = 7;
    for (uint8_t &b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    const uint16_t crc = kormelt::CrcBlock(image.data(), image.size());
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    const std::string path = dir + "/kormelt-bench-station.img";
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size() || std::fclose(file) != 0) {
        Fail("cannot write " + path);
    }
    return path;
}

// The number after key in the summary line, which the station prints last.
double SummaryNumber(const std::string &output, const std::string &key) {
    const size_t summary = output.rfind(SUMMARY_KEY);
    const size_t at = summary == std::string::npos ? summary : output.find("\"" + key + "\":", summary);
    if (at == std::string::npos) {
        Fail("the station printed no " + key + " in its summary");
    }
    return std::strtod(output.c_str() + at + key.size() + 3, nullptr);
}

StationFigures RunStation(const std::string &dir, const std::string &image, size_t devices) {
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> args = {KORMELT_TOOL_PATH, "station", image, "--json", "--records",
                                     dir + "/kormelt-bench-records-" + std::to_string(getpid()) + ".sqlite3",
                                     "--ports"};
    for (size_t k = 0; k < devices; ++k) {
        // Paced as the real line, without --spin: the simulators' own
        // wake-ups are part of a rack's load.
        sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{"--paced"}));
        if (!sims.back()->ok()) {
            Fail("simulator: " + sims.back()->error());
        }
        args.push_back(sims.back()->path());
    }
    const Clock::time_point start = Clock::now();
    const ProgramResult run = RunProgram(args, {});
    StationFigures figures;
    figures.devices = devices;
    figures.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    if (run.exit_code != 0 || SummaryNumber(run.output, "ok") != static_cast<double>(devices)) {
        Fail("the station did not update all " + std::to_string(devices) + " devices (exit code " +
             std::to_string(run.exit_code) + ")");
    }
    figures.station_cpu_s = SummaryNumber(run.output, "station_cpu_seconds");
    figures.workers_cpu_s = SummaryNumber(run.output, "workers_cpu_seconds");
    return figures;
}

}  // namespace

std::vector<StationFigures> RunStationBenchmark(const std::string &dir, const std::vector<size_t> &counts) {
    const std::string image = WriteStationImage(dir);
    std::vector<StationFigures> figures;
    for (const size_t devices : counts) {
        figures.push_back(RunStation(dir, image, devices));
    }
    std::remove(image.c_str());
    std::remove((dir + "/kormelt-bench-records-" + std::to_string(getpid()) + ".sqlite3").c_str());
    return figures;
}

}  // namespace bench
