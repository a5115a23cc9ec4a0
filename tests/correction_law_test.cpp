#include "engine/CorrectionLaw.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Settings arrive unchecked: products that leave 32 bits are computed wide and clamped, so
// the correction keeps its direction and its size as far as 32 bits allow.
TEST(CorrectionLaw, SlewTable) {
    struct Case {
        std::int32_t e;
        std::int32_t syncM;
        std::int32_t syncP;
        std::int32_t u;
    };
    const Case cases[] = {
        {37, 2000, 1000, -740},
        {-37, 1000, 2000, 740},
        {1, 50, 50, 0},
        {-1, 50, 50, 0},
        {100, 2000, 1000, -2000},
        {101, 2000, 1000, -2000},
        {5000, 2000, 1000, -2000},
        {-100, 2000, 1000, 1000},
        {-101, 2000, 1000, 1000},
        {0, 2000, 1000, 0},
        {99, 2000, 1000, -1980},
        {-99, 2000, 3000, 2970},
        {3, 333, 333, -9},
        {-3, 333, 333, 9},
        {INT32_MAX, 7, 9, -7},
        {INT32_MIN, 7, 9, 9},
        // beyond 32 bits: -SyncM, SyncM x e
        {101, INT32_MIN, 0, INT32_MAX},
        {-101, 0, INT32_MIN, INT32_MIN},
        {50, INT32_MAX, 0, -(INT32_MAX / 2)},
        {100, INT32_MAX, 0, -INT32_MAX},
        {-100, 0, INT32_MAX, INT32_MAX},
        {-50, 0, INT32_MIN, INT32_MIN / 2},
        {50, INT32_MIN, 0, -(INT32_MIN / 2)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SlewCorrection(c.e, c.syncM, c.syncP), c.u)
            << "e " << c.e << " SyncM " << c.syncM << " SyncP " << c.syncP;
    }
}

CorrectionInput Defaults(std::int32_t d) {
    CorrectionInput in;
    in.d = d;
    in.SyncM = 2000;
    in.SyncP = 2000;
    in.DifErr = 300000;
    in.DifSys = 300000;
    return in;
}

TEST(CorrectionLaw, DecisionsOfOneCycle) {
    struct Case {
        const char* name;
        CorrectionInput in;
        CorrectionDecision out;
    };
    auto with = [](std::int32_t d, auto change) {
        CorrectionInput in = Defaults(d);
        change(in);
        return in;
    };
    const Case cases[] = {
        {"ahead 37", Defaults(37), {true, false, 37, -740, false}},
        {"behind 37", Defaults(-37), {true, false, -37, 740, false}},
        {"default limits: no automatic hard set",
         Defaults(300000),
         {true, false, 300000, -2000, false}},
        {"beyond DifErr: zeroed, forbidden", Defaults(300001), {false, true, 0, 0, false}},
        {"beyond -DifErr", Defaults(-300001), {false, true, 0, 0, false}},
        {"hard set within DifErr",
         with(5000, [](CorrectionInput& in) { in.DifSys = 1000; }),
         {true, false, 5000, -2000, true}},
        {"hard set behind",
         with(-5000, [](CorrectionInput& in) { in.DifSys = 1000; }),
         {true, false, -5000, 2000, true}},
        {"exactly DifSys: no hard set",
         with(1000, [](CorrectionInput& in) { in.DifSys = 1000; }),
         {true, false, 1000, -2000, false}},
        {"DifErr 0 switches limits off",
         with(900000000, [](CorrectionInput& in) { in.DifErr = 0; }),
         {true, false, 900000000, -2000, true}},
        {"DifSys 0 switches hard sets off",
         with(299999, [](CorrectionInput& in) { in.DifSys = 0; }),
         {true, false, 299999, -2000, false}},
        {"negative DifErr: everything out of limits",
         with(0, [](CorrectionInput& in) { in.DifErr = -1; }),
         {false, true, 0, 0, false}},
        {"negative DifSys: every permitted difference hard-sets",
         with(0, [](CorrectionInput& in) { in.DifSys = -1; }),
         {true, false, 0, 0, true}},
        {"forbidden by SyncLTC 2 without the flag",
         with(5000,
              [](CorrectionInput& in) {
                  in.SyncFlagCarried = true;
                  in.SyncLTC = 2;
                  in.DifSys = 1000;
              }),
         {false, false, 5000, 0, false}},
        {"beyond DifErr and DifSys never hard-sets",
         with(400000, [](CorrectionInput& in) { in.DifSys = 1000; }),
         {false, true, 0, 0, false}},
        {"INT32_MIN against limit INT32_MIN",
         with(INT32_MIN,
              [](CorrectionInput& in) {
                  in.DifErr = INT32_MIN;
                  in.DifSys = INT32_MIN;
              }),
         {false, true, 0, 0, false}},
        {"INT32_MIN with limits off",
         with(INT32_MIN,
              [](CorrectionInput& in) {
                  in.DifErr = 0;
                  in.DifSys = INT32_MAX;
              }),
         {true, false, INT32_MIN, 2000, true}},
        {"zero", Defaults(0), {true, false, 0, 0, false}},
    };
    for (const auto& c : cases) {
        const CorrectionDecision out = ApplyCorrectionLaw(c.in);
        EXPECT_EQ(out.Permitted, c.out.Permitted) << c.name;
        EXPECT_EQ(out.OutOfLimits, c.out.OutOfLimits) << c.name;
        EXPECT_EQ(out.Effective, c.out.Effective) << c.name;
        if (out.Permitted) {
            EXPECT_EQ(out.U, c.out.U) << c.name;
        }
        EXPECT_EQ(out.HardSetDue, c.out.HardSetDue) << c.name;
    }
}

} // namespace
