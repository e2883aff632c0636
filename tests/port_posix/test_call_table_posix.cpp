// The real table of the port's platform calls, which its list fills.
#include <gtest/gtest.h>

#include "link/remote_connect_posix.h"
#include "link/serial_port_posix.h"

namespace {

// The tool's probe connects with REMOTE_CONNECT_SYSTEM_CALLS, the library
// with its own table: a server the probe reaches is one the library reaches
// only while the two hold the same calls.
TEST(PosixCallTable, TheLibraryConnectsWithTheCallsOfTheToolsProbe) {
    const kormelt::RemoteConnectCalls library = kormelt::RemoteConnectCallsOf(kormelt::POSIX_REAL_CALLS);
    const kormelt::RemoteConnectCalls &tool = kormelt::REMOTE_CONNECT_SYSTEM_CALLS;
#define KORMELT_EXPECT_SAME(name, system, result, parameters) EXPECT_EQ(library.name, tool.name) << #name;
    KORMELT_REMOTE_CONNECT_CALLS(KORMELT_EXPECT_SAME)
#undef KORMELT_EXPECT_SAME
}

}  // namespace
