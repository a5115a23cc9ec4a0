// Control of the emulated world: what tests and the simulation use to script the platform
// and to inject failures. Only the native build has it.
//
// The world is one process-wide model. Each area keeps its own state behind its own lock
// and registers a reset with ResetWorld(), so a test starts from a known world.
#pragma once

#include "platform/emu/EmuCard.h"     // the card library behind the platform: simulated or scripted
#include "platform/emu/EmuEventLog.h" // recorded event-log entries, popups, version resources
#include "platform/emu/EmuFiles.h"    // whole files by path, folders
#include "platform/emu/EmuLocale.h"   // number format of the locale
#include "platform/emu/EmuRegistry.h" // keys, typed values, failures
#include "platform/emu/EmuService.h"  // service controller, processes, console, module facts
#include "platform/emu/EmuTime.h"     // true time, the system clock, zones, events, tokens

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
} // namespace detail

} // namespace emu
