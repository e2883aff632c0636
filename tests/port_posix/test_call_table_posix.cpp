// The real table of the port's platform calls fills every entry the list
// names: an entry added to the list but not to the real table would be a
// null call at run time.
#include <gtest/gtest.h>

#include "link/serial_port_posix.h"

namespace {

TEST(PosixCallTable, TheRealTableFillsEveryCallTheListNames) {
    const kormelt::PosixCalls &calls = kormelt::POSIX_REAL_CALLS;
#define KORMELT_EXPECT_FILLED(name, result, parameters) EXPECT_NE(calls.name, nullptr) << #name;
    KORMELT_POSIX_CALLS(KORMELT_EXPECT_FILLED)
#undef KORMELT_EXPECT_FILLED
}

}  // namespace
