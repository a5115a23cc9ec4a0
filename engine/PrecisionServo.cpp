#include "engine/PrecisionServo.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr double kNominalIncrement = 156250; // when the system could not say
constexpr double kPpm = 1e-6;

// The card's reading is the phase to within a band one millisecond wide.
constexpr double kHalfBandMs = 0.5;
constexpr double kBandVariance = 1.0 / 12;    // a reading's spread when nothing else is known
constexpr double kEdgeVariance = 0.03 * 0.03; // where the phase is when it leaves the band
// A card stamps a frame some way into the interrupt path that serves it, never at its edge:
// even the least delayed readings show the clock that much ahead. No reading can tell this
// floor from the phase. Half the usual floor (about 0.1 ms) is allowed for, so that the clock
// sits within about this much of the frames whether a card takes the usual delay or none.
constexpr double kLeastStampLatencyMs = 0.05;
// The oscillator's frequency wanders as a random walk of this strength (ppm^2 per s); a
// little phase noise covers what the model leaves out.
constexpr double kDriftWalk = 0.007;
// The frequency is never taken as known better than this (ppm^2): the readings that teach it
// are not independent of each other.
constexpr double kLeastDriftVariance = 0.25;
constexpr double kPhaseWalk = 1e-6; // ms^2 per s
constexpr double kLearnableDriftPpm = 1.5 * kServoMaxDriftPpm;
constexpr double kInitialDriftVariance = 500.0 * 500.0;
// An edge this far from the estimate (and far beyond its spread), shown by the least delayed
// of the recent readings or by one that is early, is a step: the phase starts afresh, the
// frequency stays.
constexpr double kStepMs = 5;
constexpr double kStepSigmas = 6;
// A reading this far outside the recent readings' range is not taken: a label a frame off
// (33 to 42 ms), a garbled one, a stamp taken very late. Until a few readings are known, the
// range is that of one interrupt either side.
constexpr double kGateMs = 10;
constexpr std::uint8_t kFewReadings = 4;
// So many rejected readings in a row, agreeing among themselves to within the recent
// readings' range and this much, are a step.
constexpr std::uint8_t kStepReadings = 4;
constexpr double kAgreeMs = 2;
// Readings spread over more than half an interrupt, among at least this many, are stamps
// from the interrupt's clock.
constexpr std::uint8_t kCoarseReadings = 8;
// How well the middle of those readings' range shows the phase (ms^2).
constexpr double kCoarseMiddleVariance = 1.0;
// A stamp can only be late, so the band's bottom edge is believed only when this many readings
// in a row show the phase above it, agreeing to within how far the phase may move meanwhile.
constexpr std::size_t kLeastOf = 4;
constexpr std::size_t kRingMask = std::tuple_size_v<decltype(ServoState::Ring)> - 1;
constexpr std::uint8_t kBlock = (kRingMask + 1) / 2;
static_assert((kRingMask & (kRingMask + 1)) == 0 && kLeastOf <= kBlock);
constexpr double kEdgeMotionMs = 0.1;
// A longer gap between two cycles is a suspended machine or a clock set by someone else;
// nothing can be predicted across it.
constexpr double kLongestGapS = 60;
// How old a reading is when the loop acts on it, on average (half a frame).
constexpr double kReadingAgeS = 0.02;
// When a new rate really takes hold is known only to within about this much (the reading's
// age varies over a frame, and the clock applies a rate at its own interrupts): each change of
// rate leaves that much doubt about the phase, which is no evidence about the frequency.
constexpr double kRateTimingS = 0.02;
constexpr double kHoldoverLimitS = 4.0 * 3600;

// The phase is pulled in with this time constant, within the slew limits.
constexpr double kPullTimeS = 2;
// Within this distance of zero the rate only dithers around the learned frequency, switching
// between its two neighbouring whole values when the phase passes the hysteresis bounds.
constexpr double kDitherZoneMs = 0.05;
constexpr double kDitherHysteresisMs = 0.01;
// The pull is never weaker than this (100 ns per clock interrupt), so that the last stretch
// does not creep.
constexpr double kLeastPullUnits = 20;
// While locked, the readings say nothing until the phase reaches the edge of their band. When
// the estimate has grown this vague, the phase is walked out to just past one edge (the other
// one next time) and back: the reading turns where the edge really is.
constexpr double kProbeDoubtMs = 0.1;
constexpr double kProbeReachMs = kHalfBandMs + 0.1;

double Increment(const ServoInput& in) {
    return in.Increment != 0 ? static_cast<double>(in.Increment) : kNominalIncrement;
}

// One clock interrupt in ms: the increment is the time it adds.
double TickMs(double increment) {
    return increment / 10000;
}

// The clock's rate error in ms per s with this correction in force.
double PhaseRate(double driftPpm, std::int32_t applied, double increment) {
    return ((1 + driftPpm * kPpm) * (1 + applied / increment) - 1) * 1000;
}

void Predict(ServoState& s, double dt, std::int32_t applied, double increment) {
    if (dt <= 0) {
        return;
    }
    const double c = (1 + applied / increment) * 1e-3; // ms per s, per ppm of drift
    s.PhaseMs += PhaseRate(s.DriftPpm, applied, increment) * dt;
    const double cdt = c * dt;
    s.Pxx += 2 * cdt * s.Pxd + cdt * cdt * s.Pdd;
    s.Pxd += cdt * s.Pdd;
    s.Pxx += kDriftWalk * cdt * cdt * dt / 3 + kPhaseWalk * dt;
    s.Pxd += kDriftWalk * cdt * dt / 2;
    s.Pdd += kDriftWalk * dt;
}

void ForgetReadings(ServoState& s) {
    s.RingCount = 0;
    s.RingNext = 0;
    s.RingShift = 0;
    s.RingSum = 0;
    s.BlockCount = 0;
    s.Coarse = false;
    s.Suspects = 0;
}

void StartPhase(ServoState& s, double phaseMs) {
    s.ProbeMs = 0;
    s.PhaseMs = phaseMs;
    s.Pxx = kBandVariance;
    s.Pxd = 0;
    s.HavePhase = true;
    s.TimingMs = 0;
    ForgetReadings(s);
}

// Moves the estimate towards a phase z; with teach false the frequency is left as it is.
void Correct(ServoState& s, double z, double variance, bool teach = true) {
    const double innovation = z - s.PhaseMs;
    const double spread = s.Pxx + variance;
    const double k0 = s.Pxx / spread;
    const double k1 = teach ? s.Pxd / spread : 0.0;
    s.PhaseMs += k0 * innovation;
    s.RingShift += k0 * innovation;
    // A frequency beyond what the servo is built to lock is not the oscillator's: it is a
    // pattern in the readings, such as the beat of the frame rate against the interrupt.
    s.DriftPpm = std::clamp(s.DriftPpm + k1 * innovation, -kLearnableDriftPpm, kLearnableDriftPpm);
    if (teach) {
        s.Pdd = std::max(s.Pdd - k1 * s.Pxd, kLeastDriftVariance);
    }
    s.Pxx *= variance / spread;
    s.Pxd *= variance / spread;
}

void Remember(ServoState& s, double residual) {
    const double v = residual + s.RingShift;
    if (s.RingCount > kRingMask) {
        s.RingSum -= s.Ring[s.RingNext];
    }
    s.RingSum += v;
    s.Ring[s.RingNext] = v;
    s.RingNext = static_cast<std::uint8_t>((s.RingNext + 1u) & kRingMask);
    if (s.RingCount <= kRingMask) {
        ++s.RingCount;
    }
    if (s.BlockCount == 0) {
        s.BlockLow = v;
        s.BlockHigh = v;
    } else {
        s.BlockLow = std::min(s.BlockLow, v);
        s.BlockHigh = std::max(s.BlockHigh, v);
    }
    if (++s.BlockCount == kBlock) {
        s.OldestLow = s.EarlierLow;
        s.OldestHigh = s.EarlierHigh;
        s.EarlierLow = s.BlockLow;
        s.EarlierHigh = s.BlockHigh;
        s.BlockCount = 0;
    }
}

struct Range {
    double Low;
    double High;
};

// The range of the last half ring to whole ring of readings, against the present estimate;
// kept by blocks, so that no reading costs a look through all of them.
Range Remembered(const ServoState& s) {
    Range r{s.EarlierLow, s.EarlierHigh};
    if (s.RingCount < kBlock) {
        r = {s.BlockLow, s.BlockHigh};
    } else if (s.BlockCount != 0) {
        r = {std::min(r.Low, s.BlockLow), std::max(r.High, s.BlockHigh)};
    }
    return {r.Low - s.RingShift, r.High - s.RingShift};
}

// The range of the last whole ring to a ring and a half of readings, against the present
// estimate: at least every remembered reading, however the blocks fall.
Range WholeRing(const ServoState& s) {
    if (s.RingCount <= kRingMask) {
        return Remembered(s);
    }
    Range r{std::min(s.EarlierLow, s.OldestLow), std::max(s.EarlierHigh, s.OldestHigh)};
    if (s.BlockCount != 0) {
        r = {std::min(r.Low, s.BlockLow), std::max(r.High, s.BlockHigh)};
    }
    return {r.Low - s.RingShift, r.High - s.RingShift};
}

// The bottom edge of the band, as the newest kLeastOf readings show it: the oldest of them is
// taken when the newer ones agree with it (to within the little the phase moves while they
// come in); a single late stamp among them cannot pass for an edge. Returns false when
// they do not show the phase above the band.
bool BottomEdge(const ServoState& s, double& residual) {
    if (s.RingCount < kLeastOf) {
        return false;
    }
    constexpr std::size_t mask = kRingMask;
    const double oldest = s.Ring[(s.RingNext - kLeastOf) & mask] - s.RingShift;
    if (oldest <= kHalfBandMs) {
        return false;
    }
    double newer = s.Ring[(s.RingNext - 1u) & mask];
    for (std::size_t i = 2; i < kLeastOf; ++i) {
        newer = std::min(newer, s.Ring[(s.RingNext - i) & mask]);
    }
    newer -= s.RingShift;
    if (newer <= kHalfBandMs - kEdgeMotionMs) {
        return false;
    }
    residual = std::min(oldest, newer + kEdgeMotionMs);
    return true;
}

// A reading that fails the gate is a label error or a stamp far too late, unless several in a
// row agree with each other: then the timecode (or the clock) has stepped, and the phase
// starts afresh at the least delayed of them.
void Suspect(ServoState& s, double d, double residual, double widthMs) {
    const double low = std::min(s.SuspectLowMs, residual);
    const double high = std::max(s.SuspectHighMs, residual);
    if (s.Suspects == 0 || high - low > widthMs + kAgreeMs) {
        s.Suspects = 1;
        s.SuspectLowMs = residual;
        s.SuspectHighMs = residual;
        return;
    }
    s.SuspectLowMs = low;
    s.SuspectHighMs = high;
    if (++s.Suspects < kStepReadings) {
        return;
    }
    StartPhase(s, s.PhaseMs + low);
    Remember(s, d - s.PhaseMs);
}

void TakeReading(ServoState& s, std::int32_t diffMs, double tickMs) {
    const double d = diffMs - kLeastStampLatencyMs;
    // Nothing remembered yet (a fresh start, or a frequency restored without a phase): the
    // first reading is where the phase is.
    if (!s.HavePhase || s.RingCount == 0) {
        StartPhase(s, d);
        Remember(s, 0);
        return;
    }
    const double residual = d - s.PhaseMs;
    const bool few = s.RingCount < kFewReadings;
    Range before = Remembered(s);
    if (s.Coarse) {
        // Coarse stamps may fall anywhere in the interrupt's band below the phase, however
        // narrow the part of it that the recent ones happened to visit.
        before = {std::min(before.Low, -tickMs), std::max(before.High, 0.0)};
    }
    const bool plausible =
        few ? std::fabs(residual) <= tickMs + kGateMs
            : residual >= before.Low - kGateMs && residual <= before.High + kGateMs;
    if (!plausible) {
        Suspect(s, d, residual, few ? tickMs : before.High - before.Low);
        return;
    }
    s.Suspects = 0;
    Remember(s, residual);
    // Until the readings can tell stamps of the interrupt's clock from fine ones, they are only
    // remembered: a coarse stamp taken as an edge would move the phase by up to an interrupt,
    // and the beat of the frame rate against the interrupt would pass for a frequency.
    if (s.RingCount < kCoarseReadings) {
        return;
    }
    const auto [low, high] = WholeRing(s);

    // Stamps from the interrupt's clock lag the true time by up to one interrupt, spread over
    // it: the readings fill a band that wide below the phase, and its middle, half an
    // interrupt up, is the phase. Neighbouring readings step through the band together, so
    // the middle says something new only once per block of them.
    // Latency spreads readings too, but leaves most of them near the least delayed; the
    // interrupt's clock spreads them over its whole band.
    const double mean = s.RingSum / s.RingCount - s.RingShift;
    const double width = high - low;
    if (width > (s.Coarse ? tickMs / 4 : tickMs / 2) && mean - low > width / 4) {
        const double middle = s.PhaseMs + (low + high + tickMs) / 2;
        if (!s.Coarse) {
            // What the fine rules made of these readings is no phase and no frequency.
            s.Pxx = std::max(s.Pxx, tickMs * tickMs / 12);
            s.Pxd = 0;
            s.ProbeMs = 0;
            s.Coarse = true;
            Correct(s, middle, kCoarseMiddleVariance, false);
        } else if (s.BlockCount == 0) {
            Correct(s, middle, kCoarseMiddleVariance + s.TimingMs * s.TimingMs);
        }
        s.TimingMs = 0;
        return;
    }
    s.Coarse = false;
    // Only where the prediction leaves the reading's band does the reading say more than the
    // prediction: the phase is then at the band's edge. Inside it, the reading agrees, and
    // the phase is where the prediction puts it, however long it stays there. A stamp can be
    // late but never early, so the band's top edge holds for any one reading; its bottom edge
    // only for the least delayed of the recent ones.
    double z = 0;
    double edge = 0;
    if (residual < -kHalfBandMs) {
        z = d + kHalfBandMs;
    } else if (BottomEdge(s, edge)) {
        z = s.PhaseMs + edge - kHalfBandMs;
    } else {
        return;
    }
    const double innovation = z - s.PhaseMs;
    if (std::fabs(innovation) > std::max(kStepMs, kStepSigmas * std::sqrt(s.Pxx + kEdgeVariance))) {
        StartPhase(s, z);
        Remember(s, d - s.PhaseMs);
        return;
    }
    Correct(s, z, kEdgeVariance + s.TimingMs * s.TimingMs);
    s.TimingMs = 0;
    s.ProbeMs = 0;
}

// Starts a walk to an edge when the phase is vague and settled; ends one that has arrived.
void Probe(ServoState& s) {
    if (!s.HavePhase || s.Coarse) {
        s.ProbeMs = 0;
        return;
    }
    const bool arrived = std::fabs(s.PhaseMs - s.ProbeMs) <= kDitherZoneMs;
    if (s.ProbeMs != 0) {
        if (arrived) {
            s.ProbeMs = 0;
        }
        return;
    }
    if (arrived && s.Pxx > kProbeDoubtMs * kProbeDoubtMs) {
        s.ProbeSide = -s.ProbeSide;
        s.ProbeMs = s.ProbeSide * kProbeReachMs;
    }
}

std::int32_t Choose(const ServoState& s, const ServoInput& in, double increment) {
    const double lowest = -static_cast<double>(std::max(in.SyncM, 0));
    const double highest = static_cast<double>(std::max(in.SyncP, 0));
    const double drift = s.DriftPpm * kPpm;
    const double frequency = std::clamp(-increment * drift / (1 + drift), lowest, highest);
    const double phase = s.HavePhase ? s.PhaseMs - s.ProbeMs : 0;
    const auto whole = [&](double v) {
        return static_cast<std::int32_t>(std::clamp(v, lowest, highest));
    };
    // With coarse stamps a pull once started goes on to the middle of the zone: let go at its
    // edge, the next correction of the middle pushes the phase out again at once, and each
    // push costs two rate changes.
    const auto pulling = [&] {
        const double side = s.Applied - frequency;
        return std::fabs(side) >= kLeastPullUnits / 2 && side * phase < 0 &&
               std::fabs(phase) > kDitherHysteresisMs;
    };
    if (std::fabs(phase) > kDitherZoneMs || (s.Coarse && pulling())) {
        const double msPerUnit = 1000 / increment * (1 + drift); // per s
        double pull = -phase / (msPerUnit * kPullTimeS);
        if (std::fabs(pull) < kLeastPullUnits) {
            pull = std::copysign(kLeastPullUnits, pull);
        }
        const double wanted = std::round(std::clamp(frequency + pull, lowest, highest));
        // The pull eases off in steps of a quarter, not at every unit: a few rate changes
        // per correction.
        const double step = std::max(1.0, std::fabs(s.Applied - frequency) / 4);
        if (std::fabs(wanted - s.Applied) >= step || (s.Applied - frequency) * pull <= 0) {
            return whole(wanted);
        }
        return s.Applied;
    }
    const double below = std::floor(frequency);
    const bool neighbour = s.Applied == whole(below) || s.Applied == whole(below + 1);
    if (phase > kDitherHysteresisMs || (!neighbour && phase >= 0)) {
        return whole(below);
    }
    if (phase < -kDitherHysteresisMs || !neighbour) {
        return whole(below + 1);
    }
    return s.Applied;
}

} // namespace

ServoState ServoStart() noexcept {
    ServoState s;
    s.Pdd = kInitialDriftVariance;
    return s;
}

std::int32_t ServoStep(ServoState& s, const ServoInput& in) noexcept {
    const double increment = Increment(in);
    const std::int64_t offset =
        in.Measured ? in.DiffMs : (s.HavePhase ? std::llround(s.PhaseMs) : 0);
    const std::int64_t refMs = in.PcMs - offset; // timecode time, as far as it is known
    double dt = 0;
    if (s.HaveTime) {
        dt = std::clamp(static_cast<double>(refMs - s.LastRefMs) / 1000, 0.0, kLongestGapS);
    }
    s.HaveTime = true;
    s.LastRefMs = refMs;
    // The reading is of a frame some way back: the rate chosen last cycle came into force
    // that long after the previous reading's frame.
    const double before = std::min(dt, kReadingAgeS);
    Predict(s, before, s.Previous, increment);
    Predict(s, dt - before, s.Applied, increment);
    s.Previous = s.Applied;

    if (in.Measured) {
        s.WithoutReadingS = 0;
        s.Released = false;
        TakeReading(s, in.DiffMs, TickMs(increment));
        Probe(s);
    } else {
        s.WithoutReadingS += dt;
        if (s.WithoutReadingS >= kHoldoverLimitS) {
            s.Released = true;
            s.HavePhase = false;
        }
    }
    const std::int32_t chosen = s.Released ? 0 : Choose(s, in, increment);
    s.TimingMs +=
        std::fabs(static_cast<double>(chosen) - s.Applied) * 1000 / increment * kRateTimingS;
    s.Applied = chosen;
    return s.Applied;
}

void ServoRestartPhase(ServoState& s) noexcept {
    s.HavePhase = false;
    ForgetReadings(s);
    s.Pxd = 0;
    s.Applied = 0;
    s.Previous = 0;
}

namespace {
// The frequency is kept for a later run while its spread is within this (ppm^2): between
// two corrections it grows by several tenths of a ppm^2 from its least.
constexpr double kLearnedDriftVariance = 1.5 * 1.5;
// A restored frequency counts as learned only once readings of this run have confirmed it.
constexpr double kRestoredDriftVariance = 4 * kLearnedDriftVariance;
// Where the clock stands against the timecode after a restart nobody knows (ms^2): the phase
// is held where it is, and the first reading places it without teaching the frequency.
constexpr double kUnknownPhaseVariance = 1e6;
} // namespace

bool ServoFrequencyLearned(const ServoState& s) noexcept {
    return s.HavePhase && !s.Released && s.WithoutReadingS == 0 && s.Pdd <= kLearnedDriftVariance &&
           std::fabs(s.DriftPpm) <= kServoMaxDriftPpm;
}

double ServoFrequencySpread(const ServoState& s) noexcept {
    return std::sqrt(std::max(s.Pdd, 0.0));
}

std::int32_t ServoRestoreFrequency(ServoState& s, double ppm, double sdPpm, double ageS,
                                   const ServoInput& limits) noexcept {
    s = ServoStart();
    s.DriftPpm = std::clamp(ppm, -kServoMaxDriftPpm, kServoMaxDriftPpm);
    s.Pdd = std::clamp(sdPpm * sdPpm + kDriftWalk * std::max(ageS, 0.0), kRestoredDriftVariance,
                       kInitialDriftVariance);
    // Held as a phase of zero, the prediction runs on the frequency and the rate dithers
    // between its two whole neighbours, as in any holdover.
    s.HavePhase = true;
    s.PhaseMs = 0;
    s.Pxx = kUnknownPhaseVariance;
    s.Applied = Choose(s, limits, Increment(limits));
    s.Previous = s.Applied;
    return s.Applied;
}
