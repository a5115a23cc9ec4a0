// The pure rules that turn one measured difference into the loop's decisions.
#pragma once

#include <cstdint>

struct CorrectionInput {
    std::int32_t d = 0; // ms, positive when the system clock is ahead
    std::int32_t SyncM = 0;
    std::int32_t SyncP = 0;
    std::int32_t DifErr = 0;
    std::int32_t DifSys = 0;
    std::uint8_t SyncLTC = 0;
    bool SyncFlagCarried = false;
    bool InSync = false;
    bool SyncSeen = false;
};

struct CorrectionDecision {
    bool Permitted = false;
    bool OutOfLimits = false;
    std::int32_t Effective = 0; // the difference after the limits rule
    std::int32_t U = 0;         // valid when Permitted
    bool HardSetDue = false;
};

bool CorrectionPermitted(bool syncFlagCarried, std::uint8_t syncLtc, bool inSync,
                         bool syncSeen) noexcept;
bool BeyondLimit(std::int32_t d, std::int32_t limit) noexcept; // d > limit or d < -limit
std::int32_t SlewCorrection(std::int32_t e, std::int32_t syncM, std::int32_t syncP) noexcept;
CorrectionDecision ApplyCorrectionLaw(const CorrectionInput& in) noexcept;
