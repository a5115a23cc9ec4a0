#include "platform/emu/EmuRegistry.h"

#include "platform/emu/World.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

namespace emu {
namespace {

constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorKeyDeleted = 1018;
constexpr plat::OsHandle kFirstHandle = 0x2000;

std::string Lower(const std::string& s) {
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Trims the backslashes that callers may put at either end, so "\\SOFTWARE\\Tecora\\" and
// "SOFTWARE\\Tecora" name the same key.
std::string NormalKey(const std::string& path) {
    std::size_t first = path.find_first_not_of('\\');
    if (first == std::string::npos) {
        return {};
    }
    std::size_t last = path.find_last_not_of('\\');
    return Lower(path.substr(first, last - first + 1));
}

struct StoredValue {
    std::string Name; // as first stored
    RegValue Value;
    std::uint64_t Writes = 0;
};

struct StoredKey {
    std::map<std::string, StoredValue> Values; // by lower-case name
    bool ReadOnly = false;
    std::optional<std::vector<plat::FileAccessEntry>> Access; // none: the usual rights
};

struct OpenHandle {
    std::string Key; // normalised
    bool Writable = false;
};

struct Injection {
    RegOp Op = RegOp::Open;
    long Error = 0;
    int Count = -1;
    std::string Value; // lower-case, empty for any
    std::string Key;   // normalised
};

struct RegistryState {
    std::mutex Lock;
    std::map<std::string, StoredKey> Keys; // by normalised path
    std::map<plat::OsHandle, OpenHandle> Handles;
    plat::OsHandle NextHandle = kFirstHandle;
    std::vector<Injection> Injections;
    // Writes survive a deleted value so a test can count them after the fact.
    std::map<std::string, std::uint64_t> WriteCounts; // by "key\\value", lower-case
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
RegistryState& State() {
    static RegistryState state;
    return state;
}

void ResetUnlocked(RegistryState& s) {
    s.Keys.clear();
    s.Keys["software"] = StoredKey{};
    s.Handles.clear();
    s.NextHandle = kFirstHandle;
    s.Injections.clear();
    s.WriteCounts.clear();
}

void ResetRegistry() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    ResetUnlocked(s);
}

const detail::ResetRegistration kReset(&ResetRegistry); // NOLINT(cert-err58-cpp)

void CreatePathUnlocked(RegistryState& s, const std::string& key) {
    std::size_t pos = 0;
    while (true) {
        std::size_t next = key.find('\\', pos);
        std::string prefix = key.substr(0, next);
        if (!prefix.empty()) {
            s.Keys.try_emplace(prefix);
        }
        if (next == std::string::npos) {
            break;
        }
        pos = next + 1;
    }
}

// Returns the error to fail with, or 0; consumes one count of a matching injection.
long TakeInjectionUnlocked(RegistryState& s, RegOp op, const std::string& key,
                           const std::string& value) {
    for (auto it = s.Injections.begin(); it != s.Injections.end(); ++it) {
        if (it->Op != op || it->Key != key) {
            continue;
        }
        if (!it->Value.empty() && it->Value != Lower(value)) {
            continue;
        }
        long error = it->Error;
        if (it->Count > 0 && --it->Count == 0) {
            s.Injections.erase(it);
        }
        return error;
    }
    return 0;
}

plat::OsHandle AddHandleUnlocked(RegistryState& s, const std::string& key, bool writable) {
    plat::OsHandle h = s.NextHandle;
    s.NextHandle += 4;
    s.Handles[h] = OpenHandle{key, writable};
    return h;
}

void CloseHandle(plat::OsHandle h) {
    NotifyCall("RegCloseKey");
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Handles.erase(h);
}

} // namespace

void RegSetRaw(const std::string& key, const std::string& name, plat::RegType type,
               const std::vector<std::uint8_t>& data) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string k = NormalKey(key);
    CreatePathUnlocked(s, k);
    auto& stored = s.Keys[k].Values[Lower(name)];
    if (stored.Name.empty()) {
        stored.Name = name;
    }
    stored.Value = RegValue{type, data};
}

void RegSetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    std::vector<std::uint8_t> data(4);
    for (std::size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    RegSetRaw(key, name, plat::RegType::Dword, data);
}

void RegSetString(const std::string& key, const std::string& name, const std::string& text,
                  plat::RegType type) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    RegSetRaw(key, name, type, data);
}

bool RegDeleteValue(const std::string& key, const std::string& name) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    auto k = s.Keys.find(NormalKey(key));
    return k != s.Keys.end() && k->second.Values.erase(Lower(name)) > 0;
}

bool RegDeleteKey(const std::string& key) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string k = NormalKey(key);
    bool found = s.Keys.erase(k) > 0;
    std::string prefix = k + "\\";
    for (auto it = s.Keys.begin(); it != s.Keys.end();) {
        if (it->first.rfind(prefix, 0) == 0) {
            it = s.Keys.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

void RegCreateKeyPath(const std::string& key) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    CreatePathUnlocked(s, NormalKey(key));
}

bool RegKeyExists(const std::string& key) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    return s.Keys.count(NormalKey(key)) > 0;
}

void RegSetKeyReadOnly(const std::string& key, bool readOnly) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string k = NormalKey(key);
    CreatePathUnlocked(s, k);
    s.Keys[k].ReadOnly = readOnly;
}

void RegSetKeyAccess(const std::string& key, const std::vector<plat::FileAccessEntry>& entries) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::string k = NormalKey(key);
    CreatePathUnlocked(s, k);
    s.Keys[k].Access = entries;
}

std::optional<RegValue> RegGetValue(const std::string& key, const std::string& name) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    auto k = s.Keys.find(NormalKey(key));
    if (k == s.Keys.end()) {
        return std::nullopt;
    }
    auto v = k->second.Values.find(Lower(name));
    if (v == k->second.Values.end()) {
        return std::nullopt;
    }
    return v->second.Value;
}

std::optional<std::uint32_t> RegGetDword(const std::string& key, const std::string& name) {
    auto v = RegGetValue(key, name);
    if (!v || v->Type != plat::RegType::Dword || v->Data.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t out = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        out |= static_cast<std::uint32_t>(v->Data[i]) << (8 * i);
    }
    return out;
}

std::optional<std::string> RegGetString(const std::string& key, const std::string& name) {
    auto v = RegGetValue(key, name);
    if (!v || (v->Type != plat::RegType::Sz && v->Type != plat::RegType::ExpandSz)) {
        return std::nullopt;
    }
    std::string text(v->Data.begin(), v->Data.end());
    return text.substr(0, text.find('\0'));
}

std::vector<std::string> RegValueNames(const std::string& key) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    std::vector<std::string> names;
    auto k = s.Keys.find(NormalKey(key));
    if (k != s.Keys.end()) {
        for (const auto& [lower, value] : k->second.Values) {
            names.push_back(value.Name);
        }
    }
    return names;
}

std::uint64_t RegWriteCount(const std::string& key, const std::string& name) {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    auto it = s.WriteCounts.find(NormalKey(key) + "\\" + Lower(name));
    return it == s.WriteCounts.end() ? 0 : it->second;
}

int RegOpenKeys() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    return static_cast<int>(s.Handles.size());
}

void InjectRegFailure(RegOp op, long errorCode, int count, const std::string& valueName,
                      const std::string& key) {
    if (count == 0) {
        return;
    }
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Injections.push_back(Injection{op, errorCode, count, Lower(valueName), NormalKey(key)});
}

void ClearRegFailures() {
    auto& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Injections.clear();
}

} // namespace emu

namespace plat {

void detail::CloseRegKey(OsHandle h) {
    emu::CloseHandle(h);
}

long RegCreateKey(const std::string& path, RegKey& key) {
    emu::NotifyCall("RegCreateKey");
    auto& s = emu::State();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::string k = emu::NormalKey(path);
    if (long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Create, k, "")) {
        return error;
    }
    if (k.empty()) {
        return kErrorInvalidHandle;
    }
    auto existing = s.Keys.find(k);
    if (existing != s.Keys.end() && existing->second.ReadOnly) {
        return emu::kErrorAccessDenied;
    }
    emu::CreatePathUnlocked(s, k);
    plat::OsHandle h = emu::AddHandleUnlocked(s, k, true);
    lock.unlock(); // replacing the key closes what it held, which takes the lock again
    key = RegKey(h);
    return kRegErrorSuccess;
}

long RegOpenKey(const std::string& path, std::uint32_t access, RegKey& key) {
    emu::NotifyCall("RegOpenKey");
    auto& s = emu::State();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::string k = emu::NormalKey(path);
    if (long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Open, k, "")) {
        return error;
    }
    auto existing = s.Keys.find(k);
    if (existing == s.Keys.end()) {
        return kRegErrorFileNotFound;
    }
    constexpr std::uint32_t kWriteBits = 0x0006; // KEY_SET_VALUE | KEY_CREATE_SUB_KEY
    bool writable = (access & kWriteBits) != 0;
    if (writable && existing->second.ReadOnly) {
        return emu::kErrorAccessDenied;
    }
    plat::OsHandle h = emu::AddHandleUnlocked(s, k, writable);
    lock.unlock();
    key = RegKey(h);
    return kRegErrorSuccess;
}

bool GetRegistryKeyAccess(const std::string& path, std::vector<FileAccessEntry>& entries) {
    emu::NotifyCall("GetRegistryKeyAccess");
    entries.clear();
    auto& s = emu::State();
    std::unique_lock<std::mutex> lock(s.Lock);
    const std::string k = emu::NormalKey(path);
    long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Open, k, "");
    const auto existing = s.Keys.find(k);
    if (error == 0 && existing == s.Keys.end()) {
        error = kRegErrorFileNotFound;
    }
    if (error != 0) {
        lock.unlock();
        SetLastError(static_cast<std::uint32_t>(error));
        return false;
    }
    entries = existing->second.Access.value_or(
        std::vector<FileAccessEntry>{{"S-1-5-18", "NT AUTHORITY\\SYSTEM", true},
                                     {"S-1-5-32-544", "BUILTIN\\Administrators", true},
                                     {"S-1-5-32-545", "BUILTIN\\Users", false}});
    return true;
}

long RegQueryValue(const RegKey& key, const std::string& name, RegType& type,
                   std::vector<std::uint8_t>& data) {
    emu::NotifyCall("RegQueryValue");
    auto& s = emu::State();
    std::lock_guard<std::mutex> lock(s.Lock);
    auto h = s.Handles.find(key.get());
    if (h == s.Handles.end()) {
        return emu::kErrorInvalidHandle;
    }
    if (long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Query, h->second.Key, name)) {
        return error;
    }
    auto k = s.Keys.find(h->second.Key);
    if (k == s.Keys.end()) {
        return emu::kErrorKeyDeleted;
    }
    auto v = k->second.Values.find(emu::Lower(name));
    if (v == k->second.Values.end()) {
        return kRegErrorFileNotFound;
    }
    type = v->second.Value.Type;
    data = v->second.Value.Data;
    return kRegErrorSuccess;
}

namespace {

// Runs a change of one value under the world's lock, once the handle, any injected failure,
// the handle's access and the key's existence have let it through.
template <typename Change>
long ChangeValue(const RegKey& key, const std::string& name, Change change) {
    auto& s = emu::State();
    std::lock_guard<std::mutex> lock(s.Lock);
    auto h = s.Handles.find(key.get());
    if (h == s.Handles.end()) {
        return emu::kErrorInvalidHandle;
    }
    if (long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Set, h->second.Key, name)) {
        return error;
    }
    if (!h->second.Writable) {
        return emu::kErrorAccessDenied;
    }
    auto k = s.Keys.find(h->second.Key);
    if (k == s.Keys.end()) {
        return emu::kErrorKeyDeleted;
    }
    return change(s, h->second.Key, k->second);
}

} // namespace

long RegSetValue(const RegKey& key, const std::string& name, RegType type, const void* data,
                 std::size_t size) {
    emu::NotifyCall("RegSetValue");
    return ChangeValue(key, name, [&](auto& s, const std::string& path, auto& entry) {
        auto& stored = entry.Values[emu::Lower(name)];
        if (stored.Name.empty()) {
            stored.Name = name;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        stored.Value.Type = type;
        stored.Value.Data.assign(bytes, bytes + (bytes != nullptr ? size : 0));
        ++s.WriteCounts[path + "\\" + emu::Lower(name)];
        return kRegErrorSuccess;
    });
}

long RegDeleteValue(const RegKey& key, const std::string& name) {
    emu::NotifyCall("RegDeleteValue");
    return ChangeValue(key, name, [&](auto& /*s*/, const std::string& /*path*/, auto& entry) {
        return entry.Values.erase(emu::Lower(name)) > 0 ? kRegErrorSuccess : kRegErrorFileNotFound;
    });
}

long RegDeleteKey(const std::string& path) {
    emu::NotifyCall("RegDeleteKey");
    auto& s = emu::State();
    const std::lock_guard<std::mutex> lock(s.Lock);
    const std::string k = emu::NormalKey(path);
    if (long error = emu::TakeInjectionUnlocked(s, emu::RegOp::Delete, k, "")) {
        return error;
    }
    const auto existing = s.Keys.find(k);
    if (existing == s.Keys.end()) {
        return kRegErrorFileNotFound;
    }
    // A key with subkeys is refused, as the plain delete does on Windows.
    const auto sub = s.Keys.lower_bound(k + "\\");
    if (existing->second.ReadOnly || (sub != s.Keys.end() && sub->first.rfind(k + "\\", 0) == 0)) {
        return emu::kErrorAccessDenied;
    }
    s.Keys.erase(existing);
    return kRegErrorSuccess;
}

} // namespace plat
