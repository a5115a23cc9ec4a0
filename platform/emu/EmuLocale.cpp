#include "platform/emu/EmuLocale.h"

#include "platform/emu/World.h"

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

    emu::LocaleState& s = emu::State();
    const std::lock_guard<std::mutex> guard(s.Lock);
    std::string text;
    text.reserve(count + (count / 3) * s.Separator.size() + 1);
    if (value < 0) {
        text.push_back('-');
    }
    for (std::size_t i = count; i-- > 0;) {
        text.push_back(digits[i]);
        if (i != 0 && i % 3 == 0) {
            text += s.Separator;
        }
    }
    return text;
}

} // namespace plat
