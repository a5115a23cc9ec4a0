// The closed loop: the service's own code disciplining the emulated PC clock against the
// simulated card, in virtual time.
#pragma once

#include "platform/emu/EmuTime.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct Scenario {
    double OffsetMs = 250.0;  // initial error of the system clock, positive = ahead
    double DriftPpm = 40.0;   // the clock's oscillator, positive = fast
    double DurationS = 600.0; // simulated seconds
    // Registry values of the service ("DifSys", "500"); "Sync" and non-numbers are strings.
    std::vector<std::pair<std::string, std::string>> Settings;
    double SampleEveryMs = 10.0;
    // Runs on the service's thread at the end of the run, just before the stop: the service
    // is still running and its status current (may be empty).
    std::function<void()> BeforeStop;
    // Stretches (start, length, in simulated seconds) in which every read of the card fails.
    std::vector<std::pair<double, double>> Outages;
    // Values of the simulated card's key (SOFTWARE\\TecoraSim): its frame rate, its stamps and
    // its faults. Its "Seed" is Seed unless named here.
    std::vector<std::pair<std::string, std::uint32_t>> Card;
    // Stretches (start, end, in simulated seconds) in which the card's timecode input is
    // unplugged: the card itself answers that it has no new data.
    std::vector<std::pair<double, double>> Unplugged;
    // Moments (simulated seconds) at which the service is stopped and started again, as a
    // new process: the registry, the clock and the card carry over, nothing in memory does.
    std::vector<double> RestartsS;
    // A random walk of the oscillator's drift: its spread after an hour (ppm), a step every
    // WanderStepS, kept within +-WanderLimitPpm (0: no limit) by reflection. Seeded, so a run
    // is repeated exactly.
    double WanderPpmPerHour = 0;
    double WanderStepS = 10;
    double WanderLimitPpm = 0;
    std::uint64_t Seed = 1;
    // The world: waits end at the clock's next interrupt, as on Windows; false for waits
    // that end exactly on time.
    bool WaitsEndAtInterrupt = true;
    // The clock interrupt: its period, jitter and late interrupts.
    emu::InterruptModel Interrupt{};
    // True time passed before the run starts (ms, under a second): moves the clock's
    // interrupts against the card's frames.
    double StartPhaseMs = 0;
    // Whether the system has the interpolated clock (Windows 8 and later) or not (Windows 7).
    bool PreciseTime = true;
};

// The clock at one moment of the run.
struct Sample {
    double TimeS = 0;            // simulated seconds since the start
    double ErrorMs = 0;          // system clock minus true time
    std::int32_t MeasuredMs = 0; // the difference in the latest record the card delivered
    std::int32_t Correction = 0; // the clock's adjustment minus its nominal increment (100 ns
                                 // per tick); 0 while the system regulates
};

struct LockFigures {
    double ConvergedS = -1;        // from then on |error| <= band to the end; -1: never
    double MaxAbsMs = -1;          // after convergence
    double RmsMs = -1;             // after convergence
    std::uint64_t RateChanges = 0; // SetClockRate calls
    std::uint64_t HardSets = 0;
    std::vector<double> LandingMs; // the error just after each hard set
};

// What the service wrote, as it happens.
class Observer {
  public:
    virtual ~Observer() = default;
    virtual void EventLogged(double timeS, std::uint16_t type, const std::string& text) = 0;
    virtual void StatusChanged(double timeS, const std::string& name, const std::string& text,
                               double errorMs) = 0;
};

// Largest |error| and RMS error of the samples from fromS on (both -1 without samples).
struct Steady {
    double MaxAbsMs = -1;
    double RmsMs = -1;
};
Steady SteadyFigures(const std::vector<Sample>& samples, double fromS);

struct RunResult {
    std::vector<Sample> Samples;
    LockFigures Figures;
    std::uint64_t Cycles = 0; // cycles of the loop
};

// Runs the service from its start to its stop at the end of the scenario's duration.
// Resets the emulated world first; observer may be null.
RunResult RunClosedLoop(const Scenario& scenario, Observer* observer);

// The convergence figures of an error trace against a band of +-bandMs.
LockFigures ComputeLock(const std::vector<Sample>& samples, double bandMs);

constexpr double kLockBandMs = 2.0;

} // namespace sim
