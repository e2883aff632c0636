// Image check throughput: KORMELT_CheckCRC over a file in the page cache,
// next to Boost's CRC of the same parameters over the same bytes.
#include <boost/crc.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "device/api.h"

namespace bench {

namespace {
constexpr size_t CRC_FILE_BYTES = size_t{64} << 20;  // 64 MiB
constexpr size_t BOOST_READ_BYTES = 1024;            // the library's chunk size
constexpr int CRC_ROUNDS = 5;                        // best of

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Boost's CRC over the file with the same read pattern as the library.
uint16_t BoostFileCrc(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        Fail("cannot open " + path);
    }
    boost::crc_optimal<16, 0x1021, 0xAAAA, 0, false, false> crc;
    unsigned char chunk[BOOST_READ_BYTES];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        crc.process_bytes(chunk, got);
    }
    std::fclose(file);  // read only
    return crc.checksum();
}
}  // namespace

CrcFigures RunCrcBenchmark(const std::string &dir) {
    const std::string path = dir + "/kormelt-bench-64MiB.bin";
    {
        std::vector<unsigned char> data(CRC_FILE_BYTES);
        uint32_t x = 12345;
        for (unsigned char &b : data) {
            x = x * 1103515245u + 12345u;
            b = static_cast<unsigned char>(x >> 24);
        }
        std::FILE *file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(data.data(), 1, data.size(), file) != data.size() ||
            std::fclose(file) != 0) {
            Fail("cannot write " + path);
        }
    }
    // Warm the page cache, then take the best of a few rounds of each.
    (void)KORMELT_CheckCRC(path.c_str());
    CrcFigures f{};
    f.library_s = 1e9;
    f.boost_s = 1e9;
    for (int round = 0; round < CRC_ROUNDS; ++round) {
        Clock::time_point t = Clock::now();
        const int32_t status = KORMELT_CheckCRC(path.c_str());
        f.library_s = std::min(f.library_s, Seconds(t));
        t = Clock::now();
        const uint16_t boost_crc = BoostFileCrc(path);
        f.boost_s = std::min(f.boost_s, Seconds(t));
        // Both must agree on the verdict for the figures to compare the same work.
        if ((status == KORMELT_STATUS_OK) != (boost_crc == 0)) {
            Fail("library and Boost disagree on the CRC");
        }
    }
    f.mib = static_cast<double>(CRC_FILE_BYTES) / (1 << 20);
    std::remove(path.c_str());
    return f;
}

}  // namespace bench
