// The steps of a flash run, in the order they run.
#pragma once

namespace kormelt::tool {

enum class Phase { Check, Search, Erase, Upload, Restart };

constexpr const char *PhaseName(Phase phase) {
    switch (phase) {
    case Phase::Check:
        return "check";
    case Phase::Search:
        return "search";
    case Phase::Erase:
        return "erase";
    case Phase::Upload:
        return "upload";
    case Phase::Restart:
        return "restart";
    }
    return "?";
}

// The library reports progress in fixed steps, which also tell how far a
// phase got: the search reports 12 per port tried (COM1 at 0), the erase 14
// per block.
constexpr int SEARCH_FIRST_PORT = 1;
constexpr int SEARCH_LAST_PORT = 7;
constexpr int SEARCH_PERCENT_PER_PORT = 12;
constexpr int ERASE_BLOCK_COUNT = 7;
constexpr int ERASE_PERCENT_PER_BLOCK = 14;
constexpr int PERCENT_DONE = 100;

// The port the search was trying when it reported percent.
constexpr int SearchPort(int percent) { return SEARCH_FIRST_PORT + percent / SEARCH_PERCENT_PER_PORT; }

}  // namespace kormelt::tool
