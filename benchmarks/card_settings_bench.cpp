// The card read on the loop's 50 ms path, and the settings reload that runs every 201 cycles,
// both against the emulated platform and the simulated card.
#include "card/CardAccess.h"
#include "card/CardLink.h"
#include "engine/Settings.h"
#include "platform/emu/World.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

void FreshCard() {
    emu::ResetWorld();
    CardLink.Handle.store(0);
    CardLink.IsOpen.store(false);
    StopLatched.store(false);
    OpenCard(4097);
}

// A new frame every read: the simulated card composes a record.
void BM_ReadTimecodeNewFrame(benchmark::State& state) {
    FreshCard();
    TimecodeRecord record;
    for (auto _ : state) {
        state.PauseTiming();
        emu::AdvanceMs(40);
        state.ResumeTiming();
        benchmark::DoNotOptimize(ReadTimecode(record));
    }
    CloseCard();
}
BENCHMARK(BM_ReadTimecodeNewFrame);

// Within one frame: the card answers "no new data".
void BM_ReadTimecodeNoNewData(benchmark::State& state) {
    FreshCard();
    TimecodeRecord record;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadTimecode(record));
    }
    CloseCard();
}
BENCHMARK(BM_ReadTimecodeNoNewData);

void BM_ReloadSettings(benchmark::State& state) {
    emu::ResetWorld();
    emu::RegSetDword("SOFTWARE\\Tecora", "SyncM", 1500);
    emu::RegSetDword("SOFTWARE\\Tecora", "DateFormat", 1);
    SettingsRegistry = std::make_unique<TRegistryDefault>();
    SettingsRegistry->SetRootKeyLocalMachine();
    SettingsRegistry->OpenKey(kSettingsKeyPath, true);
    for (auto _ : state) {
        ReloadSettings();
        benchmark::DoNotOptimize(Settings);
    }
    SettingsRegistry.reset();
}
BENCHMARK(BM_ReloadSettings);

} // namespace
