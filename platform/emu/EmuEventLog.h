// The emulated event log and popups: what the service reports, and to whom.
//
// Everything the service reports is recorded here for tests to read. Popups run on real
// (detached) threads, so a test that expects one waits for it with WaitForPopups.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace emu {

// RPC_S_SERVER_UNAVAILABLE: what a refused event-source registration leaves as the last error.
constexpr std::uint32_t kErrorRpcServerUnavailable = 1722;

// --- event log ---------------------------------------------------------------------------------

struct EventEntry {
    std::string Source;
    std::uint16_t Type = 0;
    std::uint16_t Category = 0;
    std::uint32_t EventId = 0;
    std::string Text;         // the one insertion string, exactly as passed
    std::int64_t At100ns = 0; // true time when it was reported
};

std::vector<EventEntry> EventLogEntries();
// Only the texts, in order (the common check).
std::vector<std::string> EventLogTexts();
void ClearEventLog();
// Event sources registered and not yet deregistered.
int OpenEventSources();
// The next `count` registrations (every one when count < 0) return this handle value instead
// of a valid one: 0, or a value that is negative as a signed 32-bit number.
void InjectEventSourceFailure(plat::OsHandle returned = 0, int count = -1);

// --- popups ------------------------------------------------------------------------------------

// Message boxes are sent to a session's desktop (WTSSendMessage). The console session is 1
// (a user is logged on) unless a test says otherwise; plat::kNoConsoleSession: nobody is.
// A box sent to any other session, or while nobody is at the console, is refused (87).
void SetConsoleSession(std::uint32_t session);

struct UiEvent {
    enum Kind : std::uint8_t { Beep, Box } What = Beep;
    std::uint32_t BeepType = 0; // Beep
    std::string Text;           // Box
    std::string Caption;        // Box
    std::uint32_t Style = 0;    // Box
    std::uint32_t Session = 0;  // Box
    bool Wait = false;          // Box: the sender waits for the user's answer
    bool Shown = false;         // Box: false when the send was refused or failed
    std::thread::id Thread;
    std::int64_t At100ns = 0;
};

struct Popup {
    std::string Text;
    std::string Caption;
    std::uint32_t Style = 0;
    std::uint32_t Session = 0;
    bool Wait = false;
    std::thread::id Thread;
};

std::vector<UiEvent> UiEvents(); // beeps and every send, in the order they happened
std::vector<Popup> Popups();     // boxes shown, in the order they were shown
std::vector<std::uint32_t> Beeps();
void ClearPopups();
// Waits in real time (up to timeoutMs) until at least `count` boxes have been shown.
bool WaitForPopups(std::size_t count, int timeoutMs = 5000);
// While held, nobody answers: a box sent with wait blocks its sender until released.
void HoldMessageBoxes(bool hold);
int OpenMessageBoxes(); // senders blocked waiting for an answer
// The next `count` sends (every one when count < 0) fail, as under Wine: FALSE, nothing shown.
void InjectMessageBoxFailure(int count = -1);

} // namespace emu
