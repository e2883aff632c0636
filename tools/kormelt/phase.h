// The steps of a flash run, in the order they run.
#pragma once

#include "tools/common/name_table.h"

namespace kormelt::tool {

enum class Phase { Check, Search, Erase, Upload, Restart };

constexpr Named<Phase> PHASE_NAMES[] = {
    {Phase::Check, "check"}, {Phase::Search, "search"}, {Phase::Erase, "erase"},
    {Phase::Upload, "upload"}, {Phase::Restart, "restart"},
};
static_assert(NamesEveryValue(PHASE_NAMES, Phase::Restart));

constexpr const char *PhaseName(Phase phase) { return NameIn(PHASE_NAMES, phase, "?"); }

}  // namespace kormelt::tool
