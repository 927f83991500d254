#include "util/dates.h"

#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace velka {

namespace {

// Leading decimal digits of text[begin, begin + count), 0 when there are none.
int32_t LeadingNumber(const std::string& text, size_t begin, size_t count) {
    int32_t value = 0;
    for (size_t i = begin; i < begin + count && i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') break;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsLeapYear(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int32_t DaysInMonth(int32_t year, int32_t month) {
    static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year)) return 29;
    return kDays[month - 1];
}

// Division rounding towards negative infinity, so that year 0 (whose March-based year is -1)
// follows the same calendar as every other year.
int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t DayNumber(const Date& date) {
    const int64_t m = (static_cast<int64_t>(date.month) + 9) % 12;
    const int64_t y = date.year - FloorDiv(m, 10);
    return 365 * y + FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400) +
           FloorDiv(306 * m + 5, 10) + date.day;
}

std::string FormatLocal(const std::tm& tm, const char* format) {
    char buffer[64];
    const size_t length = std::strftime(buffer, sizeof(buffer), format, &tm);
    return std::string(buffer, length);
}

}  // namespace

Date ParseDate(const std::string& text) {
    Date date;
    if (text.size() < 6) return date;
    date.year = LeadingNumber(text, 0, 4);
    date.month = LeadingNumber(text, 4, 2);
    date.day = LeadingNumber(text, 6, 2);
    date.valid = date.year >= 0 && date.month >= 1 && date.month <= 12 && date.day >= 1 &&
                 date.day <= DaysInMonth(date.year, date.month);
    return date;
}

int32_t DaysBetween(const Date& first, const Date& second) {
    return static_cast<int32_t>(DayNumber(second) - DayNumber(first));
}

std::string UtcTimeString(int64_t unixSeconds) {
    int64_t days = unixSeconds / 86400;
    int64_t seconds = unixSeconds % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Civil date of a day number, counted in 400-year eras from 0000-03-01.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96];  // room for any int64_t, which the compiler cannot rule out
    std::snprintf(text, sizeof(text), "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

std::string TodayString() {
    return FormatLocal(NowLocal().tm, "%Y%m%d");
}

std::string NowString() {
    return FormatLocal(NowLocal().tm, "%Y%m%d%H%M%S");
}

std::string TimestampMillis() {
    const LocalTime now = NowLocal();
    char millis[8];
    std::snprintf(millis, sizeof(millis), ".%03d", now.millis % 1000);
    return FormatLocal(now.tm, "%Y-%m-%d %H:%M:%S") + millis;
}

std::string LogTimeString() {
    return FormatLocal(NowLocal().tm, "%Y-%m-%d %H:%M:%S");
}

}  // namespace velka
