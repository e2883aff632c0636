#include "tools/kormelt/port_report.h"

#include <algorithm>
#include <vector>

namespace kormelt::tool {
namespace {

constexpr char COLUMN_GAP[] = "  ";

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
    }
    return "?";
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
    for (uint32_t n = SEARCH_FIRST_PORT; n <= SEARCH_LAST_PORT; ++n) {
        const MappedPort &port = map.Port(n);
        rows.push_back({PortName(n), port.device, TableState(probe(port.device)), port.source});
    }
    std::string text = Columns(rows);
    for (const MappedPort &device : map.left_over) {
        text += "not searched (only " + PortName(SEARCH_FIRST_PORT) + " to " + PortName(SEARCH_LAST_PORT) +
                " are): " + device.device + " (" + device.source + ")\n";
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
