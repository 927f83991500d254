// Local wall-clock time. Thread-safe.
#pragma once

#include <ctime>

namespace velka {

struct LocalTime {
    std::tm tm{};
    int millis = 0;
};

LocalTime NowLocal();

}  // namespace velka
