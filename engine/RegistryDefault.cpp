#include "engine/RegistryDefault.h"

#include <cstring>
#include <vector>

namespace {

std::string KeyPath(const std::string& path) {
    const std::size_t first = path.find_first_not_of('\\');
    return first == std::string::npos ? std::string() : path.substr(first);
}

const char* TypeName(plat::RegType type) {
    switch (type) {
    case plat::RegType::None:
        return "REG_NONE";
    case plat::RegType::Sz:
        return "REG_SZ";
    case plat::RegType::ExpandSz:
        return "REG_EXPAND_SZ";
    case plat::RegType::Binary:
        return "REG_BINARY";
    case plat::RegType::Dword:
        return "REG_DWORD";
    case plat::RegType::MultiSz:
        return "REG_MULTI_SZ";
    }
    return "an unknown type";
}

[[noreturn]] void Fail(const std::string& what, const std::string& name) {
    throw RegistryError(what + " \"" + name + "\"");
}

// Queries a value; false when it does not exist, throws on any other failure.
bool Query(const plat::RegKey& key, const std::string& name, plat::RegType& type,
           std::vector<std::uint8_t>& data) {
    if (!key.valid()) {
        return false;
    }
    const long error = plat::RegQueryValue(key, name, type, data);
    if (error == plat::kRegErrorFileNotFound) {
        return false;
    }
    if (error != plat::kRegErrorSuccess) {
        Fail("cannot read (error " + std::to_string(error) + ")", name);
    }
    return true;
}

} // namespace

bool TRegistryDefault::OpenKey(const std::string& path, bool create) {
    key_.reset();
    const std::string relative = KeyPath(path);
    plat::RegKey key;
    long error = 0;
    if (create) {
        error = plat::RegCreateKey(relative, key);
    } else {
        error = plat::RegOpenKey(relative, plat::kKeyAllAccess, key);
        if (error != plat::kRegErrorSuccess) {
            error = plat::RegOpenKey(relative, plat::kKeyRead, key);
        }
    }
    if (error != plat::kRegErrorSuccess) {
        return false;
    }
    key_ = std::move(key);
    return true;
}

bool TRegistryDefault::ValueExists(const std::string& name) const {
    if (!key_.valid()) {
        return false;
    }
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    return plat::RegQueryValue(key_, name, type, data) == plat::kRegErrorSuccess;
}

std::int32_t TRegistryDefault::ReadInteger(const std::string& name) const {
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (!Query(key_, name, type, data)) {
        Fail("missing value", name);
    }
    if (type != plat::RegType::Dword || data.size() != 4) {
        Fail(std::string("wrong type (") + TypeName(type) + ") of value", name);
    }
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), 4);
    return static_cast<std::int32_t>(value);
}

std::string TRegistryDefault::ReadString(const std::string& name) const {
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    if (!Query(key_, name, type, data) || data.empty()) {
        return {};
    }
    if (type != plat::RegType::Sz && type != plat::RegType::ExpandSz) {
        Fail(std::string("wrong type (") + TypeName(type) + ") of value", name);
    }
    std::string text(data.begin(), data.end());
    return text.substr(0, text.find('\0'));
}

void TRegistryDefault::WriteString(const std::string& name, const std::string& text) {
    if (!key_.valid()) {
        Fail("no open key to write", name);
    }
    const long error =
        plat::RegSetValue(key_, name, plat::RegType::Sz, text.c_str(), text.size() + 1);
    if (error != plat::kRegErrorSuccess) {
        Fail("cannot write (error " + std::to_string(error) + ")", name);
    }
}

std::int32_t TRegistryDefault::ReadIntegerDefault(const std::string& name,
                                                  std::int32_t defaultValue) const {
    return ValueExists(name) ? ReadInteger(name) : defaultValue;
}
