#include "platform/emu/EmuEventLog.h"

#include "platform/emu/World.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace emu {
namespace {

constexpr plat::OsHandle kFirstSource = 0x3000;
constexpr std::uint32_t kDefaultConsoleSession = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;

struct LogState {
    std::mutex Lock;
    std::vector<EventEntry> Entries;
    std::map<plat::OsHandle, std::string> Sources; // open handle -> source name
    plat::OsHandle NextSource = kFirstSource;
    plat::OsHandle FailWith = 0;
    int FailCount = 0;
};

struct UiState {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<UiEvent> Events;
    std::size_t Boxes = 0;
    bool Hold = false;
    int Open = 0;
    int FailCount = 0;
    std::uint32_t ConsoleSession = kDefaultConsoleSession;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
LogState& Log() {
    static LogState state;
    return state;
}
// Written by the test's control calls and by platform calls on any thread, under its lock.
UiState& Ui() {
    static UiState state;
    return state;
}

void ResetAll() {
    {
        auto& l = Log();
        std::lock_guard<std::mutex> lock(l.Lock);
        l.Entries.clear();
        l.Sources.clear();
        l.NextSource = kFirstSource;
        l.FailWith = 0;
        l.FailCount = 0;
    }
    {
        auto& u = Ui();
        std::lock_guard<std::mutex> lock(u.Lock);
        u.Events.clear();
        u.Boxes = 0;
        u.Hold = false; // boxes still held open from a previous test are released
        u.FailCount = 0;
        u.ConsoleSession = kDefaultConsoleSession;
        u.Changed.notify_all();
    }
}

const detail::ResetRegistration kReset(&ResetAll); // NOLINT(cert-err58-cpp)

} // namespace

std::vector<EventEntry> EventLogEntries() {
    auto& l = Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    return l.Entries;
}

std::vector<std::string> EventLogTexts() {
    std::vector<std::string> texts;
    for (const auto& e : EventLogEntries()) {
        texts.push_back(e.Text);
    }
    return texts;
}

void ClearEventLog() {
    auto& l = Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    l.Entries.clear();
}

int OpenEventSources() {
    auto& l = Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    return static_cast<int>(l.Sources.size());
}

void InjectEventSourceFailure(plat::OsHandle returned, int count) {
    auto& l = Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    l.FailWith = returned;
    l.FailCount = count;
}

void SetConsoleSession(std::uint32_t session) {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    u.ConsoleSession = session;
}

std::vector<UiEvent> UiEvents() {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    return u.Events;
}

std::vector<Popup> Popups() {
    std::vector<Popup> boxes;
    for (const auto& e : UiEvents()) {
        if (e.What == UiEvent::Box && e.Shown) {
            boxes.push_back(Popup{e.Text, e.Caption, e.Style, e.Session, e.Wait, e.Thread});
        }
    }
    return boxes;
}

std::vector<std::uint32_t> Beeps() {
    std::vector<std::uint32_t> beeps;
    for (const auto& e : UiEvents()) {
        if (e.What == UiEvent::Beep) {
            beeps.push_back(e.BeepType);
        }
    }
    return beeps;
}

void ClearPopups() {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    u.Events.clear();
    u.Boxes = 0;
}

bool WaitForPopups(std::size_t count, int timeoutMs) {
    auto& u = Ui();
    std::unique_lock<std::mutex> lock(u.Lock);
    return u.Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return u.Boxes >= count; });
}

void HoldMessageBoxes(bool hold) {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    u.Hold = hold;
    u.Changed.notify_all();
}

int OpenMessageBoxes() {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    return u.Open;
}

void InjectMessageBoxFailure(int count) {
    auto& u = Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    u.FailCount = count;
}

} // namespace emu

namespace plat {

OsHandle RegisterEventSource(const char* sourceName) {
    emu::NotifyCall("RegisterEventSource");
    auto& l = emu::Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    if (emu::detail::TakeFailure(l.FailCount)) {
        // As on Windows, a refused registration leaves its reason as the thread's last error
        // (the event log service not running), over whatever the caller had there.
        SetLastError(emu::kErrorRpcServerUnavailable);
        return l.FailWith;
    }
    OsHandle h = l.NextSource;
    l.NextSource += 4;
    l.Sources[h] = sourceName != nullptr ? sourceName : "";
    return h;
}

bool ReportEvent(OsHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                 const char* text) {
    emu::NotifyCall("ReportEvent");
    std::int64_t now = emu::TrueTime100ns();
    auto& l = emu::Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    auto it = l.Sources.find(source);
    if (it == l.Sources.end()) {
        return false;
    }
    l.Entries.push_back(
        emu::EventEntry{it->second, type, category, eventId, text != nullptr ? text : "", now});
    return true;
}

bool DeregisterEventSource(OsHandle source) {
    emu::NotifyCall("DeregisterEventSource");
    auto& l = emu::Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    return l.Sources.erase(source) > 0;
}

void MessageBeep(std::uint32_t type) {
    emu::NotifyCall("MessageBeep");
    std::int64_t now = emu::TrueTime100ns();
    auto& u = emu::Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    emu::UiEvent e;
    e.What = emu::UiEvent::Beep;
    e.BeepType = type;
    e.Thread = std::this_thread::get_id();
    e.At100ns = now;
    u.Events.push_back(std::move(e));
}

std::uint32_t WTSGetActiveConsoleSessionId() {
    emu::NotifyCall("WTSGetActiveConsoleSessionId");
    auto& u = emu::Ui();
    std::lock_guard<std::mutex> lock(u.Lock);
    return u.ConsoleSession;
}

bool WTSSendMessage(std::uint32_t session, const std::string& title, const std::string& message,
                    std::uint32_t style, bool wait) {
    emu::NotifyCall("WTSSendMessage");
    std::int64_t now = emu::TrueTime100ns();
    auto& u = emu::Ui();
    std::unique_lock<std::mutex> lock(u.Lock);
    emu::UiEvent e;
    e.What = emu::UiEvent::Box;
    e.Text = message;
    e.Caption = title;
    e.Style = style;
    e.Session = session;
    e.Wait = wait;
    e.Thread = std::this_thread::get_id();
    e.At100ns = now;
    const bool failed = emu::detail::TakeFailure(u.FailCount);
    const bool refused = session == kNoConsoleSession || session != u.ConsoleSession;
    e.Shown = !failed && !refused;
    u.Events.push_back(std::move(e));
    if (failed || refused) {
        lock.unlock();
        SetLastError(refused ? emu::kErrorInvalidParameter : kErrorSuccess);
        return false;
    }
    ++u.Boxes;
    u.Changed.notify_all();
    if (wait) {
        ++u.Open;
        u.Changed.wait(lock, [&] { return !u.Hold; });
        --u.Open;
        u.Changed.notify_all();
    }
    return true;
}

} // namespace plat
