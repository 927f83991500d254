#include "platform/clock.h"

#include <chrono>

namespace velka {

LocalTime NowLocal() {
    // Seconds and milliseconds come from one reading so a stamp never goes back at a second's
    // boundary.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    LocalTime result;
    result.millis = static_cast<int>(ms % 1000);
    if (result.millis < 0) {  // before 1970: keep millis in 0..999
        result.millis += 1000;
        --seconds;
    }
    localtime_s(&result.tm, &seconds);
    return result;
}

}  // namespace velka
