// The latency timer of a USB serial adapter: how long the adapter holds the
// bytes it received before it sends them on to the host, 16 ms unless set
// otherwise. Every exchange of an update waits for its reply, so a flash run
// pays the timer once per packet; it is lowered for the run where the system
// lets the tool, and put back after it. One implementation per platform,
// picked by the build.
#pragma once

#include <string>

namespace kormelt::tool {

class AdapterLatency {
public:
    AdapterLatency() = default;
    ~AdapterLatency() { Restore(); }
    AdapterLatency(const AdapterLatency &) = delete;
    AdapterLatency &operator=(const AdapterLatency &) = delete;

    // Lowers the latency timer of the adapter behind device to its least
    // where the system offers one that this process may write: on Linux
    // /sys/bus/usb-serial/devices/<tty>/latency_timer under the scan root,
    // the tty found by the device's number. Anything else leaves all as it
    // is, and the update only runs slower.
    void Lower(const std::string &device);

    // Puts back the value Lower replaced; does nothing when Lower changed
    // nothing or it was put back already.
    void Restore();

private:
    std::string timer_;  // the timer Lower wrote, empty when none
    std::string found_;  // the value it held before
};

}  // namespace kormelt::tool
