// Calendar dates for log names and log retention, and local time stamps.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

struct Date {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    bool valid = false;  // a real Gregorian calendar date
};

// Reads an eight-digit "YYYYMMDD" text (characters 0-3, 4-5, 6-7, each like atoi). A text shorter
// than six characters is not a date. The numbers are returned even when the date is not valid.
Date ParseDate(const std::string& text);

// Second date minus first, in days (Gregorian day numbers).
int32_t DaysBetween(const Date& first, const Date& second);

std::string TodayString();     // local "%Y%m%d"
std::string NowString();       // local "%Y%m%d%H%M%S"
std::string TimestampMillis(); // local "%Y-%m-%d %H:%M:%S.mmm"
std::string LogTimeString();   // local "%Y-%m-%d %H:%M:%S"

}  // namespace velka
