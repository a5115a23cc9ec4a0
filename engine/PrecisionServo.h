// The precision servo ("SyncMode" 1): learns the clock's frequency and phase from the
// whole-millisecond differences and chooses the rate correction each cycle. Pure rules over a
// small state that the loop keeps; no clock is read and nothing is called here.
//
// The estimate is a two-state filter (phase in ms, the oscillator's error in ppm). A reading
// d only says that the phase lies in a band one millisecond wide around d, however the card
// rounds; the filter moves its phase only when its prediction leaves that band, and then to
// the band's edge, which is where the phase really is at that moment. While the phase stays
// inside, the prediction runs on the learned frequency. No single reading is trusted: a stamp
// can be late but never early, so the band's top edge is taken from any reading and its
// bottom edge only when several in a row show it; a reading far outside the recent ones'
// range is a label error unless several in a row agree, which is a step. Stamps from the
// clock interrupt's coarse time spread over an interrupt below the phase, and are read by the
// middle of their range. The rate is the learned frequency plus a bounded pull of the phase
// towards zero; the fraction of a unit that the whole-unit clock adjustment cannot express is
// dithered between the two neighbouring values, at most about once in several seconds.
#pragma once

#include <array>
#include <cstdint>

struct ServoState {
    bool HaveTime = false;  // LastRefMs holds a time
    bool HavePhase = false; // PhaseMs is an estimate (else the next reading starts it)
    bool Released = false;  // held too long without a reading: back at the nominal rate
    std::int64_t LastRefMs = 0;
    double PhaseMs = 0;  // estimated clock error, positive = ahead
    double DriftPpm = 0; // estimated oscillator error, positive = fast
    // Covariance of (phase, drift).
    double Pxx = 0;
    double Pxd = 0;
    double Pdd = 0;
    std::int32_t Applied = 0;  // the correction in force, 100 ns per clock interrupt
    std::int32_t Previous = 0; // the one before it
    double WithoutReadingS = 0;
    double ProbeMs = 0;   // the phase aimed at while walking to an edge, else 0
    double ProbeSide = 1; // the edge walked to last
    double TimingMs = 0;  // doubt about the phase from rate changes since the last correction
    // The recent readings that passed the gate, each as the reading less the phase predicted
    // for it, plus RingShift as it was then: moving the estimate moves RingShift, so every
    // entry stays relative to the present estimate without being touched.
    std::array<double, 16> Ring{};
    std::uint8_t RingCount = 0;
    std::uint8_t RingNext = 0;
    double RingShift = 0;
    double RingSum = 0; // of the entries, as stored
    // The range of the entries, as stored, in blocks of half the ring: the one filling and the
    // two before it.
    double BlockLow = 0;
    double BlockHigh = 0;
    double EarlierLow = 0;
    double EarlierHigh = 0;
    double OldestLow = 0; // of the block before the earlier one
    double OldestHigh = 0;
    std::uint8_t BlockCount = 0;
    bool Coarse = false; // the readings spread over a clock interrupt: stamps from its clock
    // Readings that failed the gate in a row, and their range (less the prediction).
    std::uint8_t Suspects = 0;
    double SuspectLowMs = 0;
    double SuspectHighMs = 0;
};

struct ServoInput {
    // The PC clock in ms (any fixed epoch): the record's time stamp when Measured, else now.
    std::int64_t PcMs = 0;
    bool Measured = false;       // a reading that may correct the clock
    std::int32_t DiffMs = 0;     // the reading: PC minus timecode, ms
    std::int32_t SyncM = 0;      // largest slow-down
    std::int32_t SyncP = 0;      // largest speed-up
    std::uint32_t Increment = 0; // the nominal increment per clock interrupt (0: unknown)
};

// A fresh state: nothing learned, nominal rate.
ServoState ServoStart() noexcept;

// One cycle: advances the estimate to the input's time, takes the reading if there is one,
// and returns the correction to apply (added to the nominal increment; 0 is the nominal rate).
std::int32_t ServoStep(ServoState& state, const ServoInput& in) noexcept;

// After the clock was set outright: the phase is learned afresh, the frequency is kept, and
// the nominal rate is in force.
void ServoRestartPhase(ServoState& state) noexcept;

// --- The learned frequency across runs ------------------------------------------------------

// The largest oscillator error the servo is built to lock, ppm either way.
constexpr double kServoMaxDriftPpm = 500;

// Whether the frequency is known well enough to keep for a later run: this cycle's reading
// was taken, and the frequency's spread has come down to about a ppm.
bool ServoFrequencyLearned(const ServoState& state) noexcept;

// The frequency's standard deviation as the servo knows it, ppm.
double ServoFrequencySpread(const ServoState& state) noexcept;

// Takes up a frequency learned by an earlier run, sdPpm its spread then and ageS how long ago:
// the frequency is in force at once, with the doubt its age adds; the clock is held where it
// stands until the next reading places the phase afresh. Returns the correction that holds the
// frequency (SyncM, SyncP and Increment of limits bound it, as in ServoStep).
std::int32_t ServoRestoreFrequency(ServoState& state, double ppm, double sdPpm, double ageS,
                                   const ServoInput& limits) noexcept;
