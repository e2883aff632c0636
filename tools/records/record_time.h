// Times in the records: UTC in ISO 8601 with milliseconds,
// "2025-03-14T09:26:53.589Z", so that text order is time order.
#pragma once

#include <chrono>
#include <string>

namespace kormelt::records {

std::string UtcText(std::chrono::system_clock::time_point when);

// A time given to `records --since`, UTC: "2025-03-14", "2025-03-14T09:26",
// "2025-03-14 09:26:53", "2025-03-14T09:26:53.589Z" and the like, as the full
// form the records hold ("2025-03-14T00:00:00.000Z"); false with a reason
// when it is none of them.
bool ParseSince(const std::string &text, std::string *utc, std::string *error);

}  // namespace kormelt::records
