#include "tools/kormelt/port_report.h"

#include "tools/common/name_table.h"
#include <algorithm>
#include <vector>

#include "tools/kormelt/json_line.h"

namespace kormelt::tool {
namespace {

constexpr char COLUMN_GAP[] = "  ";
constexpr char UNKNOWN[] = "-";  // a part of a port's identity that the system does not tell

std::string PortName(uint32_t n) { return "COM" + std::to_string(n); }

// Characters of UTF-8 text, so that a path with accents keeps its column.
size_t TextWidth(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // all but continuation bytes
    }));
}

std::string WithDetail(const std::string &state, const std::string &detail) {
    return detail.empty() ? state : state + " (" + detail + ")";
}

// The state of a port as `ports` shows it.
std::string TableState(const PortProbe &probe) {
    switch (probe.state) {
    case PortState::Free:
        return "exists, free";
    case PortState::Missing:
        return "missing";  // the device column says what is missing
    case PortState::NotSerialPort:
        return WithDetail("not a serial port", PathKindText(probe.kind));
    case PortState::InUse:
        return WithDetail("exists, in use by another program", probe.detail);
    case PortState::NoAccess:
        return WithDetail("exists, no permission to open it", probe.detail);
    case PortState::Unusable:
        return WithDetail("cannot be opened", probe.detail);
    case PortState::Reachable:
        return "server reachable";
    case PortState::Unreachable:
        return WithDetail("server unreachable", probe.detail);
    }
    return "?";
}

// Why a port the search tried gave no answer, short enough for a list.
std::string TriedState(const PortProbe &probe) {
    switch (probe.state) {
    case PortState::Free:
        return "no answer";
    case PortState::Missing:
        return "missing";
    case PortState::InUse:
        return "in use by another program";
    case PortState::NoAccess:
        return "no permission";
    case PortState::NotSerialPort:
        return PathKindText(probe.kind);
    case PortState::Unusable:
        return "cannot be opened";
    case PortState::Reachable:
        return "server reachable, no answer from the device";
    case PortState::Unreachable:
        return WithDetail("server unreachable", probe.detail);
    }
    return "?";
}

// A machine's word for the state, for --json.
constexpr Named<PortState> STATE_WORDS[] = {
    {PortState::Free, "free"},           {PortState::Missing, "missing"},
    {PortState::InUse, "in_use"},        {PortState::NoAccess, "no_access"},
    {PortState::NotSerialPort, "not_serial_port"}, {PortState::Unusable, "unusable"},
    {PortState::Reachable, "reachable"},         {PortState::Unreachable, "unreachable"},
};
static_assert(NamesEveryValue(STATE_WORDS, PortState::Unreachable));

const char *StateWord(PortState state) { return NameIn(STATE_WORDS, state, "unknown"); }

std::string OrUnknown(const std::string &text) { return text.empty() ? UNKNOWN : text; }

std::string MakerAndProduct(const PortIdentity &identity) {
    if (identity.manufacturer.empty() || identity.product.empty()) {
        return identity.manufacturer + identity.product;
    }
    return identity.manufacturer + " " + identity.product;
}

// The identity's columns of the table: location, USB ids, serial, names.
std::vector<std::string> IdentityColumns(const PortIdentity &identity) {
    return {OrUnknown(identity.location), OrUnknown(identity.UsbId()), OrUnknown(identity.serial),
            OrUnknown(MakerAndProduct(identity))};
}

// "at 1-1.2:1.0, 0403:6001, serial A50285BI, FTDI FT232R USB UART", the
// parts known.
std::string IdentityText(const PortIdentity &identity) {
    std::string text;
    const auto add = [&text](const std::string &part) {
        if (!part.empty()) {
            text += (text.empty() ? "" : ", ") + part;
        }
    };
    add(identity.location.empty() ? "" : "at " + identity.location);
    add(identity.UsbId());
    add(identity.serial.empty() ? "" : "serial " + identity.serial);
    add(MakerAndProduct(identity));
    return text;
}

JsonLine &AddOrNull(JsonLine &line, const char *key, const std::string &value) {
    return value.empty() ? line.AddNull(key) : line.Add(key, value);
}

JsonLine PortLine(const char *port, const MappedPort &mapped) {
    JsonLine line;
    if (port != nullptr) {
        line.Add("port", port);
    } else {
        line.AddNull("port");
    }
    line.Add("device", mapped.device).Add("found_as", mapped.source);
    const PortIdentity &identity = mapped.identity;
    AddOrNull(line, "location", identity.location);
    AddOrNull(line, "vid", identity.vendor_id);
    AddOrNull(line, "pid", identity.product_id);
    AddOrNull(line, "serial", identity.serial);
    AddOrNull(line, "manufacturer", identity.manufacturer);
    AddOrNull(line, "product", identity.product);
    return line;
}

// The rows as columns, each as wide as its widest entry; the last column is
// not padded, so no line ends in blanks.
std::string Columns(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> widths;
    for (const auto &row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t k = 0; k < row.size(); ++k) {
            widths[k] = std::max(widths[k], TextWidth(row[k]));
        }
    }
    std::string text;
    for (const auto &row : rows) {
        for (size_t k = 0; k < row.size(); ++k) {
            text += row[k];
            if (k + 1 < row.size()) {
                text += std::string(widths[k] - TextWidth(row[k]), ' ') + COLUMN_GAP;
            }
        }
        text += "\n";
    }
    return text;
}

}  // namespace

std::string PortsTable(const PortMap &map, const PortProber &probe) {
    std::vector<std::vector<std::string>> rows = {{"port", "device", "state", "found as"}};
    bool identities = false;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const MappedPort &port = map.Port(n);
        rows.push_back({PortName(n), port.device, TableState(probe(port.device)), port.source});
        // Rows of ports with nothing known end with where they came from.
        if (port.identity.Known()) {
            const std::vector<std::string> identity = IdentityColumns(port.identity);
            rows.back().insert(rows.back().end(), identity.begin(), identity.end());
            identities = true;
        }
    }
    if (identities) {
        rows[0].insert(rows[0].end(), {"location", "usb id", "serial", "product"});
    }
    std::string text = Columns(rows);
    for (const MappedPort &device : map.left_over) {
        const std::string identity = IdentityText(device.identity);
        text += "not searched (only " + PortName(SEARCH_FIRST_PORT) + " to " + PortName(SEARCH_LAST_PORT) +
                " are): " + device.device + " (" + device.source + (identity.empty() ? "" : ", " + identity) + ")\n";
    }
    return text;
}

std::string PortsJson(const PortMap &map, const PortProber &probe) {
    std::string text;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const MappedPort &port = map.Port(n);
        const PortProbe state = probe(port.device);
        JsonLine line = PortLine(PortName(n).c_str(), port);
        line.Add("state", StateWord(state.state)).Add("state_text", TableState(state));
        text += line.Text() + "\n";
    }
    for (const MappedPort &device : map.left_over) {
        JsonLine line = PortLine(nullptr, device);
        line.Add("state", "not_searched").Add("state_text", "not searched");
        text += line.Text() + "\n";
    }
    return text;
}

std::string PortsTriedText(const PortMap &map, const PortProber &probe) {
    std::string text;
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const std::string &device = map.Port(n).device;
        text +=
            (n == SEARCH_FIRST_PORT ? "" : ", ") + PortName(n) + " " + device + " (" + TriedState(probe(device)) + ")";
    }
    return text;
}

}  // namespace kormelt::tool
