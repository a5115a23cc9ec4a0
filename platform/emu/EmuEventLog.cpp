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

struct VersionState {
    std::mutex Lock;
    std::string ModulePath = kDefaultModulePath;
    int ModuleFailCount = 0;
    std::map<std::string, plat::FileVersionWords> Versions; // by lower-case path
    // Texts of the string tables, by lower-case path, then lower-case block path.
    std::map<std::string, std::map<std::string, std::string>> Strings;
    int FailCount[3] = {0, 0, 0};
};

LogState& Log() {
    static LogState state;
    return state;
}
UiState& Ui() {
    static UiState state;
    return state;
}
VersionState& Versions() {
    static VersionState state;
    return state;
}

std::string Lower(const std::string& s) {
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// A count of injected failures: positive counts down, negative never ends.
bool TakeFailure(int& count) {
    if (count == 0) {
        return false;
    }
    if (count > 0) {
        --count;
    }
    return true;
}

void ResetVersionsUnlocked(VersionState& v) {
    v.ModulePath = kDefaultModulePath;
    v.ModuleFailCount = 0;
    v.Versions.clear();
    v.Strings.clear();
    v.Versions[Lower(kDefaultModulePath)] = plat::FileVersionWords{0x00010000u, 0x00000001u};
    std::fill(std::begin(v.FailCount), std::end(v.FailCount), 0);
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
    {
        auto& v = Versions();
        std::lock_guard<std::mutex> lock(v.Lock);
        ResetVersionsUnlocked(v);
    }
}

const detail::ResetRegistration kReset(&ResetAll); // NOLINT(cert-err58-cpp)

// The version buffer that the emulated GetFileVersionInfo hands out: a marker, the two
// product version words, then the texts as "block\0text\0" pairs ending in an empty block.
constexpr std::uint8_t kMarker[8] = {'E', 'M', 'U', 'V', 'E', 'R', 0, 1};
constexpr std::uint32_t kResourceSize = 92;
constexpr std::size_t kStringsAt = 16;

std::string PackedStrings(const VersionState& v, const std::string& path) {
    std::string packed;
    if (auto it = v.Strings.find(path); it != v.Strings.end()) {
        for (const auto& [block, text] : it->second) {
            packed.append(block).push_back('\0');
            packed.append(text).push_back('\0');
        }
    }
    packed.push_back('\0');
    return packed;
}

std::uint32_t ResourceSize(const VersionState& v, const std::string& path) {
    return std::max<std::uint32_t>(
        kResourceSize, static_cast<std::uint32_t>(kStringsAt + PackedStrings(v, path).size()));
}

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

void SetModulePath(const std::string& path) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.ModulePath = path;
}

void InjectModuleFileNameFailure(int count) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.ModuleFailCount = count;
}

void SetProductVersion(const std::string& path, std::uint32_t versionMS, std::uint32_t versionLS) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Versions[Lower(path)] = plat::FileVersionWords{versionMS, versionLS};
}

void SetVersionString(const std::string& path, const std::string& subBlock,
                      const std::string& text) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Versions.emplace(Lower(path), plat::FileVersionWords{});
    v.Strings[Lower(path)][Lower(subBlock)] = text;
}

void RemoveVersionResource(const std::string& path) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Versions.erase(Lower(path));
}

void InjectVersionFailure(VersionStep step, int count) {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.FailCount[static_cast<int>(step)] = count;
}

} // namespace emu

namespace plat {

OsHandle RegisterEventSource(const char* sourceName) {
    emu::NotifyCall("RegisterEventSource");
    auto& l = emu::Log();
    std::lock_guard<std::mutex> lock(l.Lock);
    if (emu::TakeFailure(l.FailCount)) {
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
    const bool failed = emu::TakeFailure(u.FailCount);
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

std::uint32_t GetFileVersionInfoSize(const char* path) {
    emu::NotifyCall("GetFileVersionInfoSize");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Size)])) {
        return 0;
    }
    if (path == nullptr || v.Versions.count(emu::Lower(path)) == 0) {
        return 0;
    }
    return emu::ResourceSize(v, emu::Lower(path));
}

bool GetFileVersionInfo(const char* path, std::uint32_t size, std::vector<std::uint8_t>& buffer) {
    emu::NotifyCall("GetFileVersionInfo");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Info)])) {
        return false;
    }
    auto it = path != nullptr ? v.Versions.find(emu::Lower(path)) : v.Versions.end();
    if (it == v.Versions.end() || size < emu::ResourceSize(v, it->first)) {
        return false;
    }
    if (buffer.size() < size) {
        buffer.resize(size);
    }
    std::memcpy(buffer.data(), emu::kMarker, sizeof emu::kMarker);
    std::memcpy(buffer.data() + 8, &it->second.ProductVersionMS, 4);
    std::memcpy(buffer.data() + 12, &it->second.ProductVersionLS, 4);
    const std::string packed = emu::PackedStrings(v, it->first);
    std::memcpy(buffer.data() + emu::kStringsAt, packed.data(), packed.size());
    return true;
}

bool VerQueryRootValue(const std::vector<std::uint8_t>& buffer, FileVersionWords& words) {
    emu::NotifyCall("VerQueryValue");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Query)])) {
        return false;
    }
    if (buffer.size() < 16 || std::memcmp(buffer.data(), emu::kMarker, sizeof emu::kMarker) != 0) {
        return false;
    }
    std::memcpy(&words.ProductVersionMS, buffer.data() + 8, 4);
    std::memcpy(&words.ProductVersionLS, buffer.data() + 12, 4);
    return true;
}

bool VerQueryStringValue(const std::vector<std::uint8_t>& buffer, const char* subBlock,
                         std::string& text) {
    emu::NotifyCall("VerQueryValue");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Query)])) {
        return false;
    }
    if (subBlock == nullptr || buffer.size() <= emu::kStringsAt ||
        std::memcmp(buffer.data(), emu::kMarker, sizeof emu::kMarker) != 0) {
        return false;
    }
    const std::string wanted = emu::Lower(subBlock);
    const char* at = reinterpret_cast<const char*>(buffer.data()) + emu::kStringsAt;
    const char* end = reinterpret_cast<const char*>(buffer.data()) + buffer.size();
    while (at < end && *at != '\0') {
        const std::string block(at, std::find(at, end, '\0'));
        at += block.size() + 1;
        if (at >= end) {
            break;
        }
        const std::string value(at, std::find(at, end, '\0'));
        at += value.size() + 1;
        if (emu::Lower(block) == wanted) {
            text = value;
            return true;
        }
    }
    return false;
}

std::uint32_t GetModuleFileName(char* buffer, std::uint32_t bufferSize) {
    emu::NotifyCall("GetModuleFileName");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::TakeFailure(v.ModuleFailCount) || buffer == nullptr || bufferSize == 0) {
        return 0;
    }
    // Like the platform: a buffer too small gets the path cut short, NUL-terminated, and the
    // result is the buffer's size.
    const std::string& path = v.ModulePath;
    if (path.size() + 1 > bufferSize) {
        std::memcpy(buffer, path.data(), bufferSize - 1);
        buffer[bufferSize - 1] = '\0';
        return bufferSize;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<std::uint32_t>(path.size());
}

} // namespace plat
