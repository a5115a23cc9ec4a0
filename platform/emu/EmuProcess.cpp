#include "platform/emu/EmuProcess.h"

#include "platform/Platform.h"
#include "platform/emu/EmuTime.h"
#include "platform/emu/World.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace emu {
namespace {

constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorDiskFull = 112;
constexpr std::size_t kFileOps = static_cast<std::size_t>(FileOp::CreateFolder) + 1;

struct StoredFile {
    std::string Path; // as first written
    std::string Content;
};

struct Injected {
    std::uint32_t Error = 0;
    int Count = 0;
};

struct FileState {
    std::mutex Lock;
    std::set<std::string> Folders;           // lower-case, without a trailing backslash
    std::map<std::string, StoredFile> Files; // by lower-case path
    std::map<std::string, std::uint64_t> Writes;
    std::array<Injected, kFileOps> Failures{};
    std::set<std::string> Protected;     // made with rights of their own
    std::set<std::string> ReadOnly;      // nothing may be created or changed inside
    std::int64_t FreeBytes = -1;         // negative: no limit
    std::set<std::string> ReparsePoints; // lower-case
    std::set<char> NetworkDrives;        // lower-case letters
    bool Hold = false;                   // writes wait until it is let go
    int Held = 0;                        // writes waiting now
    std::condition_variable HoldChanged;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
FileState& Files() {
    static FileState state;
    return state;
}

// Lower case, forward slashes as backslashes, no trailing backslash.
std::string Fold(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (path.size() > 3 && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

// The key of a path: folded, and a bare name taken as one in the current folder.
std::string Normal(const std::string& path) {
    if (!path.empty() && path.find_first_of("\\/:") == std::string::npos) {
        return Fold(std::string(kCurrentFolder) + "\\" + path);
    }
    return Fold(path);
}

std::string ParentOf(const std::string& normal) {
    const std::size_t slash = normal.find_last_of('\\');
    if (slash == std::string::npos) {
        return {};
    }
    // "c:\name" lives in "c:\".
    return slash == 2 ? normal.substr(0, 3) : normal.substr(0, slash);
}

void ResetFiles() {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.Folders = {"c:\\", Normal(kProgramData)};
    f.Files.clear();
    f.Writes.clear();
    f.Failures.fill(Injected{});
    f.Protected.clear();
    f.ReadOnly.clear();
    f.FreeBytes = -1;
    f.ReparsePoints.clear();
    f.NetworkDrives.clear();
    f.Hold = false;
    f.HoldChanged.notify_all();
}

const detail::ResetRegistration kReset(&ResetFiles); // NOLINT(cert-err58-cpp)

// The error an injected failure gives, or 0.
std::uint32_t TakeFailure(FileState& f, FileOp op) {
    Injected& i = f.Failures.at(static_cast<std::size_t>(op));
    if (i.Count == 0) {
        return 0;
    }
    if (i.Count > 0) {
        --i.Count;
    }
    return i.Error;
}

// Why a file cannot be put at this path, or 0.
std::uint32_t PlaceError(const FileState& f, const std::string& normal) {
    if (f.Folders.count(normal) > 0) {
        return plat::kErrorAccessDenied;
    }
    if (f.Folders.count(ParentOf(normal)) == 0) {
        return kErrorPathNotFound;
    }
    if (f.ReadOnly.count(ParentOf(normal)) > 0) {
        return plat::kErrorAccessDenied;
    }
    return 0;
}

// Takes room for `wanted` more bytes; what fits when not all does.
std::size_t TakeRoom(FileState& f, std::size_t wanted) {
    if (f.FreeBytes < 0) {
        return wanted;
    }
    const auto fits = std::min<std::size_t>(wanted, static_cast<std::size_t>(f.FreeBytes));
    f.FreeBytes -= static_cast<std::int64_t>(fits);
    return fits;
}

void GiveRoom(FileState& f, std::size_t bytes) {
    if (f.FreeBytes >= 0) {
        f.FreeBytes += static_cast<std::int64_t>(bytes);
    }
}

// FindFirstFile's matching of * and ?, letter case already folded.
bool Matches(const std::string& name, std::size_t n, const std::string& pattern, std::size_t p) {
    while (p < pattern.size()) {
        if (pattern[p] == '*') {
            for (std::size_t k = n; k <= name.size(); ++k) {
                if (Matches(name, k, pattern, p + 1)) {
                    return true;
                }
            }
            return false;
        }
        if (n >= name.size() || (pattern[p] != '?' && pattern[p] != name[n])) {
            return false;
        }
        ++n;
        ++p;
    }
    return n == name.size();
}

// A write on a held file system waits here, in real time, as on a share that stopped
// answering; the lock is let go meanwhile, so the test can look and release.
void WaitWhileHeld(FileState& f, std::unique_lock<std::mutex>& lock) {
    if (!f.Hold) {
        return;
    }
    ++f.Held;
    f.HoldChanged.notify_all();
    f.HoldChanged.wait(lock, [&f] { return !f.Hold; });
    --f.Held;
}

bool Failed(std::uint32_t error) {
    plat::SetLastError(error);
    return false;
}

} // namespace

void AddFolder(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    for (std::string folder = Normal(path); !folder.empty(); folder = ParentOf(folder)) {
        f.Folders.insert(folder);
        if (folder.size() <= 3) {
            break;
        }
    }
}

void PutFile(const std::string& path, const std::string& content) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.Files[Normal(path)] = StoredFile{path, content};
}

std::optional<std::string> FileContent(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    auto it = f.Files.find(Normal(path));
    if (it == f.Files.end()) {
        return std::nullopt;
    }
    return it->second.Content;
}

std::vector<std::string> FileNames() {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    std::vector<std::string> names;
    for (const auto& entry : f.Files) {
        names.push_back(entry.second.Path);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::uint64_t FileWrites(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    auto it = f.Writes.find(Normal(path));
    return it == f.Writes.end() ? 0 : it->second;
}

void InjectFileFailure(FileOp op, std::uint32_t errorCode, int count) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.Failures.at(static_cast<std::size_t>(op)) = Injected{errorCode, count};
}

void SetFolderWritable(const std::string& path, bool writable) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    if (writable) {
        f.ReadOnly.erase(Normal(path));
    } else {
        f.ReadOnly.insert(Normal(path));
    }
}

bool FolderProtected(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    return f.Protected.count(Normal(path)) > 0;
}

bool FolderExists(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    return f.Folders.count(Normal(path)) > 0;
}

void SetDiskFreeBytes(std::int64_t bytes) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.FreeBytes = bytes;
}

void HoldFiles(bool hold) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.Hold = hold;
    f.HoldChanged.notify_all();
}

bool AwaitHeldFileWrite(int timeoutMs) {
    auto& f = Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    return f.HoldChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&f] { return f.Held > 0; });
}

int HeldFileWrites() {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    return f.Held;
}

void MarkReparsePoint(const std::string& path) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.ReparsePoints.insert(Normal(path));
}

void MapNetworkDrive(char letter) {
    auto& f = Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    f.NetworkDrives.insert(static_cast<char>(std::tolower(static_cast<unsigned char>(letter))));
}

} // namespace emu

namespace plat {

std::uint32_t GetFileAttributes(const std::string& path) {
    emu::NotifyCall("GetFileAttributes");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t attributes = kInvalidFileAttributes;
    if (f.Folders.count(normal) > 0) {
        attributes = kFileAttributeDirectory;
    } else if (f.Files.count(normal) > 0) {
        attributes = 0x80; // FILE_ATTRIBUTE_NORMAL
    }
    if (attributes != kInvalidFileAttributes && f.ReparsePoints.count(normal) > 0) {
        attributes |= kFileAttributeReparsePoint;
    }
    lock.unlock();
    if (attributes == kInvalidFileAttributes) {
        SetLastError(kErrorFileNotFound);
    }
    return attributes;
}

bool FileExists(const char* name) {
    emu::NotifyCall("FileExists");
    auto& f = emu::Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    return f.Files.count(emu::Normal(name != nullptr ? name : "")) > 0;
}

bool IsLocalFixedDrive(char letter) {
    emu::NotifyCall("IsLocalFixedDrive");
    auto& f = emu::Files();
    const std::lock_guard<std::mutex> lock(f.Lock);
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    const std::string root = std::string(1, lower) + ":\\";
    const bool network = f.NetworkDrives.count(lower) != 0;
    return !network && f.Folders.count(root) != 0;
}

std::string SystemDirectoryFor32Bit() {
    emu::NotifyCall("SystemDirectoryFor32Bit");
    return emu::kSystemDirectory32;
}

namespace {

// CREATE_ALWAYS (a whole write) empties the file before anything is written; an append keeps
// it. What does not fit on the volume is cut off, as a full disk leaves a file.
bool StoreInFile(const char* call, const std::string& path, const std::string& data,
                 emu::FileOp op) {
    emu::NotifyCall(call);
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    emu::WaitWhileHeld(f, lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t error = emu::TakeFailure(f, op);
    if (error == 0) {
        error = emu::PlaceError(f, normal);
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    auto& stored = f.Files[normal];
    if (stored.Path.empty()) {
        stored.Path = path;
    }
    if (op == emu::FileOp::Write) {
        emu::GiveRoom(f, stored.Content.size());
        stored.Content.clear();
    }
    const std::size_t fits = emu::TakeRoom(f, data.size());
    stored.Content.append(data, 0, fits);
    if (fits < data.size()) {
        lock.unlock();
        return emu::Failed(emu::kErrorDiskFull);
    }
    ++f.Writes[normal];
    return true;
}

} // namespace

bool WriteWholeFile(const std::string& path, const std::string& data) {
    return StoreInFile("WriteWholeFile", path, data, emu::FileOp::Write);
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
    emu::NotifyCall("MoveFileReplacing");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    emu::WaitWhileHeld(f, lock);
    const std::string source = emu::Normal(from);
    const std::string target = emu::Normal(to);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Move);
    auto it = f.Files.find(source);
    if (error == 0 && it == f.Files.end()) {
        error = kErrorFileNotFound;
    }
    if (error == 0) {
        error = emu::PlaceError(f, target);
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    const auto replaced = f.Files.find(target);
    if (replaced != f.Files.end() && replaced != it) {
        emu::GiveRoom(f, replaced->second.Content.size());
    }
    emu::StoredFile moved{to, std::move(it->second.Content)};
    f.Files.erase(it);
    f.Files[target] = std::move(moved);
    ++f.Writes[target];
    return true;
}

bool DeleteFile(const std::string& path) {
    emu::NotifyCall("DeleteFile");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Delete);
    const auto it = f.Files.find(normal);
    if (error == 0 && it == f.Files.end()) {
        error = kErrorFileNotFound;
    }
    if (error == 0 && f.ReadOnly.count(emu::ParentOf(normal)) > 0) {
        error = kErrorAccessDenied;
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    emu::GiveRoom(f, it->second.Content.size());
    f.Files.erase(it);
    return true;
}

std::string ProgramDataFolder() {
    emu::NotifyCall("ProgramDataFolder");
    return emu::kProgramData;
}

bool CreateFolder(const std::string& path, bool protect) {
    emu::NotifyCall("CreateFolder");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::CreateFolder);
    if (error == 0 && f.Files.count(normal) > 0) {
        error = emu::kErrorAlreadyExists;
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    // Parents first, each made only if missing; a read-only parent refuses a new child.
    std::vector<std::string> missing;
    for (std::string folder = normal; folder.size() > 3 && f.Folders.count(folder) == 0;
         folder = emu::ParentOf(folder)) {
        missing.push_back(folder);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (f.ReadOnly.count(emu::ParentOf(*it)) > 0 || f.Files.count(emu::ParentOf(*it)) > 0) {
            lock.unlock();
            return emu::Failed(kErrorAccessDenied);
        }
        f.Folders.insert(*it);
        if (protect && *it == normal) {
            f.Protected.insert(normal);
        }
    }
    return true;
}

bool AppendToFile(const std::string& path, const std::string& data) {
    return StoreInFile("AppendToFile", path, data, emu::FileOp::Append);
}

bool ReadWholeFile(const std::string& path, std::string& data) {
    emu::NotifyCall("ReadWholeFile");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Read);
    const auto it = f.Files.find(emu::Normal(path));
    if (error == 0 && it == f.Files.end()) {
        error = f.Folders.count(emu::ParentOf(emu::Normal(path))) > 0 ? kErrorFileNotFound
                                                                      : emu::kErrorPathNotFound;
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    data = it->second.Content;
    return true;
}

bool ListFiles(const std::string& folder, const std::string& pattern,
               std::vector<std::string>& names) {
    emu::NotifyCall("ListFiles");
    names.clear();
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    const std::string normal = emu::Normal(folder);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::List);
    if (error == 0 && f.Folders.count(normal) == 0) {
        error = emu::kErrorPathNotFound;
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    const std::string folded = emu::Fold(pattern);
    for (const auto& [key, file] : f.Files) {
        if (emu::ParentOf(key) != normal) {
            continue;
        }
        const std::string name = key.substr(key.find_last_of('\\') + 1);
        if (emu::Matches(name, 0, folded, 0)) {
            names.push_back(file.Path.substr(file.Path.find_last_of("\\/") + 1));
        }
    }
    return true;
}

} // namespace plat

namespace emu {
namespace {

std::string Lower(const std::string& s) {
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// --- version resources and the module --------------------------------------------------------

struct VersionState {
    std::mutex Lock;
    std::string ModulePath = kDefaultModulePath;
    int ModuleFailCount = 0;
    std::map<std::string, plat::FileVersionWords> Versions; // by lower-case path
    // Texts of the string tables, by lower-case path, then lower-case block path.
    std::map<std::string, std::map<std::string, std::string>> Strings;
    int FailCount[3] = {0, 0, 0};
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
VersionState& Versions() {
    static VersionState state;
    return state;
}

void ResetVersionsUnlocked(VersionState& v) {
    v.ModulePath = kDefaultModulePath;
    v.ModuleFailCount = 0;
    v.Versions.clear();
    v.Strings.clear();
    v.Versions[Lower(kDefaultModulePath)] = plat::FileVersionWords{0x00010000u, 0x00000001u};
    std::fill(std::begin(v.FailCount), std::end(v.FailCount), 0);
}

void ResetVersions() {
    auto& v = Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    ResetVersionsUnlocked(v);
}

const detail::ResetRegistration kVersionReset(&ResetVersions); // NOLINT(cert-err58-cpp)

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

// --- processes, the system, the console --------------------------------------------------------

const std::map<std::uint32_t, std::string>& StandardMessages() {
    static const std::map<std::uint32_t, std::string> messages = {
        {0, "The operation completed successfully.\r\n"},
        {2, "The system cannot find the file specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {1052, "The requested control is not valid for this service.\r\n"},
        {1056, "An instance of the service is already running.\r\n"},
        {1060, "The specified service does not exist as an installed service.\r\n"},
        {1061, "The service cannot accept control messages at this time.\r\n"},
        {1062, "The service has not been started.\r\n"},
        {1063, "The service process could not connect to the service controller.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1073, "The specified service already exists.\r\n"},
        {1314, "A required privilege is not held by the client.\r\n"},
    };
    return messages;
}

constexpr std::size_t kProcessFails = static_cast<std::size_t>(ProcessFail::RunProcess) + 1;

struct ProcessState {
    std::mutex Lock;
    std::array<Injected, kProcessFails> Failures{};
    bool ProcessStarts = true;
    std::uint32_t ProcessExitCode = 0;
    std::uint32_t ProcessStartError = 2;
    std::vector<std::string> Processes;
    std::map<std::string, std::pair<std::vector<plat::FileAccessEntry>, std::uint32_t>>
        FileAccess; // by lower-case path
    plat::OsVersionInfo Version{6, 1, 7601, 2};
    std::map<std::uint32_t, std::string> Messages = StandardMessages();
    std::vector<ConsoleWrite> Console;
    std::string ConsoleErrors;
    bool StdoutConsole = false;
    int ExitCalls = 0;
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
ProcessState& Process() {
    static ProcessState state;
    return state;
}

void ResetProcess() {
    ProcessState& s = Process();
    const std::lock_guard<std::mutex> lock(s.Lock);
    s.Failures.fill(Injected{});
    s.ProcessStarts = true;
    s.ProcessExitCode = 0;
    s.ProcessStartError = 2;
    s.Processes.clear();
    s.FileAccess.clear();
    s.Version = plat::OsVersionInfo{6, 1, 7601, 2};
    s.Messages = StandardMessages();
    s.Console.clear();
    s.ConsoleErrors.clear();
    s.StdoutConsole = false;
    s.ExitCalls = 0;
}

const detail::ResetRegistration kProcessReset(&ResetProcess); // NOLINT(cert-err58-cpp)

// Under the lock: whether this call is to fail, and with which code.
bool TakeFailure(ProcessState& s, ProcessFail what, std::uint32_t& error) {
    Injected& i = s.Failures.at(static_cast<std::size_t>(what));
    if (i.Count == 0) {
        return false;
    }
    error = i.Error;
    if (i.Count > 0) {
        --i.Count;
    }
    return true;
}

// --- the locale ------------------------------------------------------------------------------

struct LocaleState {
    std::mutex Lock;
    std::string Separator = ",";
};

// Written by the test's control calls and by platform calls on any thread, under its lock.
LocaleState& Locale() {
    static LocaleState state;
    return state;
}

void ResetLocale() {
    LocaleState& s = Locale();
    const std::lock_guard<std::mutex> guard(s.Lock);
    s.Separator.assign(1, ',');
}

// Registration only appends to a list at start-up.
const detail::ResetRegistration kLocaleReset{&ResetLocale}; // NOLINT(cert-err58-cpp)

// Code page 1252 at 0x80-0x9F; the holes (0x81, 0x8D, 0x8F, 0x90, 0x9D) hold no character.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// One character of code page 1252 for a code point; '?' (and lossy) where it has none.
char ToCp1252(char32_t c, bool& lossy) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<char>(c);
    }
    const auto* at = std::find(kCp1252High.begin(), kCp1252High.end(), c);
    if (at != kCp1252High.end()) {
        return static_cast<char>(0x80 + (at - kCp1252High.begin()));
    }
    lossy = true;
    return '?';
}

// The UTF-8 text in code page 1252, as WideCharToMultiByte without best fit gives it.
std::string ToAnsi(const std::string& utf8, bool& lossy) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        out.push_back(ToCp1252(c, lossy));
        i += length;
    }
    return out;
}

} // namespace

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

void InjectProcessFailure(ProcessFail what, std::uint32_t errorCode, int count) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    Process().Failures.at(static_cast<std::size_t>(what)) = Injected{errorCode, count};
}

void SetProcessResult(bool starts, std::uint32_t exitCode, std::uint32_t startError) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    Process().ProcessStarts = starts;
    Process().ProcessExitCode = exitCode;
    Process().ProcessStartError = startError;
}

std::vector<std::string> ProcessesRun() {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    return Process().Processes;
}

void SetFileAccess(const std::string& path, const std::vector<plat::FileAccessEntry>& entries,
                   std::uint32_t error) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    Process().FileAccess[Lower(path)] = {entries, error};
}

void SetOsVersion(const plat::OsVersionInfo& info) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    Process().Version = info;
}

void SetSystemMessage(std::uint32_t code, const std::string& text) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    if (text.empty()) {
        Process().Messages.erase(code);
    } else {
        Process().Messages[code] = text;
    }
}

std::string ConsoleOutput() {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    std::string all;
    for (const auto& write : Process().Console) {
        all += write.Text;
    }
    return all;
}

std::vector<ConsoleWrite> ConsoleWrites() {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    return Process().Console;
}

std::string ConsoleErrorOutput() {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    return Process().ConsoleErrors;
}

void SetStdoutIsConsole(bool console) {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    Process().StdoutConsole = console;
}

int ExitProcessCalls() {
    const std::lock_guard<std::mutex> lock(Process().Lock);
    return Process().ExitCalls;
}

void SetThousandsSeparator(const std::string& separator) {
    LocaleState& s = Locale();
    const std::lock_guard<std::mutex> guard(s.Lock);
    s.Separator = separator;
}

std::string ThousandsSeparator() {
    LocaleState& s = Locale();
    const std::lock_guard<std::mutex> guard(s.Lock);
    return s.Separator;
}

} // namespace emu

namespace plat {

std::uint32_t GetFileVersionInfoSize(const char* path) {
    emu::NotifyCall("GetFileVersionInfoSize");
    auto& v = emu::Versions();
    std::lock_guard<std::mutex> lock(v.Lock);
    if (emu::detail::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Size)])) {
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
    if (emu::detail::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Info)])) {
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
    if (emu::detail::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Query)])) {
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
    if (emu::detail::TakeFailure(v.FailCount[static_cast<int>(emu::VersionStep::Query)])) {
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
    if (emu::detail::TakeFailure(v.ModuleFailCount) || buffer == nullptr || bufferSize == 0) {
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

bool GetFileAccess(const std::string& path, std::vector<FileAccessEntry>& entries) {
    emu::NotifyCall("GetFileAccess");
    emu::ProcessState& s = emu::Process();
    std::unique_lock<std::mutex> lock(s.Lock);
    const auto it = s.FileAccess.find(emu::Lower(path));
    if (it == s.FileAccess.end()) {
        entries = {{"S-1-5-18", "NT AUTHORITY\\SYSTEM", true},
                   {"S-1-5-32-544", "BUILTIN\\Administrators", true},
                   {"S-1-5-32-545", "BUILTIN\\Users", false}};
        return true;
    }
    if (it->second.second != 0) {
        const std::uint32_t error = it->second.second;
        lock.unlock();
        SetLastError(error);
        return false;
    }
    entries = it->second.first;
    return true;
}

bool GetVersionEx(OsVersionInfo& info) {
    emu::NotifyCall("GetVersionEx");
    emu::ProcessState& s = emu::Process();
    std::unique_lock<std::mutex> lock(s.Lock);
    std::uint32_t error = 0;
    if (emu::TakeFailure(s, emu::ProcessFail::GetVersionEx, error)) {
        lock.unlock();
        SetLastError(error);
        return false;
    }
    info = s.Version;
    return true;
}

bool FormatSystemMessage(std::uint32_t code, std::string& text) {
    emu::NotifyCall("FormatSystemMessage");
    emu::ProcessState& s = emu::Process();
    const std::lock_guard<std::mutex> lock(s.Lock);
    auto it = s.Messages.find(code);
    if (it == s.Messages.end()) {
        return false;
    }
    text = it->second;
    return true;
}

bool RunProcess(const std::string& commandLine, std::uint32_t& exitCode) {
    emu::NotifyCall("RunProcess");
    emu::ProcessState& s = emu::Process();
    std::unique_lock<std::mutex> lock(s.Lock);
    s.Processes.push_back(commandLine);
    std::uint32_t error = 0;
    if (emu::TakeFailure(s, emu::ProcessFail::RunProcess, error) || !s.ProcessStarts) {
        error = error != 0 ? error : s.ProcessStartError;
        lock.unlock();
        SetLastError(error);
        return false;
    }
    exitCode = s.ProcessExitCode;
    return true;
}

void WriteConsole(const std::string& text) {
    emu::NotifyCall("WriteConsole");
    const std::int64_t now = emu::TrueTime100ns();
    emu::ProcessState& s = emu::Process();
    const std::lock_guard<std::mutex> lock(s.Lock);
    s.Console.push_back(emu::ConsoleWrite{text, now});
}

void WriteConsoleError(const std::string& text) {
    emu::NotifyCall("WriteConsoleError");
    emu::ProcessState& s = emu::Process();
    const std::lock_guard<std::mutex> lock(s.Lock);
    s.ConsoleErrors += text;
}

bool StdoutIsConsole() {
    emu::NotifyCall("StdoutIsConsole");
    emu::ProcessState& s = emu::Process();
    const std::lock_guard<std::mutex> lock(s.Lock);
    return s.StdoutConsole;
}

void ExitProcess(std::uint32_t exitCode) {
    emu::NotifyCall("ExitProcess");
    {
        emu::ProcessState& s = emu::Process();
        const std::lock_guard<std::mutex> lock(s.Lock);
        ++s.ExitCalls;
    }
    throw emu::ProcessExit{exitCode};
}

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

    bool lossy = false;
    const std::string converted = emu::ToAnsi(emu::ThousandsSeparator(), lossy);
    const std::string separator = AnsiGroupSeparator(converted, lossy);
    std::string text;
    text.reserve(count + (count / 3) * separator.size() + 1);
    if (value < 0) {
        text.push_back('-');
    }
    for (std::size_t i = count; i-- > 0;) {
        text.push_back(digits[i]);
        if (i != 0 && i % 3 == 0) {
            text += separator;
        }
    }
    return text;
}

} // namespace plat
