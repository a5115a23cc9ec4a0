#include "engine/StoredFrequency.h"

#include "TimeFunc/CivilTime.h"
#include "engine/PrecisionServo.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace {

constexpr std::array<const char*, 3> kSourceNames = {"learned", "restored", "unused"};

// Takes "name=" off the front of the next field and hands back the field's text; the fields
// are separated by exactly one space.
bool Field(std::string_view& rest, std::string_view name, std::string_view& value) {
    if (rest.substr(0, name.size()) != name || rest.substr(name.size(), 1) != "=") {
        return false;
    }
    rest.remove_prefix(name.size() + 1);
    const std::size_t space = rest.find(' ');
    value = rest.substr(0, space);
    if (space == std::string_view::npos) {
        rest = {};
        return !value.empty();
    }
    rest.remove_prefix(space + 1);
    return !value.empty() && !rest.empty(); // a space only between two fields
}

// digits.digits as "%.3f" writes it, with a sign ("%+.3f") or without one: no exponent, no
// words, no other separator.
bool Decimal(std::string_view text, bool withSign, double& value) {
    const bool hasSign = !text.empty() && (text[0] == '+' || text[0] == '-');
    if (hasSign != withSign) {
        return false;
    }
    const bool negative = hasSign && text[0] == '-';
    if (hasSign) {
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    if (point == 0 || point == std::string_view::npos || point > 6 ||
        text.size() - point - 1 == 0 || text.size() - point - 1 > 6) {
        return false;
    }
    std::int64_t units = 0;
    std::int64_t scale = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == point) {
            continue;
        }
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        units = units * 10 + (text[i] - '0');
        if (i > point) {
            scale *= 10;
        }
    }
    value = static_cast<double>(units) / static_cast<double>(scale);
    if (negative) {
        value = -value;
    }
    return true;
}

// "2026-12-08T14:00:00Z", a real moment of a real day.
bool Moment(std::string_view text, std::int64_t& unixMs) {
    constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
    if (text.size() != kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != '0' && text[i] != kShape[i]) {
            return false;
        }
    }
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!civil::FixedDigits(text, 0, 4, year) || !civil::FixedDigits(text, 5, 2, month) ||
        !civil::FixedDigits(text, 8, 2, day) || !civil::FixedDigits(text, 11, 2, hour) ||
        !civil::FixedDigits(text, 14, 2, minute) || !civil::FixedDigits(text, 17, 2, second) ||
        !civil::IsValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    unixMs = civil::UnixMs(year, month, day, civil::MsOfDay(hour, minute, second, 0));
    return true;
}

bool Hex8(std::string_view text, std::uint32_t& value) {
    if (text.size() != 8) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    return true;
}

} // namespace

const char* FrequencySourceName(FrequencySource source) {
    return kSourceNames.at(static_cast<std::size_t>(source));
}

std::string FormatStoredFrequency(const StoredFrequency& f) {
    const plat::SystemTime utc = civil::TimeOfUnixMs(f.UnixMs);
    // A rounded -0.000 reads as +0.000.
    const double ppm = std::fabs(f.Ppm) < 0.0005 ? 0.0 : f.Ppm;
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(),
                  "ppm=%+.3f sd=%.2f utc=%04d-%02d-%02dT%02d:%02d:%02dZ card=%08x src=%s", ppm,
                  f.SdPpm, static_cast<int>(utc.Year), static_cast<int>(utc.Month),
                  static_cast<int>(utc.Day), static_cast<int>(utc.Hour),
                  static_cast<int>(utc.Minute), static_cast<int>(utc.Second),
                  static_cast<unsigned>(f.Card), FrequencySourceName(f.Source));
    return text.data();
}

std::optional<StoredFrequency> ParseStoredFrequency(std::string_view text) {
    StoredFrequency f;
    std::string_view ppm;
    std::string_view sd;
    std::string_view utc;
    std::string_view card;
    std::string_view src;
    if (!Field(text, "ppm", ppm) || !Field(text, "sd", sd) || !Field(text, "utc", utc) ||
        !Field(text, "card", card) || !Field(text, "src", src) || !text.empty()) {
        return std::nullopt;
    }
    if (!Decimal(ppm, true, f.Ppm) || !Decimal(sd, false, f.SdPpm) || !Moment(utc, f.UnixMs) ||
        !Hex8(card, f.Card)) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kSourceNames.size(); ++i) {
        if (src == kSourceNames.at(i)) {
            f.Source = static_cast<FrequencySource>(i);
            return f;
        }
    }
    return std::nullopt;
}

FrequencyVerdict JudgeStoredFrequency(const StoredFrequency& f, std::int64_t nowUnixMs,
                                      std::uint32_t card) {
    if (f.Card != card) {
        return FrequencyVerdict::OtherCard;
    }
    if (f.UnixMs > nowUnixMs + kStoredFrequencyFutureSlackMs) {
        return FrequencyVerdict::InFuture;
    }
    if (nowUnixMs - f.UnixMs > kStoredFrequencyMaxAgeMs) {
        return FrequencyVerdict::TooOld;
    }
    if (!(std::fabs(f.Ppm) <= kServoMaxDriftPpm) || !(f.SdPpm > 0) ||
        !(f.SdPpm <= kServoMaxDriftPpm)) {
        return FrequencyVerdict::OutOfBounds;
    }
    return FrequencyVerdict::Usable;
}

std::uint32_t CardIdentity(const std::string& cardText, std::uint32_t firmwareWord,
                           std::uint16_t portId) {
    // FNV-1a over the three, each one's bytes in a fixed order.
    std::uint32_t hash = 2166136261u;
    const auto add = [&hash](std::uint8_t byte) {
        hash ^= byte;
        hash *= 16777619u;
    };
    for (const char c : cardText) {
        add(static_cast<std::uint8_t>(c));
    }
    add(0);
    for (int shift = 0; shift < 32; shift += 8) {
        add(static_cast<std::uint8_t>(firmwareWord >> shift));
    }
    add(static_cast<std::uint8_t>(portId));
    add(static_cast<std::uint8_t>(portId >> 8));
    return hash;
}
