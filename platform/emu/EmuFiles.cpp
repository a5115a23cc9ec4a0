#include "platform/emu/EmuFiles.h"

#include "platform/Platform.h"
#include "platform/emu/EmuTime.h"
#include "platform/emu/World.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
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

FileState& Files() {
    static FileState state;
    return state;
}

std::string Normal(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (path.size() > 3 && path.back() == '\\') {
        path.pop_back();
    }
    return path;
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

bool WriteWholeFile(const std::string& path, const std::string& data) {
    emu::NotifyCall("WriteWholeFile");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    emu::WaitWhileHeld(f, lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Write);
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
    // CREATE_ALWAYS empties the file before anything is written.
    emu::GiveRoom(f, stored.Content.size());
    const std::size_t fits = emu::TakeRoom(f, data.size());
    stored.Content = data.substr(0, fits);
    if (fits < data.size()) {
        lock.unlock();
        return emu::Failed(emu::kErrorDiskFull);
    }
    ++f.Writes[normal];
    return true;
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
    emu::NotifyCall("AppendToFile");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
    emu::WaitWhileHeld(f, lock);
    const std::string normal = emu::Normal(path);
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Append);
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
    const std::size_t fits = emu::TakeRoom(f, data.size());
    stored.Content.append(data, 0, fits);
    if (fits < data.size()) {
        lock.unlock();
        return emu::Failed(emu::kErrorDiskFull);
    }
    ++f.Writes[normal];
    return true;
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
    const std::string folded = emu::Normal(pattern);
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
