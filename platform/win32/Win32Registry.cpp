// Registry keys and values under HKEY_LOCAL_MACHINE on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

namespace plat {

namespace {

HKEY AsKey(OsHandle h) {
    return reinterpret_cast<HKEY>(h);
}

// Callers name keys relative to the root; a leading backslash, as some write the path, is
// not part of the name the registry expects.
const char* RelativePath(const std::string& path) {
    const char* p = path.c_str();
    while (*p == '\\') {
        ++p;
    }
    return p;
}

} // namespace

void detail::CloseRegKey(OsHandle h) {
    ::RegCloseKey(AsKey(h));
}

long RegCreateKey(const std::string& path, RegKey& key) {
    HKEY h = nullptr;
    DWORD disposition = 0;
    const LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, RelativePath(path), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                      nullptr, &h, &disposition);
    if (rc == ERROR_SUCCESS) {
        key = RegKey(AsOs(h));
    }
    return rc;
}

long RegOpenKey(const std::string& path, std::uint32_t access, RegKey& key) {
    HKEY h = nullptr;
    const LONG rc =
        ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, RelativePath(path), 0, access | KEY_WOW64_32KEY, &h);
    if (rc == ERROR_SUCCESS) {
        key = RegKey(AsOs(h));
    }
    return rc;
}

long RegQueryValue(const RegKey& key, const std::string& name, RegType& type,
                   std::vector<std::uint8_t>& data) {
    // The value may grow between asking for its size and reading it; ask again then.
    for (;;) {
        DWORD kind = 0;
        DWORD size = 0;
        LONG rc =
            ::RegQueryValueExA(AsKey(key.get()), name.c_str(), nullptr, &kind, nullptr, &size);
        if (rc != ERROR_SUCCESS) {
            return rc;
        }
        data.assign(size, 0);
        rc = ::RegQueryValueExA(AsKey(key.get()), name.c_str(), nullptr, &kind,
                                data.empty() ? nullptr : data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            continue;
        }
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
            type = static_cast<RegType>(kind);
        }
        return rc;
    }
}

long RegSetValue(const RegKey& key, const std::string& name, RegType type, const void* data,
                 std::size_t size) {
    return ::RegSetValueExA(AsKey(key.get()), name.c_str(), 0, static_cast<DWORD>(type),
                            static_cast<const BYTE*>(data), static_cast<DWORD>(size));
}

long RegDeleteValue(const RegKey& key, const std::string& name) {
    return ::RegDeleteValueA(AsKey(key.get()), name.c_str());
}

long RegDeleteKey(const std::string& path) {
    return ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, RelativePath(path));
}

} // namespace plat
