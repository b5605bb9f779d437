#include "ostrel-model/timestamp.hpp"

#include <chrono>
#include <cstdio>

namespace ostrel::model {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

// Proleptic Gregorian date of a day count since 1970-01-01 (Howard Hinnant's
// civil_from_days), exact for negative counts too.
CivilDate civil_from_days(int64_t days) {
    days += 719'468;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1'460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// Floor division, so that instants before 1970 land on the earlier second and day.
int64_t floor_div(int64_t value, int64_t divisor, int64_t& remainder) {
    int64_t quotient = value / divisor;
    remainder = value % divisor;
    if (remainder < 0) {
        remainder += divisor;
        quotient -= 1;
    }
    return quotient;
}

}  // namespace

Timestamp Timestamp::now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return Timestamp{std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count()};
}

std::string Timestamp::to_rfc3339() const {
    int64_t subsecond = 0;
    int64_t seconds = floor_div(unix_nanos, kNanosPerSecond, subsecond);
    int64_t second_of_day = 0;
    int64_t days = floor_div(seconds, kSecondsPerDay, second_of_day);
    CivilDate date = civil_from_days(days);

    char buffer[64];
    int length = std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                               static_cast<long long>(date.year), date.month, date.day,
                               static_cast<long long>(second_of_day / 3600),
                               static_cast<long long>(second_of_day / 60 % 60),
                               static_cast<long long>(second_of_day % 60));
    std::string out(buffer, static_cast<size_t>(length));
    if (subsecond != 0) {
        if (subsecond % 1'000'000 == 0) {
            length = std::snprintf(buffer, sizeof buffer, ".%03lld",
                                   static_cast<long long>(subsecond / 1'000'000));
        } else if (subsecond % 1'000 == 0) {
            length = std::snprintf(buffer, sizeof buffer, ".%06lld",
                                   static_cast<long long>(subsecond / 1'000));
        } else {
            length =
                std::snprintf(buffer, sizeof buffer, ".%09lld", static_cast<long long>(subsecond));
        }
        out.append(buffer, static_cast<size_t>(length));
    }
    out += 'Z';
    return out;
}

}  // namespace ostrel::model
