#include "tools/records/records_output.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

#include "tools/kormelt/json_line.h"
#include "tools/kormelt/live_line.h"

namespace kormelt::records {
namespace {

constexpr char COLUMN_GAP[] = "  ";
constexpr char UNKNOWN[] = "-";
constexpr size_t TABLE_SHA256_DIGITS = 12;  // enough to tell images apart by eye; --image takes a prefix
constexpr double MS_PER_SECOND = 1000.0;
constexpr char CSV_LINE_END[] = "\r\n";

// A column's value: text or a number, either of them possibly unknown.
struct Field {
    std::optional<std::string> text;
    std::optional<int64_t> number;
    bool is_number = false;
};

// An empty text is unknown: the row reader gives a NULL column as empty.
Field FieldOf(const std::string &text) {
    return {text.empty() ? std::nullopt : std::optional<std::string>(text), {}, false};
}
Field FieldOf(std::optional<int64_t> number) { return {{}, number, true}; }

struct Column {
    const char *name;
    std::function<Field(const UpdateRecord &)> get;
};

const std::vector<Column> &AllColumns() {
    static const std::vector<Column> columns = {
#define KORMELT_UPDATE_COLUMN_FIELD(column, member) {#column, [](const UpdateRecord &r) { return FieldOf(r.member); }},
        KORMELT_UPDATE_COLUMNS(KORMELT_UPDATE_COLUMN_FIELD)
#undef KORMELT_UPDATE_COLUMN_FIELD
    };
    return columns;
}

size_t TextWidth(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // all but UTF-8 continuation bytes
    }));
}

std::string OrUnknown(const std::string &text) { return text.empty() ? UNKNOWN : text; }

std::string Took(const std::optional<int64_t> &ms) {
    if (!ms) {
        return UNKNOWN;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(*ms) / MS_PER_SECOND);
    return text;
}

std::string CsvField(const Field &field) {
    if (field.is_number) {
        return field.number ? std::to_string(*field.number) : "";
    }
    if (!field.text) {
        return "";
    }
    std::string text = *field.text;
    if (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@') {
        text.insert(0, "'");
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

}  // namespace

std::string RecordsTable(const std::vector<UpdateRecord> &rows, size_t width) {
    std::vector<std::vector<std::string>> cells = {
        {"started", "outcome", "exit", "location", "serial", "port", "image", "sha256", "took", "message"}};
    for (const UpdateRecord &r : rows) {
        cells.push_back({r.started, r.outcome, r.exit_code ? std::to_string(*r.exit_code) : UNKNOWN,
                         OrUnknown(r.identity.location), OrUnknown(r.identity.serial), OrUnknown(r.port), r.image,
                         r.image_sha256.substr(0, TABLE_SHA256_DIGITS), Took(r.duration_ms), r.message});
    }
    std::vector<size_t> widths(cells[0].size(), 0);
    for (const auto &row : cells) {
        for (size_t k = 0; k < row.size(); ++k) {
            widths[k] = std::max(widths[k], TextWidth(row[k]));
        }
    }
    std::string text;
    for (const auto &row : cells) {
        std::string line;
        for (size_t k = 0; k < row.size(); ++k) {
            line += row[k];
            if (k + 1 < row.size()) {
                line += std::string(widths[k] - TextWidth(row[k]), ' ') + COLUMN_GAP;
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();  // an empty message leaves the padding of the column before it
        }
        // Control characters (a serial number is what the device says) are
        // shown as ?, as on the live view.
        text += tool::FitLine(line, width == 0 ? line.size() : width) + "\n";
    }
    return text;
}

std::string RecordsJson(const std::vector<UpdateRecord> &rows) {
    std::string text;
    for (const UpdateRecord &r : rows) {
        tool::JsonLine line;
        for (const Column &column : AllColumns()) {
            const Field field = column.get(r);
            if (field.is_number && field.number) {
                line.Add(column.name, *field.number);
            } else if (!field.is_number && field.text) {
                line.Add(column.name, *field.text);
            } else {
                line.AddNull(column.name);
            }
        }
        text += line.Text() + "\n";
    }
    return text;
}

std::string RecordsCsv(const std::vector<UpdateRecord> &rows) {
    std::string text;
    for (const Column &column : AllColumns()) {
        text += std::string(&column == &AllColumns().front() ? "" : ",") + column.name;
    }
    text += CSV_LINE_END;
    for (const UpdateRecord &r : rows) {
        bool first = true;
        for (const Column &column : AllColumns()) {
            text += (first ? "" : ",") + CsvField(column.get(r));
            first = false;
        }
        text += CSV_LINE_END;
    }
    return text;
}

}  // namespace kormelt::records
