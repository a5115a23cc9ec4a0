// Who may change a file, a folder or a registry key, read from its access list on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

namespace plat {

namespace {

struct LocalFreer {
    void operator()(void* p) const { ::LocalFree(p); }
};

// Any of these lets a principal replace the object's contents, delete it (or, for a folder,
// what is in it), or give itself those rights.
constexpr DWORD kFileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// The same for a key: its values, its subkeys, the key itself and its rights.
constexpr DWORD kKeyChangeRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC |
                                   WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

struct Principal {
    PSID Sid = nullptr;
    DWORD Allowed = 0;
    DWORD Denied = 0;
};

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (::ConvertSidToStringSidA(sid, &text) == FALSE || text == nullptr) {
        return {};
    }
    const std::unique_ptr<char, LocalFreer> hold(text);
    return text;
}

std::string SidName(PSID sid) {
    char name[256] = {};
    char domain[256] = {};
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use{};
    if (::LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use) == FALSE) {
        return {};
    }
    return domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
}

// One entry per principal of an access list, with whether it may use any of changeRights.
void CollectAccess(PACL dacl, DWORD changeRights, std::vector<FileAccessEntry>& entries) {
    entries.clear();
    if (dacl == nullptr) {
        entries.push_back(FileAccessEntry{"S-1-1-0", "Everyone", true});
        return;
    }
    std::vector<Principal> principals;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (::GetAce(dacl, i, &ace) == FALSE) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // Entries kept only to be inherited by what is created inside do not apply here.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        if (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        // Allowed and denied entries share the layout: header, mask, then the SID.
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &entry->SidStart;
        Principal* found = nullptr;
        for (Principal& p : principals) {
            if (::EqualSid(p.Sid, sid) != FALSE) {
                found = &p;
                break;
            }
        }
        if (found == nullptr) {
            principals.push_back(Principal{sid, 0, 0});
            found = &principals.back();
        }
        (allow ? found->Allowed : found->Denied) |= entry->Mask;
    }
    for (const Principal& p : principals) {
        if (p.Allowed == 0) {
            continue;
        }
        const DWORD left = p.Allowed & ~p.Denied;
        entries.push_back(
            FileAccessEntry{SidText(p.Sid), SidName(p.Sid), (left & changeRights) != 0});
    }
}

} // namespace

bool GetFileAccess(const std::string& path, std::vector<FileAccessEntry>& entries) {
    entries.clear();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc =
        ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        ::SetLastError(rc);
        return false;
    }
    const std::unique_ptr<void, LocalFreer> hold(descriptor);
    CollectAccess(dacl, kFileChangeRights, entries);
    return true;
}

bool GetRegistryKeyAccess(const std::string& path, std::vector<FileAccessEntry>& entries) {
    entries.clear();
    // Opened as every key here is, so the rights are those of the key the service uses.
    RegKey key;
    const long opened = RegOpenKey(path, READ_CONTROL, key);
    if (opened != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(opened));
        return false;
    }
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc =
        ::GetSecurityInfo(reinterpret_cast<HANDLE>(key.get()), SE_REGISTRY_KEY,
                          DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        ::SetLastError(rc);
        return false;
    }
    const std::unique_ptr<void, LocalFreer> hold(descriptor);
    CollectAccess(dacl, kKeyChangeRights, entries);
    return true;
}

} // namespace plat
