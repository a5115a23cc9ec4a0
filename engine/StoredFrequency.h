// The precision servo's learned frequency, kept between runs in the status value
// "MonitorFrequency", so that a restart (an update, a reboot, a stop in the middle of an outage)
// holds the clock on it instead of the nominal rate until the timecode has taught it again:
//
//     ppm=+12.345 sd=0.50 utc=2026-12-08T14:00:00Z card=1a2b3c4d src=learned
//
// ppm is the oscillator's error (positive: fast), sd its standard deviation as the servo
// knew it, utc the PC clock when it was last confirmed by readings, card the identity of the
// card that measured it, src what the service last did with it: "learned" (by the run that
// wrote it), "restored" (taken up again at a start), "unused" (not taken up at the last start).
// Anything else in the value is not ours to use, in whole or in part.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr const char* kFrequencyValue = "MonitorFrequency";

enum class FrequencySource : std::uint8_t { Learned, Restored, Unused };

struct StoredFrequency {
    double Ppm = 0;
    double SdPpm = 0;
    std::int64_t UnixMs = 0; // whole seconds
    std::uint32_t Card = 0;
    FrequencySource Source = FrequencySource::Learned;
};

std::string FormatStoredFrequency(const StoredFrequency& f);

// The value, or nothing when any part of it is not exactly as FormatStoredFrequency writes it.
std::optional<StoredFrequency> ParseStoredFrequency(std::string_view text);

// A stored frequency is taken up only when it is recent by the PC clock, measured with the
// card in use, and a frequency the servo could have learned.
enum class FrequencyVerdict : std::uint8_t { Usable, TooOld, InFuture, OtherCard, OutOfBounds };
constexpr std::int64_t kStoredFrequencyMaxAgeMs = 7LL * 24 * 3600 * 1000;
// The PC clock may have been a little behind when the value was written.
constexpr std::int64_t kStoredFrequencyFutureSlackMs = 60000;
FrequencyVerdict JudgeStoredFrequency(const StoredFrequency& f, std::int64_t nowUnixMs,
                                      std::uint32_t card);

// The identity of a card as far as the service can tell one from another: its model and
// firmware as identified, and the port it is opened on.
std::uint32_t CardIdentity(const std::string& cardText, std::uint32_t firmwareWord,
                           std::uint16_t portId);

// "learned", "restored", "unused".
const char* FrequencySourceName(FrequencySource source);
