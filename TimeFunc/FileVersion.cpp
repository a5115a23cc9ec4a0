#include "TimeFunc/SystemInfo.h"

#include "platform/Platform.h"

#include <cstdio>
#include <vector>

void FileVersionText(const char* path, std::string& text) {
    const std::uint32_t size = plat::GetFileVersionInfoSize(path);
    if (size == 0) {
        text = "(not available)";
        return;
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size) + 1);
    if (!plat::GetFileVersionInfo(path, size, buffer)) {
        text = "ERROR3";
        return;
    }
    plat::FileVersionWords words;
    if (!plat::VerQueryRootValue(buffer, words)) {
        text = "ERROR2";
        return;
    }
    char out[48];
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", (words.ProductVersionMS >> 16) & 32767u,
                  words.ProductVersionMS & 65535u, words.ProductVersionLS >> 16,
                  words.ProductVersionLS & 65535u);
    text = out;
}
