// How `kormelt records` shows its rows: a table for people, and every
// column as JSON lines or as CSV for programs and spreadsheets.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/records/records.h"

namespace kormelt::records {

// Newest first as given, one line per row under a header, each column as
// wide as its widest entry; each line cut to width columns, 0 for no limit.
std::string RecordsTable(const std::vector<UpdateRecord> &rows, size_t width);

// One JSON object per row and line, every column under its name; what is
// unknown is null.
std::string RecordsJson(const std::vector<UpdateRecord> &rows);

// A header line and a line per row (RFC 4180: CRLF, fields with a comma, a
// quote or a line break quoted). A text field that a spreadsheet would take
// for a formula (=, +, -, @ first) gets a ' in front, since a USB serial
// number is whatever the device says it is.
std::string RecordsCsv(const std::vector<UpdateRecord> &rows);

}  // namespace kormelt::records
