#include "card/CardIdentify.h"

#include "TimeFunc/TimecodeRecord.h"
#include "card/CardLink.h"
#include "platform/Platform.h"

#include <cstdio>

namespace {

constexpr std::int32_t kMinimumFirmware = 917; // 9.17
constexpr std::uint32_t kIdentifyPauseMs = 10;

std::uint8_t LowByte(std::uint32_t v) {
    return static_cast<std::uint8_t>(v & 0xFFu);
}

bool IsDigit(std::uint32_t v) {
    return LowByte(v) >= '0' && LowByte(v) <= '9';
}

// A character as printf's "%s" would place a one-character string: a NUL adds nothing.
std::string Char(std::uint32_t v) {
    const std::uint8_t c = LowByte(v);
    return c == 0 ? std::string() : std::string(1, static_cast<char>(c));
}

std::string MinorText(std::uint32_t tens, std::uint32_t units) {
    return "." + Char(tens) + Char(units);
}

} // namespace

std::int32_t FirmwareNumber(std::uint32_t firmwareWord, std::uint32_t tensDigit,
                            std::uint32_t unitsDigit) {
    return static_cast<std::int32_t>(firmwareWord & 63u) * 100 +
           (static_cast<std::int32_t>(LowByte(tensDigit)) - '0') * 10 +
           (static_cast<std::int32_t>(LowByte(unitsDigit)) - '0');
}

bool IdentifyCard(std::string& cardText, std::uint32_t& firmwareWord,
                  std::uint32_t& libraryVersion) {
    std::uint32_t cardState = 0;
    std::int32_t result = 0;
    {
        const CardCall call;
        result =
            plat::TecGetVersion(CardLink.Handle.load(), &cardState, &firmwareWord, &libraryVersion);
    }
    if (result < 0) {
        cardText = "error";
        return false;
    }
    if (cardState == 0) {
        cardText = "sta";
        return false;
    }

    std::uint32_t units = 0;
    std::uint32_t tens = 0;
    std::uint32_t letter = 0;
    {
        const CardCall call;
        plat::TecGetCardInfo(CardLink.Handle.load(), &units, &tens, &letter);
    }
    const std::string minor = MinorText(tens, units);
    cardText = minor + "    Card: Unknown (" + Char(letter) + ")";

    bool accepted = false;
    const bool digits = IsDigit(tens) && IsDigit(units);
    switch (LowByte(letter)) {
    case 'T':
        cardText = digits ? minor + "    Card: PCIe RX" : "    Card: PCI RX";
        accepted = true;
        break;
    case 't':
        cardText = minor + "    Card: PCIe RX";
        accepted = true;
        break;
    default:
        accepted = digits && FirmwareNumber(firmwareWord, tens, units) >= kMinimumFirmware;
        break;
    }

    plat::Sleep(kIdentifyPauseMs);

    if (accepted) {
        TimecodeRecord scratch;
        {
            const CardCall call;
            result = plat::TecReadTime(CardLink.Handle.load(), &scratch);
        }
        LastCardResult.store(result);
        accepted = result >= 0;
        switch (LowByte(letter)) {
        case 'v':
            cardText = minor + "    Card: PCIe KW";
            break;
        case 'l':
            cardText = minor + "    Card: PCIe K";
            break;
        case 'x':
            cardText = minor + "    Card: PCIe Z5";
            break;
        default:
            break;
        }
    }
    return accepted;
}

std::string VersionText(bool identified, const std::string& cardText, std::uint32_t firmwareWord,
                        std::uint32_t libraryVersion, const std::string& serviceVersion) {
    if (!identified) {
        return "(not available)";
    }
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%X", firmwareWord & 63u);
    std::string text = "Firmware: ";
    text += numbers;
    text += cardText;
    std::snprintf(numbers, sizeof numbers, "    DLL: %u.%.2u", (libraryVersion >> 8) & 255u,
                  libraryVersion & 255u);
    text += numbers;
    text += "    Service: ";
    text += serviceVersion;
    return text;
}
