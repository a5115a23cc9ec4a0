// The registry class: one open key under HKEY_LOCAL_MACHINE.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// An error of the registry layer: a value of the wrong type, or a failed read or write.
class RegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TRegistryDefault {
  public:
    TRegistryDefault() = default;
    // Only HKEY_LOCAL_MACHINE is ever used, so there is nothing to select; the call stays so
    // that every user says which root its paths are taken from.
    void SetRootKeyLocalMachine() {}
    // A path beginning with "\" is taken from the root. With create the key is created when
    // missing; without, opened with full access, falling back to read access.
    bool OpenKey(const std::string& path, bool create);
    bool ValueExists(const std::string& name) const;
    std::int32_t ReadInteger(const std::string& name) const;            // throws RegistryError
    std::string ReadString(const std::string& name) const;              // throws RegistryError
    void WriteString(const std::string& name, const std::string& text); // throws RegistryError
    std::int32_t ReadIntegerDefault(const std::string& name, std::int32_t defaultValue) const;
    [[nodiscard]] bool IsOpen() const { return key_.valid(); }

  private:
    plat::RegKey key_;
};
