#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace bw {

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixEpochSerial = 25569.0;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
long DaysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

struct LocalNow {
    std::tm tm{};
    double fraction = 0;  // sub-second part
};

LocalNow ReadLocalNow() {
    const auto now = std::chrono::system_clock::now();
    const auto secs = std::chrono::time_point_cast<std::chrono::seconds>(now);
    LocalNow out;
    const std::time_t t = std::chrono::system_clock::to_time_t(secs);
    localtime_r(&t, &out.tm);
    out.fraction = std::chrono::duration<double>(now - secs).count();
    return out;
}

}  // namespace

double MakeDaySerial(int year, int month, int day, int hour, int minute, double second) {
    const long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return kUnixEpochSerial + static_cast<double>(days) +
           (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

double SystemClock::Timer() const {
    const LocalNow n = ReadLocalNow();
    return n.tm.tm_hour * 3600.0 + n.tm.tm_min * 60.0 + n.tm.tm_sec + n.fraction;
}

double SystemClock::Now() const {
    const LocalNow n = ReadLocalNow();
    return MakeDaySerial(n.tm.tm_year + 1900, n.tm.tm_mon + 1, n.tm.tm_mday, n.tm.tm_hour,
                         n.tm.tm_min, n.tm.tm_sec + n.fraction);
}

double SystemClock::UnixSeconds() const {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t SystemClock::MonotonicMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SystemClock::Sleep(std::int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace bw
