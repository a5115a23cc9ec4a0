#include "platform/emu/EmuLocale.h"

#include "platform/emu/World.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>

namespace emu {
namespace {

struct LocaleState {
    std::mutex Lock;
    std::string Separator = ",";
};

LocaleState& State() {
    static LocaleState state;
    return state;
}

void ResetLocale() {
    LocaleState& s = State();
    const std::lock_guard<std::mutex> guard(s.Lock);
    s.Separator.assign(1, ',');
}

// Registration only appends to a list at start-up.
const detail::ResetRegistration kLocaleReset{&ResetLocale}; // NOLINT(cert-err58-cpp)

// Code page 1252 at 0x80-0x9F; the holes (0x81, 0x8D, 0x8F, 0x90, 0x9D) hold no character.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// One character of code page 1252 for a code point; '?' (and lossy) where it has none.
char ToCp1252(char32_t c, bool& lossy) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<char>(c);
    }
    const auto* at = std::find(kCp1252High.begin(), kCp1252High.end(), c);
    if (at != kCp1252High.end()) {
        return static_cast<char>(0x80 + (at - kCp1252High.begin()));
    }
    lossy = true;
    return '?';
}

// The UTF-8 text in code page 1252, as WideCharToMultiByte without best fit gives it.
std::string ToAnsi(const std::string& utf8, bool& lossy) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        out.push_back(ToCp1252(c, lossy));
        i += length;
    }
    return out;
}

} // namespace

void SetThousandsSeparator(const std::string& separator) {
    LocaleState& s = State();
    const std::lock_guard<std::mutex> guard(s.Lock);
    s.Separator = separator;
}

std::string ThousandsSeparator() {
    LocaleState& s = State();
    const std::lock_guard<std::mutex> guard(s.Lock);
    return s.Separator;
}

} // namespace emu

namespace plat {

std::string FormatGroupedNumber(std::int32_t value) {
    emu::NotifyCall("GetNumberFormat");
    // Widened first: the magnitude of the most negative value does not fit in 32 bits.
    auto magnitude = static_cast<std::uint64_t>(value < 0 ? -static_cast<std::int64_t>(value)
                                                          : static_cast<std::int64_t>(value));
    std::array<char, 10> digits{}; // least significant first; 2147483648 has ten
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);

    bool lossy = false;
    const std::string converted = emu::ToAnsi(emu::ThousandsSeparator(), lossy);
    const std::string separator = AnsiGroupSeparator(converted, lossy);
    std::string text;
    text.reserve(count + (count / 3) * separator.size() + 1);
    if (value < 0) {
        text.push_back('-');
    }
    for (std::size_t i = count; i-- > 0;) {
        text.push_back(digits[i]);
        if (i != 0 && i % 3 == 0) {
            text += separator;
        }
    }
    return text;
}

} // namespace plat
