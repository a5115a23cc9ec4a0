#pragma once

#include "TimeFunc/TimecodeRecord.h"

#include <cstdint>
#include <string>

// Outcomes of ReadTimecode.
enum ReadOutcome : std::uint8_t {
    ReadGood = 0,
    ReadNotOpen = 1,
    ReadNoNewData = 2,
    ReadLibraryError = 3,
    ReadRecordInvalid = 4,
};

std::uint8_t OpenCard(std::uint16_t portId); // 0 open, 1 failed
std::uint8_t CloseCard();                    // always 0
// The stop's close: at once if no card call is under way, else by that call as it ends.
bool CloseCardIfFree();
std::uint8_t ReadTimecode(TimecodeRecord& record);
// 0 done, 2 check read failed, 3 set failed; a failure is logged when logFailure is set.
std::uint8_t SetRealtimeMode(std::uint8_t mode, bool logFailure = true);
std::string CardErrorText();
std::uint16_t ReadPortId();
