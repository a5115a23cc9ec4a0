#include "TimeFunc/TimeDifference.h"

#include "TimeFunc/CivilTime.h"

#include <cstdint>

namespace {

using civil::kDayMs;
using civil::kHalfDayMs;
// Beyond 32 bits the difference keeps its sign and lies past every limit; the negative end
// stops one short of INT32_MIN so that the value can still be negated safely.
constexpr std::int64_t kMaxResult = INT32_MAX;
constexpr std::int64_t kMinResult = -std::int64_t{INT32_MAX};

// Into the closed range of half a day either way; exactly twelve hours stays as it is.
constexpr std::int64_t WrapHalfDay(std::int64_t t) {
    if (t > kHalfDayMs) {
        t -= (t - kHalfDayMs + kDayMs - 1) / kDayMs * kDayMs;
    }
    if (t < -kHalfDayMs) {
        t += (-kHalfDayMs - t + kDayMs - 1) / kDayMs * kDayMs;
    }
    return t;
}

constexpr std::int32_t Saturate(std::int64_t v) {
    return static_cast<std::int32_t>(v > kMaxResult ? kMaxResult : v < kMinResult ? kMinResult : v);
}

} // namespace

std::int32_t TimeDifferenceMs(const TimecodeRecord& record, bool dateFlag) noexcept {
    const std::int64_t t =
        civil::MsOfDay(record.SystemHour, record.SystemMinute, record.SystemSecond,
                       record.SystemMilliseconds) -
        civil::MsOfDay(record.LtcHour, record.LtcMinute, record.LtcSecond, record.LtcMilliseconds);
    if (!dateFlag) {
        return Saturate(WrapHalfDay(t));
    }
    std::int64_t days = 0;
    if (civil::IsValidDate(record.SystemYear, record.SystemMonth, record.SystemDay) &&
        civil::IsValidDate(record.LtcYear, record.LtcMonth, record.LtcDay)) {
        days = std::int64_t{civil::DayNumber(record.SystemYear, record.SystemMonth,
                                             record.SystemDay)} -
               civil::DayNumber(record.LtcYear, record.LtcMonth, record.LtcDay);
    }
    return Saturate(days * kDayMs + t);
}
