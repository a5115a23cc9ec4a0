#include "sim/ClosedLoop.h"

#include "TimeFunc/ClockControl.h"
#include "TimeFunc/TimeDifference.h"
#include "TimeFunc/TimeZone.h"
#include "TimeFunc/TimecodeRecord.h"
#include "card/CardLink.h"
#include "engine/Settings.h"
#include "platform/emu/World.h"
#include "service/CommandLine.h"
#include "service/ModuleState.h"
#include "simcard/SimCard.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace sim {
namespace {

constexpr const char* kServiceKey = "SOFTWARE\\Tecora";
constexpr const char* kCardKey = "SOFTWARE\\TecoraSim";
constexpr std::int64_t kUnitsPerMs = 10000;
constexpr std::array<const char*, 6> kStatusNames = {
    "MonitorVersion", "MonitorSystem", "MonitorLtc", "LastSync", "LastSet", "MonitorFrequency"};

bool ParseInteger(const std::string& text, std::int64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool SameName(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

void ApplySetting(const std::string& name, const std::string& value) {
    std::int64_t number = 0;
    if (SameName(name, "Sync") || !ParseInteger(value, number)) {
        emu::RegSetString(kServiceKey, name, value);
    } else {
        emu::RegSetDword(kServiceKey, name, static_cast<std::uint32_t>(number));
    }
}

// Everything the run observes, shared between the service thread (the hook and the tick
// observer run there) and the thread that started the run.
class Recorder {
  public:
    Recorder(const Scenario& scenario, Observer* observer)
        : observer_(observer), beforeStop_(scenario.BeforeStop),
          sampleUnits_(std::llround(scenario.SampleEveryMs * kUnitsPerMs)),
          start_(emu::TrueTime100ns()),
          end_(start_ + std::llround(scenario.DurationS * 1000.0) * kUnitsPerMs) {
        prevTrue_ = start_;
        prevSystem_ = emu::SmoothSystemTime100ns();
        nextSample_ = start_;
        samples_.reserve(static_cast<std::size_t>(
            (end_ - start_) / std::max<std::int64_t>(sampleUnits_, 1) + 1000));
        for (const auto& [from, length] : scenario.Outages) {
            const std::int64_t at = start_ + std::llround(from * 1000.0) * kUnitsPerMs;
            outages_.emplace_back(at, at + std::llround(length * 1000.0) * kUnitsPerMs);
        }
        for (const auto& [from, to] : scenario.Unplugged) {
            unplugged_.emplace_back(start_ + std::llround(from * 1000.0) * kUnitsPerMs,
                                    start_ + std::llround(to * 1000.0) * kUnitsPerMs);
        }
        if (scenario.WanderPpmPerHour > 0 && scenario.WanderStepS > 0) {
            wanderStep_ = std::llround(scenario.WanderStepS * 1000.0) * kUnitsPerMs;
            nextWander_ = start_ + wanderStep_;
            wanderSigma_ = scenario.WanderPpmPerHour * std::sqrt(scenario.WanderStepS / 3600.0);
            wanderLimit_ = scenario.WanderLimitPpm;
            drift_ = scenario.DriftPpm;
            random_.seed(scenario.Seed);
        }
        for (const double at : scenario.RestartsS) {
            const std::int64_t when = start_ + std::llround(at * 1000.0) * kUnitsPerMs;
            if (when > start_ && when < end_) {
                restarts_.push_back(when);
            }
        }
        std::sort(restarts_.begin(), restarts_.end());
    }

    // After the service process ended: whether it ended for a restart, and then ready for the
    // next process (starting thread, while no service runs).
    bool NextProcess() {
        if (!restarting_) {
            return false;
        }
        restarting_ = false;
        stopping_ = false;
        stopSignalled_ = false;
        return true;
    }

    // Whether the card is to fail now (any thread).
    [[nodiscard]] bool InOutage() const {
        const std::int64_t now = emu::TrueTime100ns();
        for (const auto& [from, to] : outages_) {
            if (now >= from && now < to) {
                return true;
            }
        }
        return false;
    }

    // Plugs the card's input in or out as the run's plan says, before a read (service thread).
    // The card is told at once, not at its next look at its settings a second later.
    void Plug() {
        const std::int64_t now = emu::TrueTime100ns();
        bool out = false;
        for (const auto& [from, to] : unplugged_) {
            out = out || (now >= from && now < to);
        }
        if (out != pluggedOut_) {
            pluggedOut_ = out;
            emu::RegSetDword(kCardKey, "Unplugged", out ? 1 : 0);
            simcard::Reconfigure();
        }
    }

    // The system clock moves at its ticks and in a straight line between them, so the error
    // at any moment in between is the straight line between the two ticks.
    void Tick(std::int64_t trueTime, std::int64_t /*coarse*/) {
        const std::lock_guard<std::recursive_mutex> guard(lock_);
        // The clock as read between interrupts: a late interrupt leaves the coarse time behind
        // for a moment, but the clock itself runs on.
        const std::int64_t systemTime = emu::SmoothSystemTime100ns();
        if (nextSample_ <= trueTime && nextSample_ <= end_) {
            const emu::ClockState clock = emu::Clock();
            const std::int32_t correction =
                clock.SystemRegulates
                    ? 0
                    : static_cast<std::int32_t>(static_cast<std::int64_t>(clock.Adjustment) -
                                                DefaultTimeIncrement());
            const double span = static_cast<double>(trueTime - prevTrue_);
            while (nextSample_ <= trueTime && nextSample_ <= end_) {
                const double f =
                    span > 0 ? static_cast<double>(nextSample_ - prevTrue_) / span : 1.0;
                const double system = static_cast<double>(prevSystem_) +
                                      f * static_cast<double>(systemTime - prevSystem_);
                Sample s;
                s.TimeS = static_cast<double>(nextSample_ - start_) / 1e7;
                s.ErrorMs = (system - static_cast<double>(nextSample_)) / kUnitsPerMs;
                s.MeasuredMs = measured_.load();
                s.Correction = correction;
                samples_.push_back(s);
                nextSample_ += sampleUnits_;
            }
        }
        prevTrue_ = trueTime;
        prevSystem_ = systemTime;
    }

    void Call(const char* call) {
        // The set's next platform call comes at the same moment of virtual time.
        if (landingPending_ && std::strcmp(call, "SetSystemTime") != 0) {
            landingPending_ = false;
            if (emu::Clock().SetTimeCalls > setsLanded_) {
                setsLanded_ = emu::Clock().SetTimeCalls;
                landings_.push_back(emu::ClockErrorMs());
            }
        }
        // The stop's first clock call comes after it has signalled the stop event.
        if (stopping_.load() && !emu::IsServiceThread() &&
            std::strcmp(call, "OpenProcessToken") == 0) {
            stopSignalled_ = true;
        }
        // Called for every platform call: the first letter sorts out most of them cheaply.
        if (call[0] != 'S' && call[0] != 'W') {
            return;
        }
        if (std::strcmp(call, "SetSystemTimeAdjustment") == 0) {
            ++adjustmentCalls_;
        } else if (std::strcmp(call, "SetSystemTime") == 0) {
            ++setTimeCalls_;
            landingPending_ = true;
        }
        const bool wait = std::strcmp(call, "WaitForSingleObject") == 0;
        if ((!wait && std::strcmp(call, "Sleep") != 0) || !emu::IsServiceThread()) {
            return;
        }
        Poll();
        Wander();
        if (wait) {
            ++cycles_;
            const std::int64_t now = emu::TrueTime100ns();
            const bool restart = nextRestart_ < restarts_.size() && now >= restarts_[nextRestart_];
            if (!stopping_ && (restart || now >= end_)) {
                // As the controller would: the handler runs on the dispatcher's thread, and
                // this cycle's wait then finds the event signalled.
                stopping_ = true;
                if (restart) {
                    restarting_ = true;
                    ++nextRestart_;
                } else if (beforeStop_) {
                    beforeStop_();
                }
                // Not waiting for the handler: it waits for this thread to end. Once it has
                // signalled the stop event, the wait below finds it.
                emu::PostControl(plat::kServiceControlStop, 0);
                while (!stopSignalled_.load()) {
                    std::this_thread::yield();
                }
            }
        }
    }

    // What the card delivered, measured as the loop measures it (service thread).
    void Measured(const TimecodeRecord& record) {
        const TimecodeRecord utc =
            ConvertTimecodeZone(record, Settings.DateExpected, Settings.SelectTimezone);
        measured_ = TimeDifferenceMs(utc, Settings.DateExpected);
    }

    // Reports new event-log entries and changed status values. Only the service thread polls
    // while the service runs, and the starting thread once it has ended.
    void Poll() {
        if (observer_ == nullptr) {
            return;
        }
        const std::vector<emu::EventEntry> entries = emu::EventLogEntries();
        for (std::size_t i = eventsSeen_; i < entries.size(); ++i) {
            std::string text = entries[i].Text;
            if (text.rfind("\r\n", 0) == 0) {
                text.erase(0, 2);
            }
            observer_->EventLogged(Seconds(entries[i].At100ns), entries[i].Type, text);
        }
        eventsSeen_ = std::max(eventsSeen_, entries.size());
        for (std::size_t i = 0; i < kStatusNames.size(); ++i) {
            const std::uint64_t writes = emu::RegWriteCount(kServiceKey, kStatusNames[i]);
            if (writes == statusWrites_[i]) {
                continue;
            }
            statusWrites_[i] = writes;
            const std::string text = emu::RegGetString(kServiceKey, kStatusNames[i]).value_or("");
            if (writes == 1 || text != statusTexts_[i] || i == 4) {
                statusTexts_[i] = text;
                observer_->StatusChanged(Seconds(emu::TrueTime100ns()), kStatusNames[i], text,
                                         emu::ClockErrorMs());
            }
        }
    }

    std::vector<Sample> TakeSamples() {
        const std::lock_guard<std::recursive_mutex> guard(lock_);
        return std::move(samples_);
    }
    [[nodiscard]] std::uint64_t AdjustmentCalls() const { return adjustmentCalls_; }
    [[nodiscard]] std::uint64_t SetTimeCalls() const { return setTimeCalls_; }
    [[nodiscard]] std::vector<double> Landings() const { return landings_; }
    [[nodiscard]] std::uint64_t Cycles() const { return cycles_; }

  private:
    // Steps of the drift's random walk that are due (service thread, between platform calls,
    // where the clock may be scripted).
    void Wander() {
        if (wanderStep_ <= 0) {
            return;
        }
        const std::int64_t now = emu::TrueTime100ns();
        bool moved = false;
        while (nextWander_ <= now) {
            nextWander_ += wanderStep_;
            drift_ += wanderSigma_ * Normal();
            if (wanderLimit_ > 0) {
                // Reflected at the limits, as far as needed.
                while (drift_ > wanderLimit_ || drift_ < -wanderLimit_) {
                    drift_ = drift_ > 0 ? 2 * wanderLimit_ - drift_ : -2 * wanderLimit_ - drift_;
                }
            }
            moved = true;
        }
        if (moved) {
            emu::SetDriftPpm(drift_);
        }
    }

    // A standard normal number by Box and Muller from the seeded generator, the same on
    // every platform.
    double Normal() {
        constexpr double kTwoPi = 6.283185307179586;
        const auto uniform = [this] {
            return (static_cast<double>(random_() >> 11) + 0.5) / 9007199254740992.0;
        };
        const double u1 = uniform();
        const double u2 = uniform();
        return std::sqrt(-2 * std::log(u1)) * std::cos(kTwoPi * u2);
    }

    [[nodiscard]] double Seconds(std::int64_t at) const {
        return static_cast<double>(at - start_) / 1e7;
    }

    Observer* observer_;
    std::function<void()> beforeStop_;
    std::recursive_mutex lock_;
    std::int64_t sampleUnits_;
    std::int64_t start_;
    std::int64_t end_;
    std::int64_t prevTrue_ = 0;
    std::int64_t prevSystem_ = 0;
    std::int64_t nextSample_ = 0;
    std::vector<Sample> samples_;
    std::atomic<std::int32_t> measured_{0};
    std::atomic<std::uint64_t> adjustmentCalls_{0};
    std::atomic<std::uint64_t> setTimeCalls_{0};
    std::uint64_t cycles_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stopSignalled_{false};
    std::vector<std::int64_t> restarts_; // true time of each restart, in order
    std::size_t nextRestart_ = 0;
    bool restarting_ = false; // the stop under way is a restart's
    std::vector<std::pair<std::int64_t, std::int64_t>> outages_;
    std::vector<std::pair<std::int64_t, std::int64_t>> unplugged_;
    bool pluggedOut_ = false;
    std::int64_t wanderStep_ = 0;
    std::int64_t nextWander_ = 0;
    double wanderSigma_ = 0;
    double wanderLimit_ = 0;
    double drift_ = 0;
    std::mt19937_64 random_;
    bool landingPending_ = false;
    std::uint64_t setsLanded_ = 0;
    std::vector<double> landings_;
    std::size_t eventsSeen_ = 0;
    std::array<std::uint64_t, kStatusNames.size()> statusWrites_{};
    std::array<std::string, kStatusNames.size()> statusTexts_{};
};

// The process as the service controller starts it: no argument, so the command line hands
// the main thread to the dispatcher, which runs the service until it reports STOPPED.
void RunServiceProcess() {
    emu::SetStartedByController(true);
    static char program[] = "chronel.exe";
    std::array<char*, 2> argv{program, nullptr};
    try {
        ProcessCommandLine(1, argv.data());
    } catch (const emu::ProcessExit&) {
        // The dispatcher could not start; the event log says so.
    }
    emu::JoinServiceThreads(); // the loop's last steps after STOPPED
}

} // namespace

RunResult RunClosedLoop(const Scenario& scenario, Observer* observer) {
    emu::ResetWorld();
    ResetModuleState();
    emu::Advance100ns(std::llround(std::clamp(scenario.StartPhaseMs, 0.0, 999.0) * kUnitsPerMs));
    emu::SetClockOffsetMs(scenario.OffsetMs);
    emu::SetDriftPpm(scenario.DriftPpm);
    emu::SetWaitsEndAtInterrupt(scenario.WaitsEndAtInterrupt);
    emu::SetClockInterrupt(scenario.Interrupt);
    emu::SetPreciseTimeAvailable(scenario.PreciseTime);
    InitDefaultTimeIncrement();
    for (const auto& [name, value] : scenario.Settings) {
        ApplySetting(name, value);
    }
    emu::RegSetDword(kCardKey, "Seed", static_cast<std::uint32_t>(scenario.Seed));
    for (const auto& [name, value] : scenario.Card) {
        emu::RegSetDword(kCardKey, name, value);
    }

    Recorder recorder(scenario, observer);
    emu::SetTickObserver([&recorder](std::int64_t t, std::int64_t s) { recorder.Tick(t, s); });
    emu::SetCallHook([&recorder](const char* call) { recorder.Call(call); });
    emu::SetTecReadTime([&recorder](std::int32_t handle, void* record44) {
        if (recorder.InOutage()) {
            return std::int32_t{1}; // no new data: the timecode is gone
        }
        recorder.Plug();
        const std::int32_t result = tecReadTime(handle, record44);
        if (result == 0) {
            TimecodeRecord record;
            std::memcpy(&record, record44, sizeof record);
            recorder.Measured(record);
        }
        return result;
    });

    RunServiceProcess();
    while (recorder.NextProcess()) {
        // A new process: what the service keeps in memory starts from its initial values.
        ResetModuleState();
        RunServiceProcess();
    }

    emu::SetCallHook({});
    emu::SetTickObserver({});
    emu::UseSimulatedCard();
    recorder.Poll();

    RunResult result;
    result.Samples = recorder.TakeSamples();
    result.Figures = ComputeLock(result.Samples, kLockBandMs);
    result.Figures.HardSets = recorder.SetTimeCalls();
    result.Figures.LandingMs = recorder.Landings();
    result.Figures.RateChanges = recorder.AdjustmentCalls() - recorder.SetTimeCalls();
    result.Cycles = recorder.Cycles();
    return result;
}

Steady SteadyFigures(const std::vector<Sample>& samples, double fromS) {
    Steady f;
    double sumSquares = 0;
    std::size_t n = 0;
    for (const Sample& s : samples) {
        if (s.TimeS >= fromS) {
            f.MaxAbsMs = std::max(f.MaxAbsMs, std::fabs(s.ErrorMs));
            sumSquares += s.ErrorMs * s.ErrorMs;
            ++n;
        }
    }
    if (n != 0) {
        f.RmsMs = std::sqrt(sumSquares / static_cast<double>(n));
    }
    return f;
}

LockFigures ComputeLock(const std::vector<Sample>& samples, double bandMs) {
    LockFigures f;
    if (samples.empty()) {
        return f;
    }
    // The first sample of the last stretch that stays inside the band.
    std::size_t first = samples.size();
    while (first > 0 && std::fabs(samples[first - 1].ErrorMs) <= bandMs) {
        --first;
    }
    if (first == samples.size()) {
        return f;
    }
    f.ConvergedS = samples[first].TimeS;
    double sumSquares = 0;
    f.MaxAbsMs = 0;
    for (std::size_t i = first; i < samples.size(); ++i) {
        f.MaxAbsMs = std::max(f.MaxAbsMs, std::fabs(samples[i].ErrorMs));
        sumSquares += samples[i].ErrorMs * samples[i].ErrorMs;
    }
    f.RmsMs = std::sqrt(sumSquares / static_cast<double>(samples.size() - first));
    return f;
}

} // namespace sim
