#include "platform/emu/EmuFiles.h"

#include "platform/Platform.h"
#include "platform/emu/EmuTime.h"
#include "platform/emu/World.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <mutex>
#include <set>

namespace emu {
namespace {

constexpr std::uint32_t kErrorPathNotFound = 3;

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
    std::array<Injected, 3> Failures{};
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
    f.Folders = {"c:\\"};
    f.Files.clear();
    f.Writes.clear();
    f.Failures.fill(Injected{});
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
    return 0;
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

} // namespace emu

namespace plat {

std::string SystemDirectoryFor32Bit() {
    emu::NotifyCall("SystemDirectoryFor32Bit");
    return emu::kSystemDirectory32;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    emu::NotifyCall("WriteWholeFile");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
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
    stored.Content = data;
    ++f.Writes[normal];
    return true;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
    emu::NotifyCall("MoveFileReplacing");
    auto& f = emu::Files();
    std::unique_lock<std::mutex> lock(f.Lock);
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
    std::uint32_t error = emu::TakeFailure(f, emu::FileOp::Delete);
    if (error == 0 && f.Files.erase(emu::Normal(path)) == 0) {
        error = kErrorFileNotFound;
    }
    if (error != 0) {
        lock.unlock();
        return emu::Failed(error);
    }
    return true;
}

} // namespace plat
