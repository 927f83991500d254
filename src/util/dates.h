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

// Reads an eight-digit "YYYYMMDD" text: characters 0-3, 4-5 and 6-7, each read as its leading
// decimal digits (0 when there are none; signs and blanks are not digits), so anything after the
// eighth character is ignored. A text shorter than six characters is not a date (all numbers 0).
// Otherwise the numbers are returned even when they do not make a calendar date.
Date ParseDate(const std::string& text);

// Second date minus first, in days (proleptic Gregorian day numbers). Meaningful for valid dates.
int32_t DaysBetween(const Date& first, const Date& second);

// "YYYY-MM-DD HH:MM:SS UTC" of seconds since 1970-01-01 00:00:00 UTC (proleptic Gregorian, no
// leap seconds), for times that must read the same on every machine.
std::string UtcTimeString(int64_t unixSeconds);

std::string TodayString();      // local "%Y%m%d"
std::string NowString();        // local "%Y%m%d%H%M%S"
std::string TimestampMillis();  // local "%Y-%m-%d %H:%M:%S.mmm"
std::string LogTimeString();    // local "%Y-%m-%d %H:%M:%S"

}  // namespace velka
