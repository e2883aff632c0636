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

}  // namespace kormelt::tool
