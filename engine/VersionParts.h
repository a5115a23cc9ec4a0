// The pieces of the "MonitorVersion" text ("Firmware: 9.17    Card: PCIe RX    DLL: 2.05
// Service: 1.0.0.1"), for the metrics labels and the operator's tool.
#pragma once

#include <string>

struct VersionParts {
    std::string Firmware;
    std::string Card;
    std::string Library;
    std::string Service;
};

// Each piece runs from its label to the next four blanks; a label that is missing (the text
// "(not available)") leaves its piece empty.
inline VersionParts SplitVersionText(const std::string& text) {
    const auto piece = [&text](const char* label) {
        const std::size_t at = text.find(label);
        if (at == std::string::npos) {
            return std::string();
        }
        const std::size_t from = at + std::string(label).size();
        const std::size_t to = text.find("    ", from);
        return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
    };
    return VersionParts{piece("Firmware: "), piece("Card: "), piece("DLL: "), piece("Service: ")};
}
