#include "card/CardAccess.h"

#include "card/CardIdentify.h"
#include "card/CardLink.h"
#include "engine/EventLog.h"
#include "engine/RegistryDefault.h"
#include "engine/Settings.h"
#include "engine/SettingsTable.h"
#include "platform/Platform.h"

namespace {

constexpr int kOpenAttempts = 100;
constexpr int kModeAttempts = 100;
constexpr std::uint32_t kOpenPauseBound = 10; // pauses of 0 to 9 ms between open attempts
constexpr std::uint32_t kModeCheckPauseMs = 10;
constexpr const SettingRow& kPortIdRow = SettingRowOf("IOADR");
constexpr std::uint16_t kDefaultPortId = kPortIdRow.Default;
static_assert(kPortIdRow.Outside == OutOfRange::Default && kPortIdRow.Min > 0 &&
                  kPortIdRow.Max <= 0xFFFF,
              "every port id the row yields fits the library's 16 bits");

const char* const kResultTexts[] = {
    "Can't open device driver",           // -16
    "Unknown command",                    // -15
    "Function not supported",             // -14
    "Wrong Version of device driver",     // -13
    "Error in device driver while IOCTL", // -12
    "Can't initialize library",           // -11
    "Parameter out of range",             // -10
    "Invalid transmit bank number",       // -9
    "Register not available",             // -8
    "Timeout",                            // -7
    "Null pointer assignment",            // -6
    "Handle not opened by tecOpen()",     // -5
    "Invalid handle",                     // -4
    "No free handle found",               // -3
    "PC RX hardware not found",           // -2
    "Invalid port id",                    // -1
    "OK",                                 // 0
    "No new data",                        // 1
};
constexpr std::int32_t kFirstTextCode = -16;

const char* ResultText(std::int32_t code) {
    if (code < kFirstTextCode || code > 1) {
        return "(Unknown)";
    }
    const char* const text = kResultTexts[code - kFirstTextCode];
    return text;
}

} // namespace

CardCall::CardCall() : lock_(CardLock()) {}

CardCall::~CardCall() {
    lock_.unlock();
    // Looked at only after letting go. A stop that latched while this call held the lock found
    // it taken and left the close to us; a look before letting go could miss a latch that falls
    // between the look and the release.
    if (StopLatched.load()) {
        const std::lock_guard<std::mutex> lock(CardLock());
        if (CardLink.Handle.load() != kClosedCardHandle) {
            CloseCardLocked();
        }
    }
}

void CloseCardLocked() {
    plat::TecClose(CardLink.Handle.load());
    CardLink.Handle.store(kClosedCardHandle);
    CardLink.IsOpen.store(false);
}

std::uint8_t OpenCard(std::uint16_t portId) {
    bool stopped = false;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        {
            const CardCall call;
            // Once the stop has run, a card opened now would never be closed.
            if (StopLatched.load()) {
                stopped = true;
                break;
            }
            std::int32_t handle = CardLink.Handle.load();
            const std::int32_t result = plat::TecOpen(&handle, portId);
            CardLink.Handle.store(handle);
            LastCardResult.store(result);
        }
        if (LastCardResult.load() == 0) {
            break;
        }
        plat::Sleep(plat::RandomBelow(kOpenPauseBound));
    }
    if (stopped) {
        return 1;
    }

    if (LastCardResult.load() == 0) {
        std::string cardText;
        std::uint32_t firmwareWord = 0;
        std::uint32_t libraryVersion = 0;
        if (!IdentifyCard(cardText, firmwareWord, libraryVersion)) {
            const CardCall call;
            plat::TecClose(CardLink.Handle.load());
        }
    }
    plat::Sleep(1);

    if (StopLatched.load()) {
        // The stop closed the card while it was being identified: a read on the closed handle
        // failing is no fault of the card, and the start is called off, not failed.
        return 1;
    }
    if (LastCardResult.load() < 0) {
        WriteEventLog("tecOpen failed: " + CardErrorText(), kEventError);
        return 1;
    }
    const CardCall call;
    if (StopLatched.load()) {
        return 1; // the stop closed the card while it was being identified
    }
    CardLink.IsOpen.store(true);
    return 0;
}

std::uint8_t CloseCard() {
    const CardCall call;
    CloseCardLocked();
    return 0;
}

bool CloseCardIfFree() {
    const std::unique_lock<std::mutex> lock(CardLock(), std::try_to_lock);
    if (lock.owns_lock()) {
        CloseCardLocked();
    }
    return lock.owns_lock();
}

std::uint8_t ReadTimecode(TimecodeRecord& record) {
    if (!CardLink.IsOpen.load()) {
        LastCardResult.store(1);
        return ReadNotOpen;
    }
    std::int32_t result = 0;
    {
        const CardCall call;
        result = plat::TecReadTime(CardLink.Handle.load(), &record);
    }
    LastCardResult.store(result);
    if (result == 0) {
        return record.LtcMilliseconds < 1000 ? ReadGood : ReadRecordInvalid;
    }
    return result == 1 ? ReadNoNewData : ReadLibraryError;
}

std::uint8_t SetRealtimeMode(std::uint8_t mode, bool logFailure) {
    std::uint8_t status = 3;
    for (int attempt = 0; attempt < kModeAttempts; ++attempt) {
        // After the stop the card is closed for good: trying on would only fill the log.
        if (StopLatched.load()) {
            return status;
        }
        std::int32_t result = 0;
        {
            const CardCall call;
            result = plat::TecSetRealtimeMode(CardLink.Handle.load(), mode);
        }
        LastCardResult.store(result);
        if (result < 0) {
            status = 3;
            continue;
        }
        plat::Sleep(kModeCheckPauseMs);
        TimecodeRecord scratch;
        {
            const CardCall call;
            result = plat::TecReadTime(CardLink.Handle.load(), &scratch);
        }
        LastCardResult.store(result);
        plat::Sleep(kModeCheckPauseMs);
        if (result < 0) {
            status = 2;
            continue;
        }
        status = 0;
        break;
    }
    if (status != 0 && logFailure) {
        WriteEventLog("tecSetRealtimeMode failed: " + CardErrorText(), kEventError);
    }
    return status;
}

std::string CardErrorText() {
    std::string text = ResultText(LastCardResult.load());
    text += "\r\n";
    const CardCall call;
    if (const char* library = plat::TecGetErrorText(); library != nullptr) {
        text += library; // the library owns it: copy at once
    }
    return text;
}

std::uint16_t ReadPortId() {
    TRegistryDefault registry;
    registry.SetRootKeyLocalMachine();
    if (!registry.OpenKey(kSettingsKeyPath, false)) {
        return kDefaultPortId;
    }
    // Out of range or of the wrong type: the default port, and the entry every setting gets.
    return static_cast<std::uint16_t>(ReadSettingFrom(registry, kPortIdRow));
}
