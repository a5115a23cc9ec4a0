// Control of the emulated world: what tests and the simulation use to script the platform
// and to inject failures. Only the native build has it.
//
// The world is one process-wide model. Each area keeps its own state behind its own lock
// and registers a reset with ResetWorld(), so a test starts from a known world.
#pragma once

// One file for each section of platform/Platform.h:
#include "platform/emu/EmuCard.h"     // the card library: simulated or scripted
#include "platform/emu/EmuEventLog.h" // event log and popups, recorded
#include "platform/emu/EmuProcess.h"  // processes and files: files, module, console, system
#include "platform/emu/EmuRegistry.h" // keys, typed values, failures
#include "platform/emu/EmuService.h"  // service controller: dispatcher, installed services
#include "platform/emu/EmuTime.h"     // clock: true time, the system clock, the time privilege
#include "platform/emu/EmuWait.h"     // waits and threads: events, sleeping, the call hook
#include "platform/emu/EmuZone.h"     // zones: the machine's time zone

namespace emu {

// Back to the start state: true time at a fixed date, nominal clock, UTC zone, empty
// registry and logs, the simulated card, no failure injected.
void ResetWorld();

namespace detail {
// Each area registers its reset once, at static initialisation.
struct ResetRegistration {
    // At static initialisation nothing could catch a failure anyway: it ends the program.
    explicit ResetRegistration(void (*reset)()) noexcept;
};
// A count of injected failures, taken once: positive counts down, negative never ends.
inline bool TakeFailure(int& count) {
    if (count == 0) {
        return false;
    }
    if (count > 0) {
        --count;
    }
    return true;
}
} // namespace detail

} // namespace emu
