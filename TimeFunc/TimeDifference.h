#pragma once

#include "TimeFunc/TimecodeRecord.h"

#include <cstdint>

// Milliseconds by which the record's System group is ahead of its Ltc group (taken as UTC).
// With dateFlag the dates count too; without, the result is wrapped into +-12 h.
std::int32_t TimeDifferenceMs(const TimecodeRecord& record, bool dateFlag) noexcept;
