#include "service/InstallFolder.h"

#include "platform/Platform.h"

#include <array>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<std::string_view, 4> kTrusted = {
    "S-1-5-32-544",                                                   // Administrators
    "S-1-5-18",                                                       // SYSTEM
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", // TrustedInstaller
    "S-1-3-0",                                                        // CREATOR OWNER
};

bool Trusted(const std::string& sid) {
    for (std::string_view trusted : kTrusted) {
        if (sid == trusted) {
            return true;
        }
    }
    return false;
}

std::string OthersWhoMayWrite(const std::string& path) {
    std::vector<plat::FileAccessEntry> entries;
    if (!plat::GetFileAccess(path, entries)) {
        return {};
    }
    return UntrustedWriters(entries);
}

} // namespace

std::string UntrustedWriters(const std::vector<plat::FileAccessEntry>& entries) {
    std::string others;
    for (const plat::FileAccessEntry& entry : entries) {
        if (!entry.MayWrite || Trusted(entry.Sid)) {
            continue;
        }
        others += others.empty() ? "" : ", ";
        others += entry.Name.empty() ? entry.Sid : entry.Name;
    }
    return others;
}

bool InstallFolderOpenToUsers(const std::string& exePath, std::string& why) {
    const std::string folder = plat::FolderOf(exePath);
    const std::string separator = folder.back() == '\\' || folder.back() == '/' ? "" : "\\";
    const struct {
        const char* What;
        std::string Path;
    } objects[] = {
        {"the folder", folder},
        {"the program", exePath},
        {"the card library", folder + separator + "TECORA32.DLL"},
    };
    for (const auto& object : objects) {
        const std::string others = OthersWhoMayWrite(object.Path);
        if (!others.empty()) {
            why = std::string(object.What) + " \"" + object.Path + "\" can be changed by " + others;
            return true;
        }
    }
    why.clear();
    return false;
}
