// The emulated registry: keys under HKEY_LOCAL_MACHINE with typed values.
//
// Key paths are relative to HKEY_LOCAL_MACHINE without a leading backslash
// ("SOFTWARE\\Tecora"); key and value names compare case-insensitively, as on Windows.
// Creating a key creates its missing parents. The world starts with the key "SOFTWARE" only.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// --- scripting values and keys ----------------------------------------------------------------

// Each setter creates the key when missing and replaces a value of any type.
void RegSetDword(const std::string& key, const std::string& name, std::uint32_t value);
// Stores the text and its terminating NUL (type Sz or ExpandSz).
void RegSetString(const std::string& key, const std::string& name, const std::string& text,
                  plat::RegType type = plat::RegType::Sz);
// Any type with exactly these bytes (wrong-type cases, strings without a terminator, ...).
void RegSetRaw(const std::string& key, const std::string& name, plat::RegType type,
               const std::vector<std::uint8_t>& data);
bool RegDeleteValue(const std::string& key, const std::string& name);
bool RegDeleteKey(const std::string& key); // with its subkeys; open handles go stale
void RegCreateKeyPath(const std::string& key);
bool RegKeyExists(const std::string& key);
// Requests for write access to this key fail with access denied (5); read access works.
void RegSetKeyReadOnly(const std::string& key, bool readOnly);
// Who GetRegistryKeyAccess says may change this key (created when missing). A key not set here
// is protected as under HKEY_LOCAL_MACHINE\SOFTWARE: administrators and SYSTEM may change it,
// Users may read it. Whatever fails to open the key (a missing key, an injected Open failure)
// fails the call too, as the key must be opened to read its rights.
void RegSetKeyAccess(const std::string& key, const std::vector<plat::FileAccessEntry>& entries);

// --- reading back -----------------------------------------------------------------------------

struct RegValue {
    plat::RegType Type = plat::RegType::None;
    std::vector<std::uint8_t> Data;
};
std::optional<RegValue> RegGetValue(const std::string& key, const std::string& name);
// A REG_DWORD value (4 bytes), else nothing.
std::optional<std::uint32_t> RegGetDword(const std::string& key, const std::string& name);
// A REG_SZ or REG_EXPAND_SZ value cut at its first NUL, else nothing.
std::optional<std::string> RegGetString(const std::string& key, const std::string& name);
// Value names of a key, as they were first stored.
std::vector<std::string> RegValueNames(const std::string& key);
// Successful RegSetValue calls on this value since the last reset (what the service wrote).
std::uint64_t RegWriteCount(const std::string& key, const std::string& name);

// Key handles open now (for leak checks).
int RegOpenKeys();

// --- failure injection ------------------------------------------------------------------------

enum class RegOp : std::uint8_t {
    Open,   // RegOpenKey
    Create, // RegCreateKey
    Query,  // RegQueryValue
    Set,    // RegSetValue and RegDeleteValue
    Delete, // RegDeleteKey
};

// The next `count` calls (every call when count < 0) of this operation on `key` fail with
// errorCode. valueName limits Query and Set failures to one value (empty: every value).
// The default key is the service's key, so the simulated card's own key is left alone.
void InjectRegFailure(RegOp op, long errorCode, int count = -1, const std::string& valueName = "",
                      const std::string& key = "SOFTWARE\\Tecora");
void ClearRegFailures();

} // namespace emu
