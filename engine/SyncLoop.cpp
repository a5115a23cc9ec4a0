#include "engine/SyncLoop.h"

#include "TimeFunc/CivilTime.h"
#include "TimeFunc/ClockControl.h"
#include "TimeFunc/SystemInfo.h"
#include "TimeFunc/TimeDifference.h"
#include "TimeFunc/TimeZone.h"
#include "TimeFunc/TimecodeRecord.h"
#include "card/CardAccess.h"
#include "card/CardIdentify.h"
#include "card/CardLink.h"
#include "engine/ClockWatch.h"
#include "engine/CorrectionLaw.h"
#include "engine/EventLog.h"
#include "engine/FileWriter.h"
#include "engine/History.h"
#include "engine/Metrics.h"
#include "engine/PrecisionServo.h"
#include "engine/Settings.h"
#include "engine/SettingsTable.h"
#include "engine/StatusTable.h"
#include "engine/StoredFrequency.h"
#include "engine/_Display.h"
#include "platform/Platform.h"
#include "service/ServiceLifecycle.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

std::string DiffText(std::int32_t d) {
    return plat::FormatGroupedNumber(d);
}

namespace {

// Stands for "no correction applied": the next correction reaches the clock whatever it is.
constexpr std::int32_t kNoCorrection = std::numeric_limits<std::int32_t>::max();

constexpr std::uint32_t kCyclePauseMs = 50;
constexpr std::uint32_t kStartupPauseMs = 50;
constexpr std::uint32_t kStartupRetryPauseMs = 100;
constexpr int kStartupReads = 201;
constexpr std::uint32_t kStopPollMs = 1;
constexpr std::uint32_t kSettleAfterHardSetMs = 500;
constexpr std::uint32_t kPauseAfterHardSetReadMs = 40;
// Each attempt at a hard set hands the clock back to its nominal rate and restarts the
// servo's phase: a refused set tried at every cycle would leave the clock never slewed.
constexpr std::uint64_t kRefusedSetRetryMs = 60000;
constexpr std::chrono::milliseconds kFileWriterStopWait{1500};
// The learned frequency is kept for the next run at most this often, and at the stop.
constexpr std::uint64_t kFrequencyWritePeriodMs = 60000;

// ReloadCountdown after a reload: the next comes when it has run down past 0, 201 cycles on.
constexpr std::int32_t kReloadCountdownStart = 200;
constexpr std::int32_t kLastSyncPeriod = 50;
constexpr std::int32_t kFailuresBeforeNotice = 50; // the 51st failure in a row is notified
constexpr std::int32_t kFormatErrorCycles = 600;   // the 600th format error is notified
constexpr std::int32_t kFormatErrorNotified = -1;
constexpr std::int32_t kLimitNoticeRepeat = 5000; // good cycles between out-of-limits notices

// What a cycle leaves for the status texts. The texts themselves are composed only when they
// are published (about once a second), so the twenty cycles a second in between allocate
// nothing; a cycle keeps just the record and the few facts the texts are made of.
enum class CycleKind : std::uint8_t { None, Good, OutOfLimits, FormatError, Failure };

struct CycleFacts {
    CycleKind Kind = CycleKind::None;
    TimecodeRecord Record{};
    std::int32_t Difference = 0; // as measured, also when out of limits
    bool DateExpected = false;
    std::uint8_t SelectTimezone = 0;
    std::int32_t TimecodeBias = 0; // of a converted record: the one its text is shown with
    bool SyncFlagCarried = false;
    bool InSync = false;
};

// A kind of trouble from its first cycle on. Once it has been reported, its end is reported
// too, with how long it lasted, so that the log tells the whole story.
struct Trouble {
    bool Active = false;
    bool Reported = false;
    std::uint64_t SinceMs = 0; // system ticks, which no clock setting moves
};

struct LoopState;

// What differs between the two rate laws, behind one face: the loop asks the law chosen at the
// last reload and never looks at "SyncMode" itself.
struct RateLaw {
    // A good record: the rate from its difference and the proportional law's decision.
    void (*Reading)(LoopState& s, const CorrectionDecision& decision, std::int32_t d);
    // A cycle without a reading to correct by; readFailed: the card's read failed, else the
    // record came in the wrong user format.
    void (*NoReading)(LoopState& s, bool readFailed);
    // "LTC is out of limits" is being notified.
    void (*OutOfLimitsNoticed)();
    // Whether a frequency kept by an earlier run is taken up at the start.
    bool TakesUpStoredFrequency;
};

const RateLaw& LawFor(std::int32_t syncMode);

struct LoopState {
    const RateLaw* Law = &LawFor(0); // chosen by "SyncMode" at each reload
    TimecodeRecord Record{};
    std::int32_t TimecodeBias = 0; // the zone the conversion took the record's timecode to be in
    std::int32_t Failures = 0;
    std::int32_t FormatCountdown = kFormatErrorCycles;
    std::int32_t LimitHoldOff = 0;
    std::int32_t AppliedCorrection = kNoCorrection;
    std::int32_t LastDifference = 0;
    std::uint16_t RememberedSecond = 0;
    Trouble SourceTrouble;
    Trouble FormatTrouble;
    Trouble LimitTrouble;
    bool ModeFailureReported = false; // during one run of failures the entry is written once
    bool SetRefused = false;          // a refused hard set was reported...
    std::uint32_t RefusalCode = 0;    // ...with this system error, not reported again
    std::uint64_t RefusedAtMs = 0;    // system ticks at the last refused attempt
    CycleFacts Facts;
    bool FactsPublished = true; // the texts below already say what Facts hold
    std::string SystemText;
    std::string LtcText;
    MetricsFacts Metrics;
    ServoState Servo = ServoStart();
    // The frequency as last learned in this run, kept for the next one.
    std::optional<std::uint32_t> Card; // the card's identity; unknown: nothing is kept
    std::optional<StoredFrequency> Learned;
    bool LearnedWritten = true;         // the value holds what Learned says
    std::uint64_t LearnedWrittenMs = 0; // system ticks at the last write
    // The day number of the date last turned into a stamp: the date changes once a day, the
    // stamps twenty times a second.
    int StampYear = 0;
    int StampMonth = 0;
    int StampDay = 0;
    std::int32_t StampDayNumber = 0;
};

// Counters that a service running for years must not overflow; once past their threshold
// only "still past it" matters.
void CountUp(std::int32_t& counter) {
    if (counter < std::numeric_limits<std::int32_t>::max()) {
        ++counter;
    }
}
void CountDown(std::int32_t& counter) {
    if (counter > std::numeric_limits<std::int32_t>::min()) {
        --counter;
    }
}

void SetNominalRate() {
    (void)SetClockRate(DefaultTimeIncrement());
}

void ApplyCorrection(std::int32_t u) {
    (void)SetClockRate(DefaultTimeIncrement() + static_cast<std::uint32_t>(u));
}

constexpr std::uint8_t kPrecisionMode = 1;

constexpr std::int32_t DayOf(int year, int month, int day) {
    return civil::IsValidDate(year, month, day) ? civil::DayNumber(year, month, day) : 0;
}

std::int64_t StampMs(LoopState& s, int year, int month, int day, int hour, int minute, int second,
                     int ms) {
    if (year != s.StampYear || month != s.StampMonth || day != s.StampDay) {
        s.StampYear = year;
        s.StampMonth = month;
        s.StampDay = day;
        s.StampDayNumber = DayOf(year, month, day);
    }
    return civil::StampMs(s.StampDayNumber, civil::MsOfDay(hour, minute, second, ms));
}

void WriteLearnedFrequency(LoopState& s) {
    if (s.Learned && !s.LearnedWritten) {
        WriteStatus(kFrequencyValue, FormatStoredFrequency(*s.Learned));
        s.LearnedWritten = true;
        s.LearnedWrittenMs = plat::GetTickCount64();
    }
}

// After a reading: the frequency once the servo knows it well, stamped with the reading's
// time, and written when the last write is a minute old.
void KeepLearnedFrequency(LoopState& s, std::int64_t pcMs) {
    if (!s.Card || !ServoFrequencyLearned(s.Servo)) {
        return;
    }
    StoredFrequency f;
    f.Ppm = s.Servo.DriftPpm;
    f.SdPpm = ServoFrequencySpread(s.Servo);
    f.UnixMs = civil::UnixMsOfStamp(pcMs) / 1000 * 1000;
    f.Card = *s.Card;
    f.Source = FrequencySource::Learned;
    const bool first = !s.Learned || s.Learned->Source != FrequencySource::Learned;
    s.Learned = f;
    s.LearnedWritten = false;
    if (first || plat::GetTickCount64() - s.LearnedWrittenMs >= kFrequencyWritePeriodMs) {
        WriteLearnedFrequency(s);
    }
}

// At the start, in precision mode: the frequency an earlier run learned with this card, when
// it is recent, is in force at once. The value says whether it was taken up.
void TakeUpStoredFrequency(LoopState& s) {
    if (!s.Card || !SettingsRegistry) {
        return;
    }
    std::string text;
    try {
        text = SettingsRegistry->ReadString(kFrequencyValue);
    } catch (const RegistryError&) {
        return; // none kept, or not ours
    }
    std::optional<StoredFrequency> stored = ParseStoredFrequency(text);
    if (!stored) {
        return;
    }
    plat::SystemTime now;
    plat::GetSystemTime(now);
    const std::int64_t nowUnixMs = civil::UnixMsOfStamp(StampMs(
        s, now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second, now.Milliseconds));
    // Before the first reload: the law that reload will choose.
    const RateLaw& law = LawFor(ReadSettingFrom(*SettingsRegistry, SettingRowOf("SyncMode")));
    if (law.TakesUpStoredFrequency &&
        JudgeStoredFrequency(*stored, nowUnixMs, *s.Card) == FrequencyVerdict::Usable) {
        ServoInput limits;
        limits.SyncM = ReadSettingFrom(*SettingsRegistry, SettingRowOf("SyncM"));
        limits.SyncP = ReadSettingFrom(*SettingsRegistry, SettingRowOf("SyncP"));
        limits.Increment = DefaultTimeIncrement();
        const double ageS = static_cast<double>(nowUnixMs - stored->UnixMs) / 1000;
        const std::int32_t u =
            ServoRestoreFrequency(s.Servo, stored->Ppm, stored->SdPpm, ageS, limits);
        ApplyCorrection(u);
        s.AppliedCorrection = u;
        stored->Source = FrequencySource::Restored;
    } else {
        stored->Source = FrequencySource::Unused;
    }
    s.Learned = stored;
    s.LearnedWritten = false;
    WriteLearnedFrequency(s);
    // Only a frequency learned in this run is written again.
    s.Learned.reset();
}

// The precision mode's rate for this cycle: from the reading when measured, else the learned
// frequency held. Set only when it changes, like the proportional correction.
void PrecisionRate(LoopState& s, bool measured, std::int32_t d) {
    ServoInput in;
    if (measured) {
        const TimecodeRecord& r = s.Record;
        in.PcMs = StampMs(s, r.SystemYear, r.SystemMonth, r.SystemDay, r.SystemHour, r.SystemMinute,
                          r.SystemSecond, r.SystemMilliseconds);
    } else {
        plat::SystemTime now;
        plat::GetSystemTime(now);
        in.PcMs = StampMs(s, now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second,
                          now.Milliseconds);
    }
    in.Measured = measured;
    in.DiffMs = d;
    in.SyncM = Settings.SyncM;
    in.SyncP = Settings.SyncP;
    in.Increment = DefaultTimeIncrement();
    const std::int32_t u = ServoStep(s.Servo, in);
    if (u != s.AppliedCorrection) {
        ApplyCorrection(u);
        s.AppliedCorrection = u;
    }
    if (measured) {
        KeepLearnedFrequency(s, in.PcMs);
    }
}

// The proportional law ("SyncMode" 0): the decision's correction while one is permitted, the
// nominal rate while there is no reading.
void ProportionalReading(LoopState& s, const CorrectionDecision& decision, std::int32_t /*d*/) {
    if (decision.Permitted && decision.U != s.AppliedCorrection) {
        ApplyCorrection(decision.U);
        s.AppliedCorrection = decision.U;
    }
}

// Only a failed read forgets the correction in force: after a format error, or the out of
// limits notice, the next correction equal to it is not passed again until LastSync forces it.
void ProportionalNoReading(LoopState& s, bool readFailed) {
    if (readFailed) {
        s.AppliedCorrection = kNoCorrection;
    }
    SetNominalRate();
}

// The precision servo ("SyncMode" 1): measures while a correction is permitted, and where the
// proportional law returns to the nominal rate for want of a reading, holds the learned
// frequency instead.
void PrecisionReading(LoopState& s, const CorrectionDecision& decision, std::int32_t d) {
    PrecisionRate(s, decision.Permitted, d);
}

void PrecisionNoReading(LoopState& s, bool /*readFailed*/) {
    PrecisionRate(s, false, 0);
}

// The servo's rate stays through the out of limits notice: it holds the learned frequency.
void HoldRate() {}

constexpr RateLaw kProportionalLaw{ProportionalReading, ProportionalNoReading, SetNominalRate,
                                   false};
constexpr RateLaw kPrecisionLaw{PrecisionReading, PrecisionNoReading, HoldRate, true};

const RateLaw& LawFor(std::int32_t syncMode) {
    return syncMode == kPrecisionMode ? kPrecisionLaw : kProportionalLaw;
}

// "PopUps" is read anew before each popup, so the tool can silence them while we run.
void Notify(const std::string& popupText, const std::string& eventText, std::uint16_t type) {
    if (PopUpsWanted()) {
        DisplayMessage(popupText);
    }
    WriteEventLog(eventText, type);
}
void Notify(const char* text, std::uint16_t type) {
    Notify(text, text, type);
}

void TroubleSeen(Trouble& t) {
    if (!t.Active) {
        t.Active = true;
        t.SinceMs = plat::GetTickCount64();
    }
}

// "3 min 12 s", to the nearest second.
std::string DurationText(std::uint64_t ms) {
    const std::uint64_t seconds = (ms + 500) / 1000;
    const auto h = static_cast<unsigned long long>(seconds / 3600);
    const auto min = static_cast<unsigned>(seconds / 60 % 60);
    const auto sec = static_cast<unsigned>(seconds % 60);
    std::array<char, 64> text{};
    if (h > 0) {
        std::snprintf(text.data(), text.size(), "%llu h %u min %u s", h, min, sec);
    } else if (min > 0) {
        std::snprintf(text.data(), text.size(), "%u min %u s", min, sec);
    } else {
        std::snprintf(text.data(), text.size(), "%u s", sec);
    }
    return text.data();
}

void TroubleEnded(Trouble& t, const char* what) {
    if (t.Reported) {
        WriteEventLog(std::string(what) + " after " +
                          DurationText(plat::GetTickCount64() - t.SinceMs),
                      kEventInformation);
    }
    t = Trouble{};
}

bool UserFormatWrong(const TimecodeRecord& record) {
    if (Settings.DateExpected && (record.Flags & FlagDateValid) == 0) {
        return true;
    }
    return Settings.SelectTimezone == 0 && record.LtcZone == LtcZoneNone;
}

void RememberFacts(LoopState& s, CycleKind kind, std::int32_t difference) {
    CycleFacts& f = s.Facts;
    f.Kind = kind;
    f.Record = s.Record;
    f.Difference = difference;
    f.DateExpected = Settings.DateExpected;
    f.SelectTimezone = Settings.SelectTimezone;
    f.TimecodeBias = s.TimecodeBias;
    f.SyncFlagCarried = Settings.SyncFlagCarried;
    f.InSync = InSync;
    s.FactsPublished = false;
}

void ComposeTexts(LoopState& s) {
    const CycleFacts& f = s.Facts;
    if (f.Kind == CycleKind::None) {
        s.SystemText.clear();
        s.LtcText.clear();
        return;
    }
    // Copied in rather than moved, so the texts keep the storage reserved for them.
    const std::string systemGroup =
        FormatTimecode(f.Record, true, f.DateExpected, f.SelectTimezone);
    s.SystemText.assign(systemGroup);
    if (f.Kind == CycleKind::Failure) {
        s.LtcText.assign(kSourceFailure);
        return;
    }
    // A good record is shown as the timecode read it, also near a daylight saving change.
    const std::string ltcGroup =
        f.Kind == CycleKind::FormatError
            ? FormatTimecode(f.Record, false, f.DateExpected, f.SelectTimezone)
            : FormatLtcGroup(f.Record, f.DateExpected, f.TimecodeBias);
    s.LtcText.assign(ltcGroup);
    switch (f.Kind) {
    case CycleKind::Good:
    case CycleKind::OutOfLimits:
        s.SystemText += "    Diff: ";
        s.SystemText += DiffText(f.Difference);
        s.SystemText += " ms";
        if (f.Kind == CycleKind::OutOfLimits) {
            s.LtcText += "    ";
            s.LtcText += kOutOfLimits;
        } else if (f.SyncFlagCarried) {
            s.LtcText += f.InSync ? "    Sync" : "    Not sync";
        }
        break;
    case CycleKind::FormatError:
        s.LtcText += "    ";
        s.LtcText += kUserFormatError;
        break;
    case CycleKind::None:
    case CycleKind::Failure:
        break;
    }
}

// While records arrive, their stamp paces the status. While reads fail the record is stale,
// and the PC clock's own second, stamped into the facts at each failure, paces it instead.
std::uint16_t PublishSecond(const LoopState& s) {
    return s.Facts.Kind == CycleKind::Failure ? s.Facts.Record.SystemSecond : s.Record.SystemSecond;
}

void StampWithPcTime(TimecodeRecord& record) {
    plat::SystemTime now;
    plat::GetSystemTime(now);
    civil::SetSystemStamp(record, now);
}

void Publish(LoopState& s) {
    if (!s.FactsPublished) {
        ComposeTexts(s);
        s.FactsPublished = true;
    }
    WriteStatus("MonitorSystem", s.SystemText);
    WriteStatus("MonitorLtc", s.LtcText);
    s.Metrics.TimecodeOk =
        s.Facts.Kind == CycleKind::Good || s.Facts.Kind == CycleKind::OutOfLimits;
    s.Metrics.OutOfLimits = s.Facts.Kind == CycleKind::OutOfLimits;
    s.Metrics.DifferenceMs = s.LastDifference;
    PublishMetrics(s.Metrics);
}

// Also the card's identity, when it could be identified.
std::string WriteVersionText(std::optional<std::uint32_t>& card) {
    std::string cardText;
    std::uint32_t firmwareWord = 0;
    std::uint32_t libraryVersion = 0;
    const bool identified = IdentifyCard(cardText, firmwareWord, libraryVersion);
    card.reset();
    if (identified) {
        card = CardIdentity(cardText, firmwareWord, ReadPortId());
    }
    std::string serviceVersion;
    if (identified) {
        std::array<char, 1024> path{};
        if (plat::GetModuleFileName(path.data(), static_cast<std::uint32_t>(path.size())) == 0) {
            path[0] = '\0';
        }
        path.back() = '\0';
        FileVersionText(path.data(), serviceVersion);
    }
    std::string text =
        VersionText(identified, cardText, firmwareWord, libraryVersion, serviceVersion);
    WriteStatus("MonitorVersion", text);
    return text;
}

void HandleReadFailure(LoopState& s) {
    s.Law->NoReading(s, true);
    TroubleSeen(s.SourceTrouble);
    if (s.Failures == kFailuresBeforeNotice) {
        Notify(kSourceFailure, kEventError);
        s.SourceTrouble.Reported = true;
    }
    CountUp(s.Failures);
    ++s.Metrics.SourceFailures;
    RememberFacts(s, CycleKind::Failure, 0);
    // The buffer holds a stale reading, or whatever the library left in it: the status shows
    // the PC's time now.
    StampWithPcTime(s.Facts.Record);
}

// Neither counts as a failure nor re-arms the failure notice.
void HandleUserFormatError(LoopState& s) {
    s.Law->NoReading(s, false);
    TroubleSeen(s.FormatTrouble);
    if (s.FormatCountdown > 0) {
        --s.FormatCountdown;
        if (s.FormatCountdown == 0) {
            Notify(kUserFormatError, kEventError);
            s.FormatCountdown = kFormatErrorNotified;
            s.FormatTrouble.Reported = true;
        }
    }
    RememberFacts(s, CycleKind::FormatError, 0);
}

// Returns whether the correction law wants the clock hard set.
bool HandleGoodRecord(LoopState& s) {
    s.Record = ConvertTimecodeZone(s.Record, Settings.DateExpected, Settings.SelectTimezone,
                                   s.TimecodeBias);
    InSync = Settings.SyncFlagCarried && (s.Record.Flags & FlagLtcSync) != 0;
    s.FormatCountdown = kFormatErrorCycles;
    TroubleEnded(s.SourceTrouble, kSourceRestored);
    TroubleEnded(s.FormatTrouble, kUserFormatCorrect);

    if (ReloadCountdown % kLastSyncPeriod == 0) {
        WriteStatus("LastSync",
                    InSync ? FormatLtcGroup(s.Record, Settings.DateExpected, s.TimecodeBias)
                           : std::string());
        // Passed to the clock again even if unchanged, in case something else moved the rate.
        s.AppliedCorrection = kNoCorrection;
    }

    const std::int32_t d = TimeDifferenceMs(s.Record, Settings.DateExpected);
    s.LastDifference = d;
    if (InSync) {
        SyncSeen = true;
    }

    CorrectionInput in;
    in.d = d;
    in.SyncM = Settings.SyncM;
    in.SyncP = Settings.SyncP;
    in.DifErr = Settings.DifErr;
    in.DifSys = Settings.DifSys;
    in.SyncLTC = Settings.SyncLTC;
    in.SyncFlagCarried = Settings.SyncFlagCarried;
    in.InSync = InSync;
    in.SyncSeen = SyncSeen;
    const CorrectionDecision decision = ApplyCorrectionLaw(in);

    CountDown(s.LimitHoldOff);
    if (decision.OutOfLimits) {
        TroubleSeen(s.LimitTrouble);
        if (s.LimitHoldOff <= 0) {
            s.LimitHoldOff = kLimitNoticeRepeat;
            s.Law->OutOfLimitsNoticed();
            Notify(kOutOfLimits, kEventNotice);
            s.LimitTrouble.Reported = true;
        }
        ++s.Metrics.OutOfLimitsReadings;
        RememberFacts(s, CycleKind::OutOfLimits, d);
    } else {
        // Once the log has said "back within limits", going out again is news at once, also
        // when the limits were switched off in between.
        if (s.LimitTrouble.Reported || Settings.DifErr != 0) {
            s.LimitHoldOff = 1; // the first cycle out of limits is notified at once
        }
        TroubleEnded(s.LimitTrouble, kBackWithinLimits);
        RememberFacts(s, CycleKind::Good, d);
    }

    s.Law->Reading(s, decision, d);
    s.Failures = 0;
    return decision.Permitted && decision.HardSetDue;
}

// The system's reason, once for as long as the same refusal repeats.
void NoteRefusedSet(LoopState& s) {
    const std::uint32_t code = LastClockError();
    if (s.SetRefused && s.RefusalCode == code) {
        return;
    }
    s.SetRefused = true;
    s.RefusalCode = code;
    const std::string text = kHardSetRefused + plat::SystemMessageLine(code);
    WriteEventLog(text, kEventError);
    SetHardSetFinding(text); // in "MonitorWarnings" until a set succeeds
}

// A set that was not made is not reported as made, and a request stays pending: the next
// good record tries again, and a stop hands it back to "Sync" for the next start.
void HardSet(LoopState& s) {
    SetNominalRate();
    s.AppliedCorrection = kNoCorrection;
    ServoRestartPhase(s.Servo);
    const HardSetResult result = HardSetSystemTime(s.Record, Settings.DateExpected);
    if (result == HardSetStopped) {
        RestoreSyncRequest(); // at once: the process may end before the loop does
        return;
    }
    if (result == HardSetRefused) {
        ++s.Metrics.HardSetFailures;
        NoteRefusedSet(s);
        s.RefusedAtMs = plat::GetTickCount64();
        return;
    }
    SyncRequested = false;
    if (s.SetRefused) {
        s.SetRefused = false;
        SetHardSetFinding("");
    }

    const std::string diff = DiffText(s.LastDifference);
    Notify("System time is hard set.    Diff: " + diff + " ms",
           "System time is hard set.  Diff: " + diff + " ms", kEventError);
    WriteStatus("LastSet", FormatLocalNow() + "    Diff: " + diff + " ms");
    ++s.Metrics.HardSets;
    HistoryHardSet();
    s.Metrics.LastHardSetUnixSeconds = UnixSecondsNow();

    // A stop waits for this thread before it reports STOPPED: nothing after the settle is
    // worth keeping it.
    plat::Sleep(kSettleAfterHardSetMs);
    if (StopLatched.load()) {
        return;
    }
    (void)ReadTimecode(s.Record); // the next cycle publishes from this record
    plat::Sleep(kPauseAfterHardSetReadMs);
}

// After a refusal the request stays pending and the loop corrects by rate until the next try.
bool HardSetMayTry(const LoopState& s) {
    return !s.SetRefused || plat::GetTickCount64() - s.RefusedAtMs >= kRefusedSetRetryMs;
}

void StartUp(LoopState& s) {
    s.Law = &LawFor(Settings.SyncMode);
    ResetMetrics();
    HistoryStart();
    s.Metrics.VersionText = WriteVersionText(s.Card);
    WriteEventLog("START", kEventNotice);
    StartClockWatch();
    s.Failures = 0;
    s.FormatCountdown = kFormatErrorCycles;
    plat::Sleep(kStartupPauseMs);
    SetNominalRate(); // whatever rate an earlier run left behind
    s.AppliedCorrection = kNoCorrection;
    TakeUpStoredFrequency(s);
    s.LimitHoldOff = 0;
    s.LastDifference = 0;
    // The reads pay no heed to StopEvent, and a stop waits for this thread: after a stop the
    // card is closed and no read can succeed, so they end there.
    for (int attempt = 0; attempt < kStartupReads && !StopLatched.load(); ++attempt) {
        if (ReadTimecode(s.Record) == ReadGood) {
            break;
        }
        plat::Sleep(kStartupRetryPauseMs);
    }
    s.RememberedSecond = s.Record.LtcSecond;
}

// The history counts every cycle, under the minute of its reading (or of the PC clock).
void CountForHistory(LoopState& s, std::uint8_t outcome) {
    HistoryCycleFacts h;
    plat::SystemTime pc;
    if (outcome == ReadRecordInvalid) {
        plat::GetSystemTime(pc);
    } else {
        pc = civil::SystemStampOf(s.Facts.Record);
        switch (s.Facts.Kind) {
        case CycleKind::Good:
            h.What = HistoryCycleFacts::Good;
            break;
        case CycleKind::OutOfLimits:
            h.What = HistoryCycleFacts::OutOfLimits;
            break;
        case CycleKind::FormatError:
            h.What = HistoryCycleFacts::FormatError;
            break;
        case CycleKind::Failure:
        case CycleKind::None:
            h.What = HistoryCycleFacts::Failure;
            break;
        }
    }
    h.DiffMs = s.Facts.Difference;
    h.PcUnixMs = civil::UnixMsOfStamp(
        StampMs(s, pc.Year, pc.Month, pc.Day, pc.Hour, pc.Minute, pc.Second, pc.Milliseconds));
    h.Correction = s.AppliedCorrection == kNoCorrection ? 0 : s.AppliedCorrection;
    h.Increment = DefaultTimeIncrement();
    HistoryCycle(h);
}

void RunCycle(LoopState& s) {
    if (PublishSecond(s) != s.RememberedSecond) {
        s.RememberedSecond = PublishSecond(s);
        Publish(s);
    }

    plat::Sleep(kCyclePauseMs);

    --ReloadCountdown;
    if (ReloadCountdown < 0) {
        ReloadSettings();
        s.Law = &LawFor(Settings.SyncMode);
        ReloadCountdown = kReloadCountdownStart;
        s.ModeFailureReported = SetRealtimeMode(Settings.DateFormat, !s.ModeFailureReported) != 0;
        WatchClock();
    }

    const std::uint8_t outcome = ReadTimecode(s.Record);
    InSync = false;
    bool good = false;
    bool hardSetDue = false;
    if (outcome == ReadRecordInvalid) {
        // An impossible reading: leave every counter, text and the rate as they are.
    } else if (outcome != ReadGood) {
        HandleReadFailure(s);
    } else if (UserFormatWrong(s.Record)) {
        HandleUserFormatError(s);
    } else {
        good = true;
        hardSetDue = HandleGoodRecord(s);
    }
    CountForHistory(s, outcome);

    // Only a good record may set the clock: after a failed read the buffer holds a stale
    // reading, or whatever the library left in it, and a record in the wrong format or with
    // impossible milliseconds is no time to set. A requested set waits for the next good one.
    if ((hardSetDue || (SyncRequested && good)) && HardSetMayTry(s)) {
        HardSet(s);
    }
}

} // namespace

void SyncLoop() {
    LoopState s;
    // Room for the longest texts, so publishing reuses the same storage.
    s.SystemText.reserve(96);
    s.LtcText.reserve(96);
    StartUp(s);
    for (;;) {
        RunCycle(s);
        if (plat::WaitForSingleObject(StopEvent.get(), kStopPollMs) == plat::kWaitObject0) {
            break;
        }
    }
    WriteLearnedFrequency(s);
    SetNominalRate();
    RestoreSyncRequest();
    PublishStopped(s.Metrics);
    WriteEventLog("STOP", kEventNotice);
    HistoryStop();
    // The last metrics and history rows are on disk before the stop is reported, unless the
    // disk hangs: within the stop's own bound the service thread goes on without them.
    (void)StopFileWriter(kFileWriterStopWait);
}
