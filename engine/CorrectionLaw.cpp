#include "engine/CorrectionLaw.h"

#include <cstdint>

// The settings come from the registry unchecked, so any 32-bit value may arrive here. The
// rules are evaluated in 64 bits, where none of them can overflow (a negated INT32_MIN, a
// SyncM of two thousand million times 100 ms), and a correction that does not fit 32 bits is
// clamped to the nearest 32-bit value: it keeps its sign and stays the largest correction
// the settings ask for.

namespace {

constexpr std::int32_t kFullScaleMs = 100; // the difference at which the slew is at its limit

constexpr std::int32_t ClampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

} // namespace

bool CorrectionPermitted(bool syncFlagCarried, std::uint8_t syncLtc, bool inSync,
                         bool syncSeen) noexcept {
    if (!syncFlagCarried) {
        return true;
    }
    switch (syncLtc) {
    case 0:
        return true;
    case 1:
        return syncSeen;
    case 2:
        return inSync;
    default:
        return false;
    }
}

bool BeyondLimit(std::int32_t d, std::int32_t limit) noexcept {
    const std::int64_t wide = d;
    return wide > limit || wide < -std::int64_t{limit};
}

std::int32_t SlewCorrection(std::int32_t e, std::int32_t syncM, std::int32_t syncP) noexcept {
    const std::int64_t m = syncM;
    const std::int64_t p = syncP;
    std::int64_t u = 0;
    if (e > kFullScaleMs) {
        u = -m;
    } else if (e > 0) {
        u = -(m * e / kFullScaleMs);
    } else if (e >= -kFullScaleMs) {
        u = p * -std::int64_t{e} / kFullScaleMs; // 0 when e is 0
    } else {
        u = p;
    }
    return ClampToInt32(u);
}

CorrectionDecision ApplyCorrectionLaw(const CorrectionInput& in) noexcept {
    CorrectionDecision out;
    out.Permitted = CorrectionPermitted(in.SyncFlagCarried, in.SyncLTC, in.InSync, in.SyncSeen);
    out.Effective = in.d;
    if (in.DifErr != 0 && BeyondLimit(in.d, in.DifErr)) {
        out.OutOfLimits = true;
        out.Permitted = false;
        out.Effective = 0;
    }
    if (out.Permitted) {
        out.U = SlewCorrection(out.Effective, in.SyncM, in.SyncP);
        out.HardSetDue = in.DifSys != 0 && BeyondLimit(out.Effective, in.DifSys);
    }
    return out;
}
