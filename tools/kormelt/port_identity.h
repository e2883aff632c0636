// What the system knows of the adapter behind a serial device: the USB
// device's ids, serial number and names, and where it is plugged in. Every
// part may be unknown, which is an empty string.
#pragma once

#include <string>

namespace kormelt::tool {

struct PortIdentity {
    // The USB interface the device belongs to, "1-1.2:1.0": bus 1, hub port
    // 1 then 2, configuration 1, interface 0. It names the socket, so it
    // stays the same when an adapter is replugged into it.
    std::string location;
    std::string vendor_id;   // four hex digits, "1a86"
    std::string product_id;  // four hex digits, "7523"
    std::string serial;      // the USB serial number, which many adapters lack
    std::string manufacturer;
    std::string product;

    bool Known() const {
        return !(location.empty() && vendor_id.empty() && product_id.empty() && serial.empty() &&
                 manufacturer.empty() && product.empty());
    }
    // "1a86:7523", empty unless both ids are known.
    std::string UsbId() const { return vendor_id.empty() || product_id.empty() ? "" : vendor_id + ":" + product_id; }
};

}  // namespace kormelt::tool
