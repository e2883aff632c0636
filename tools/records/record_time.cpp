#include "tools/records/record_time.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace kormelt::records {
namespace {

constexpr long long MS_PER_SECOND = 1000;

// The digits of text from at, exactly count of them, as a number; -1 when
// they are not all digits.
int Digits(const std::string &text, size_t at, size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool LeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && LeapYear(year) ? 29 : DAYS[month - 1];
}

}  // namespace

std::string UtcText(std::chrono::system_clock::time_point when) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    long long seconds = ms / MS_PER_SECOND;
    long long millis = ms % MS_PER_SECOND;
    if (millis < 0) {
        millis += MS_PER_SECOND;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (gmtime_r(&t, &utc) == nullptr) {
        return "";  // beyond what the calendar functions hold; no clock shows that
    }
    char text[80];  // room for any int the fields may hold, which the compiler cannot rule out
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

bool ParseSince(const std::string &text, std::string *utc, std::string *error) {
    const auto refuse = [&] {
        *error = "--since takes a UTC time such as 2025-03-14, 2025-03-14T09:26 or 2025-03-14T09:26:53.589Z, not \"" +
                 text + "\"";
        return false;
    };
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    // YYYY-MM-DD, then [T or blank]HH:MM, then :SS, then .mmm (1 to 3 digits).
    const int year = Digits(t, 0, 4);
    const int month = t.size() >= 7 && t[4] == '-' ? Digits(t, 5, 2) : -1;
    const int day = t.size() >= 10 && t[7] == '-' ? Digits(t, 8, 2) : -1;
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        return refuse();
    }
    int hour = 0, minute = 0, second = 0, millis = 0;
    size_t at = 10;
    if (at < t.size()) {
        if ((t[at] != 'T' && t[at] != 't' && t[at] != ' ') || t.size() < at + 6 || t[at + 3] != ':') {
            return refuse();
        }
        hour = Digits(t, at + 1, 2);
        minute = Digits(t, at + 4, 2);
        at += 6;
        if (at < t.size()) {
            if (t[at] != ':' || (second = Digits(t, at + 1, 2)) < 0) {
                return refuse();
            }
            at += 3;
        }
        if (at < t.size()) {
            const size_t digits = t.size() - at - 1;
            if (t[at] != '.' || digits < 1 || digits > 3 || (millis = Digits(t, at + 1, digits)) < 0) {
                return refuse();
            }
            for (size_t d = digits; d < 3; ++d) {
                millis *= 10;
            }
        }
        if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second > 59) {
            return refuse();
        }
    }
    char full[80];  // as above
    std::snprintf(full, sizeof full, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute, second,
                  millis);
    *utc = full;
    return true;
}

}  // namespace kormelt::records
