// The per-cycle arithmetic of the synchronisation loop.
#include "TimeFunc/TimeDifference.h"
#include "TimeFunc/TimeZone.h"
#include "engine/CorrectionLaw.h"
#include "platform/emu/World.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

TimecodeRecord SampleRecord() {
    TimecodeRecord r;
    r.Flags = FlagDateValid;
    r.LtcYear = 2026;
    r.LtcMonth = 12;
    r.LtcDay = 6;
    r.LtcHour = 23;
    r.LtcMinute = 59;
    r.LtcSecond = 59;
    r.LtcMilliseconds = 900;
    r.LtcZone = 1;
    r.SystemYear = 2026;
    r.SystemMonth = 12;
    r.SystemDay = 7;
    r.SystemHour = 0;
    r.SystemMinute = 0;
    r.SystemSecond = 0;
    r.SystemMilliseconds = 100;
    return r;
}

void BM_TimeDifferenceMs(benchmark::State& state) {
    TimecodeRecord r = SampleRecord();
    const bool dateFlag = state.range(0) != 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(TimeDifferenceMs(r, dateFlag));
    }
}
BENCHMARK(BM_TimeDifferenceMs)->Arg(0)->Arg(1);

void BM_CorrectionLaw(benchmark::State& state) {
    CorrectionInput in;
    in.SyncM = 2000;
    in.SyncP = 2000;
    in.DifErr = 300000;
    in.DifSys = 300000;
    std::int32_t d = -150;
    for (auto _ : state) {
        in.d = d;
        benchmark::DoNotOptimize(in);
        benchmark::DoNotOptimize(ApplyCorrectionLaw(in));
        d = d == 150 ? -150 : d + 1;
    }
}
BENCHMARK(BM_CorrectionLaw);

void BM_ConvertTimecodeZone(benchmark::State& state) {
    emu::ResetWorld();
    emu::SetTimeZone(emu::CentralEuropeanZone());
    const TimecodeRecord r = SampleRecord();
    const auto mode = static_cast<std::uint8_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(ConvertTimecodeZone(r, true, mode));
    }
}
BENCHMARK(BM_ConvertTimecodeZone)->Arg(0)->Arg(1)->Arg(2);

void BM_FormatTimecode(benchmark::State& state) {
    emu::ResetWorld();
    emu::SetTimeZone(emu::CentralEuropeanZone());
    const TimecodeRecord r = SampleRecord();
    const bool systemGroup = state.range(0) != 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatTimecode(r, systemGroup, true, 1));
    }
}
BENCHMARK(BM_FormatTimecode)->Arg(0)->Arg(1);

} // namespace
