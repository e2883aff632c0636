// kormelt-soak [--count N] [--seed S]: N firmware updates in this one
// process through the library's six exports, each against a simulator of its
// own with a fault drawn from a seeded table. It checks every call's status
// against what the fault must give, and what the process holds (descriptors,
// resident memory, threads) from the start to the end: it exits 1 on a wrong
// status or on growth, 0 otherwise. Speed is reported, never judged.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "device/api.h"
#include "link/port_name.h"
#include "protocol/crc16.h"
#include "protocol/protocol.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_file.h"
#include "tools/common/name_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t DEFAULT_COUNT = 1000;  // updates
constexpr uint64_t DEFAULT_SEED = 1;
constexpr uint64_t REPORT_EVERY = 100;  // updates between two lines of figures
// The first update pages in the code and the buffers that every later one
// uses; the figures start after it, so that what follows is growth. From
// then on each update allocates and frees the same sizes, and 1000 updates
// grew the resident size by one page. A leak of one port record (about
// 350 bytes) per update adds some 340 KiB over 1000 updates; this bound
// lets 1000 updates leak no more than about 130 bytes each.
constexpr long RSS_GROWTH_LIMIT_KIB = 128;

// The image of the end-to-end fault matrix: 8 packets, the last one short,
// so that an update is quick against the unpaced simulator.
constexpr size_t IMAGE_DATA_BYTES = 1000;
constexpr size_t IMAGE_BYTES = IMAGE_DATA_BYTES + kormelt::CRC_TRAILER_BYTES;
constexpr int PACKETS =
    static_cast<int>((IMAGE_BYTES + kormelt::PACKET_DATA_BYTES - 1) / kormelt::PACKET_DATA_BYTES);
// Requests of a complete update with the device on COM1, counted from 1 as
// the simulator does.
constexpr int IDENTIFY = 1;
constexpr int FIRST_ERASE = IDENTIFY + 1;
constexpr int FIRST_PROGRAM = FIRST_ERASE + static_cast<int>(kormelt::ERASE_BLOCK_COUNT);
constexpr int RESTART = FIRST_PROGRAM + PACKETS;

// The calls of an update in order; an update stops at the first that fails,
// then closes the port as a host must.
enum class Call { None, Check, Open, Erase, Programm, Restart };

constexpr kormelt::Named<Call> CALL_NAMES[] = {
    {Call::None, "none"},   {Call::Check, "check"},       {Call::Open, "open"},
    {Call::Erase, "erase"}, {Call::Programm, "programm"}, {Call::Restart, "restart"},
};
static_assert(kormelt::NamesEveryValue(CALL_NAMES, Call::Restart));

const char *CallName(Call call) { return kormelt::NameIn(CALL_NAMES, call, "?"); }

// Which call sends request k.
Call CallOfRequest(int k) {
    return k == IDENTIFY ? Call::Open : k < FIRST_PROGRAM ? Call::Erase : k < RESTART ? Call::Programm : Call::Restart;
}

enum class Kind { None, Silent, BadCrc, Hangup, Noise, ShortFrames, Oversize, Babble, Cancel };

struct KindRow {
    Kind kind;
    const char *name;
    int weight;  // cards in the deck the faults are drawn from
    // For a fault at one request: the simulator's option that puts it at
    // request k, and the status the update must end with.
    const char *fault_option = nullptr;
    int32_t fault_status = KORMELT_STATUS_OK;
};

// A silent update costs a whole reply timeout (3 s) and every other one a
// few milliseconds, so silence is drawn half as often as the rest: 1000
// updates then take about three minutes.
constexpr KindRow KINDS[] = {
    {Kind::None, "none", 2},
    {Kind::Silent, "silent", 1, "--silent-from", KORMELT_STATUS_TIMEOUT},
    {Kind::BadCrc, "bad-crc", 2, "--bad-crc-at", KORMELT_STATUS_CRC},
    {Kind::Hangup, "hang-up", 2, "--hangup-at", KORMELT_STATUS_TIMEOUT},
    {Kind::Noise, "noise", 2},
    {Kind::ShortFrames, "short-frames", 2},
    {Kind::Oversize, "oversize", 2, "--oversize-at", KORMELT_STATUS_CRC},
    {Kind::Babble, "babble", 2, "--babble-at", KORMELT_STATUS_TIMEOUT},
    {Kind::Cancel, "cancel", 2},
};
constexpr size_t KIND_COUNT = std::size(KINDS);

// One update: the simulator's options, where the host cancels, and what
// the update must give, as the end-to-end fault matrix
// (tests/e2e/test_e2e.cpp) has it.
struct Plan {
    size_t kind;  // row of KINDS
    std::string what;
    std::vector<std::string> sim_options;
    Call cancel_call = Call::None;
    int32_t cancel_percent = -1;
    Call failing = Call::None;  // None: every call succeeds
    int32_t status = KORMELT_STATUS_OK;
    int requests = RESTART;  // requests the device receives
};

// Draws the same numbers from the same seed with every standard library:
// the engine gives the same numbers everywhere, and the reduction to a
// range is done here rather than by a distribution.
class Draw {
public:
    explicit Draw(uint64_t seed) : engine_(static_cast<std::mt19937_64::result_type>(seed)) {}
    uint64_t Below(uint64_t n) { return engine_() % n; }

private:
    std::mt19937_64 engine_;
};

// Every kind comes up as often as its weight says in each round of the
// deck, so that a short run meets every kind.
class Deck {
public:
    Kind Next(Draw &draw, size_t *row) {
        if (next_ == cards_.size()) {
            Shuffle(draw);
        }
        *row = cards_[next_++];
        return KINDS[*row].kind;
    }

private:
    void Shuffle(Draw &draw) {
        cards_.clear();
        for (size_t i = 0; i < KIND_COUNT; ++i) {
            cards_.insert(cards_.end(), static_cast<size_t>(KINDS[i].weight), i);
        }
        for (size_t i = cards_.size() - 1; i > 0; --i) {
            std::swap(cards_[i], cards_[draw.Below(i + 1)]);
        }
        next_ = 0;
    }

    std::vector<size_t> cards_;
    size_t next_ = 0;
};

// A fault at request k: the call that sends it fails; the search, whose
// request is the identify, goes on to COM2..COM7, which lead nowhere, and
// finds nothing.
void FailAtRequest(Plan *plan, const char *option, int k, int32_t status) {
    plan->sim_options = {option, std::to_string(k)};
    plan->failing = CallOfRequest(k);
    plan->status = plan->failing == Call::Open ? KORMELT_STATUS_NOT_FOUND : status;
    plan->requests = k;
}

Plan MakePlan(Deck &deck, Draw &draw) {
    Plan plan;
    const Kind kind = deck.Next(draw, &plan.kind);
    const int k = 1 + static_cast<int>(draw.Below(RESTART));
    switch (kind) {
    case Kind::None:
        break;
    case Kind::Noise:
        plan.sim_options = {"--noise"};
        break;
    case Kind::ShortFrames:
        plan.sim_options = {"--short-frames"};
        break;
    case Kind::Silent:
    case Kind::BadCrc:
    case Kind::Hangup:
    case Kind::Oversize:
    case Kind::Babble:
        FailAtRequest(&plan, KINDS[plan.kind].fault_option, k, KINDS[plan.kind].fault_status);
        break;
    case Kind::Cancel: {
        // Every report that can cancel: the search's before COM1, where the
        // device is, the erase's before each block, the upload's before each
        // packet.
        const uint64_t steps = 1 + kormelt::ERASE_BLOCK_COUNT + PACKETS;
        const int step = static_cast<int>(draw.Below(steps));
        const int erase_steps = static_cast<int>(kormelt::ERASE_BLOCK_COUNT);
        plan.failing = step == 0 ? Call::Open : step <= erase_steps ? Call::Erase : Call::Programm;
        plan.status = KORMELT_STATUS_CANCELLED;
        if (plan.failing == Call::Open) {
            plan.cancel_percent = kormelt::SearchPercent(kormelt::SEARCH_FIRST_PORT);
            plan.requests = 0;
        } else if (plan.failing == Call::Erase) {
            const int block = step - 1;
            plan.cancel_percent = kormelt::ErasePercent(static_cast<size_t>(block));
            plan.requests = FIRST_ERASE - 1 + block;
        } else {
            const int packet = step - 1 - erase_steps;
            plan.cancel_percent = static_cast<int32_t>(100 * kormelt::PACKET_DATA_BYTES * static_cast<size_t>(packet) /
                                                       IMAGE_BYTES);
            plan.requests = FIRST_PROGRAM - 1 + packet;
        }
        plan.cancel_call = plan.failing;
        break;
    }
    }
    plan.what = KINDS[plan.kind].name;
    if (kind == Kind::Cancel) {
        plan.what += std::string(" ") + CallName(plan.cancel_call) + " at " + std::to_string(plan.cancel_percent) + " %";
    } else if (plan.sim_options.size() == 2) {
        plan.what += " at request " + plan.sim_options[1];
    }
    return plan;
}

Call g_call = Call::None;
Call g_cancel_call = Call::None;
int32_t g_cancel_percent = -1;

int32_t KORMELT_CALL Progress(int32_t percent) {
    return g_call == g_cancel_call && percent == g_cancel_percent ? 1 : 0;
}

// The first call that failed and its status; Call::None when all succeeded.
struct Outcome {
    Call failing = Call::None;
    int32_t status = KORMELT_STATUS_OK;
    int32_t close_status = KORMELT_STATUS_OK;
};

Outcome Update(const std::string &image, const Plan &plan) {
    g_cancel_call = plan.cancel_call;
    g_cancel_percent = plan.cancel_percent;
    Outcome outcome;
    const auto step = [&outcome](Call call, auto run) {
        if (outcome.failing != Call::None) {
            return;
        }
        g_call = call;
        const int32_t status = run();
        if (status != KORMELT_STATUS_OK) {
            outcome = {call, status, KORMELT_STATUS_OK};
        }
    };
    step(Call::Check, [&] { return KORMELT_CheckCRC(image.c_str()); });
    step(Call::Open, [] { return KORMELT_Open(&Progress); });
    step(Call::Erase, [] { return KORMELT_Erase(&Progress); });
    step(Call::Programm, [&] { return KORMELT_Programm(image.c_str(), &Progress); });
    step(Call::Restart, [] { return KORMELT_Restart(); });
    g_call = Call::None;
    outcome.close_status = KORMELT_Close();
    return outcome;
}

struct Holdings {
    long fds = -1;
    long rss_kib = -1;
    long threads = -1;
};

long OpenDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    long count = 0;
    while (const dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);  // a listing read to its end: nothing to report
    return count - 1;  // the listing's own descriptor
}

Holdings Measure() {
    Holdings h;
    h.fds = OpenDescriptors();
    std::ifstream statm("/proc/self/statm");
    long size_pages = 0;
    long resident_pages = 0;
    const long page_bytes = sysconf(_SC_PAGESIZE);
    if (statm >> size_pages >> resident_pages && page_bytes > 0) {
        h.rss_kib = resident_pages * (page_bytes / 1024);
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            h.threads = std::atol(line.c_str() + sizeof "Threads:" - 1);
        }
    }
    return h;
}

void PrintHoldings(const std::string &when, const Holdings &h) {
    std::printf("%-10s %5ld %9ld %8ld\n", when.c_str(), h.fds, h.rss_kib, h.threads);
    std::fflush(stdout);
}

Bytes SealedImage() {
    Bytes image(IMAGE_DATA_BYTES);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 29 + (i >> 7));
    }
    const uint16_t crc = kormelt::CrcBlock(image.data(), image.size());
    image.push_back(static_cast<uint8_t>(crc >> 8));
    image.push_back(static_cast<uint8_t>(crc & 0xFF));
    return image;
}

bool ParseNumber(const char *text, uint64_t *value) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
        return false;
    }
    *value = parsed;
    return true;
}

// One update against a simulator of its own: its faults count requests from
// the simulator's start, and a hang-up ends its line. Returns false, having
// said why, when the update went wrong.
bool SoakOne(uint64_t number, const Plan &plan, const std::string &image, const std::string &com1) {
    std::vector<std::string> options = plan.sim_options;
    options.insert(options.end(), {"--link", com1});
    SimProcess sim(options);
    const auto wrong = [&](const std::string &why) {
        std::printf("update %llu (%s): %s\n", static_cast<unsigned long long>(number), plan.what.c_str(), why.c_str());
        return false;
    };
    if (!sim.ok()) {
        return wrong("simulator: " + sim.error());
    }
    const long fds_before = OpenDescriptors();
    const Outcome outcome = Update(image, plan);
    const long fds_after = OpenDescriptors();
    bool ok = true;
    if (outcome.failing != plan.failing || outcome.status != plan.status) {
        ok = wrong(std::string(CallName(outcome.failing)) + " gave " + std::to_string(outcome.status) + ", expected " +
                   CallName(plan.failing) + " to give " + std::to_string(plan.status));
    }
    if (outcome.close_status != KORMELT_STATUS_OK) {
        ok = wrong("close gave " + std::to_string(outcome.close_status));
    }
    if (fds_after != fds_before) {
        ok = wrong("descriptors " + std::to_string(fds_before) + " before the update, " + std::to_string(fds_after) +
                   " after it");
    }
    const size_t logged = sim.Log(static_cast<size_t>(plan.requests)).size();
    if (logged != static_cast<size_t>(plan.requests)) {
        ok = wrong("the device received " + std::to_string(logged) + " requests, expected " +
                   std::to_string(plan.requests));
    }
    return ok;
}

int Run(uint64_t count, uint64_t seed) {
    const std::string com1 = TempRoot() + "/kormelt-soak-com1-" + std::to_string(getpid());
    // COM1 leads to each update's simulator in turn; the other ports of the
    // search lead nowhere, so the machine's own serial ports take no part.
    for (uint32_t n = kormelt::SEARCH_FIRST_PORT; n <= kormelt::SEARCH_LAST_PORT; ++n) {
        const std::string value = n == kormelt::SEARCH_FIRST_PORT ? com1 : kormelt::NO_PORT_PATH;
        if (setenv(("KORMELT_COM" + std::to_string(n)).c_str(), value.c_str(), 1) != 0) {
            std::perror("kormelt-soak: setenv");
            return 1;
        }
    }
    const TempFile image(SealedImage());
    Draw draw(seed);
    Deck deck;

    std::printf("kormelt-soak: %llu updates of a %zu-byte image (%d packets) in one process, seed %llu\n",
                static_cast<unsigned long long>(count), IMAGE_BYTES, PACKETS, static_cast<unsigned long long>(seed));
    // The warm-up: a sound update whose figures are not growth.
    Plan sound;
    sound.what = "warm-up";
    bool all_ok = SoakOne(0, sound, image.path(), com1);
    std::printf("%-10s %5s %9s %8s\n", "updates", "fds", "RSS KiB", "threads");
    const Holdings start = Measure();
    PrintHoldings("start", start);

    uint64_t wrong = 0;
    uint64_t drawn[KIND_COUNT] = {};
    double seconds[KIND_COUNT] = {};
    const Clock::time_point began = Clock::now();
    for (uint64_t i = 1; i <= count; ++i) {
        const Plan plan = MakePlan(deck, draw);
        const Clock::time_point t = Clock::now();
        if (!SoakOne(i, plan, image.path(), com1)) {
            ++wrong;
        }
        seconds[plan.kind] += std::chrono::duration<double>(Clock::now() - t).count();
        ++drawn[plan.kind];
        if (i % REPORT_EVERY == 0 && i != count) {
            const Holdings h = Measure();
            PrintHoldings(std::to_string(i), h);
            if (h.fds != start.fds) {
                std::printf("descriptors grew from %ld to %ld\n", start.fds, h.fds);
                all_ok = false;
            }
        }
    }
    const double total_s = std::chrono::duration<double>(Clock::now() - began).count();
    const Holdings end = Measure();
    PrintHoldings("end", end);

    std::printf("\n%-12s %7s %8s\n", "fault", "updates", "ms each");
    for (size_t k = 0; k < KIND_COUNT; ++k) {
        std::printf("%-12s %7llu %8.0f\n", KINDS[k].name, static_cast<unsigned long long>(drawn[k]),
                    drawn[k] > 0 ? 1000 * seconds[k] / static_cast<double>(drawn[k]) : 0.0);
    }
    std::printf("\n%llu updates in %.1f s, %.0f ms each; wrong %llu; descriptors %+ld, RSS %+ld KiB (bound %ld), "
                "threads %+ld\n",
                static_cast<unsigned long long>(count), total_s, count > 0 ? 1000 * total_s / static_cast<double>(count) : 0.0,
                static_cast<unsigned long long>(wrong), end.fds - start.fds, end.rss_kib - start.rss_kib,
                RSS_GROWTH_LIMIT_KIB, end.threads - start.threads);

    all_ok = all_ok && wrong == 0 && start.fds >= 0 && start.rss_kib >= 0 && start.threads >= 0;
    if (end.fds != start.fds) {
        std::printf("FAILED: descriptors grew from %ld to %ld\n", start.fds, end.fds);
        all_ok = false;
    }
    if (end.rss_kib - start.rss_kib > RSS_GROWTH_LIMIT_KIB) {
        std::printf("FAILED: the resident size grew by more than %ld KiB\n", RSS_GROWTH_LIMIT_KIB);
        all_ok = false;
    }
    if (end.threads != start.threads) {
        std::printf("FAILED: threads went from %ld to %ld\n", start.threads, end.threads);
        all_ok = false;
    }
    if (wrong > 0) {
        std::printf("FAILED: %llu updates went wrong\n", static_cast<unsigned long long>(wrong));
    }
    return all_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    uint64_t count = DEFAULT_COUNT;
    uint64_t seed = DEFAULT_SEED;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        uint64_t *target = arg == "--count" ? &count : arg == "--seed" ? &seed : nullptr;
        if (target == nullptr || i + 1 == argc || !ParseNumber(argv[i + 1], target)) {
            std::fprintf(stderr, "usage: kormelt-soak [--count N] [--seed S]  (defaults %llu and %llu)\n",
                         static_cast<unsigned long long>(DEFAULT_COUNT), static_cast<unsigned long long>(DEFAULT_SEED));
            return 2;
        }
        ++i;
    }
    return Run(count, seed);
}
