#include "tools/kormelt/adapter_latency.h"

namespace kormelt::tool {

// An adapter's latency timer on Windows is a setting of its driver that the
// user keeps in the port's properties; the tool leaves it to them.
void AdapterLatency::Lower(const std::string &) {}

void AdapterLatency::Restore() {}

}  // namespace kormelt::tool
