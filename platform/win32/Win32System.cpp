// User interface, version resources, process services, console and locale on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

#include <cstdio>

namespace plat {

// ---------------------------------------------------------------------------
// User interface

void MessageBeep(std::uint32_t type) {
    ::MessageBeep(type);
}

int MessageBox(const char* text, const char* caption, std::uint32_t flags) {
    return ::MessageBoxA(nullptr, text, caption, flags);
}

// ---------------------------------------------------------------------------
// Version resources

std::uint32_t GetFileVersionInfoSize(const char* path) {
    DWORD ignored = 0;
    return ::GetFileVersionInfoSizeA(path, &ignored);
}

bool GetFileVersionInfo(const char* path, std::uint32_t size, std::vector<std::uint8_t>& buffer) {
    if (buffer.size() < size) {
        buffer.resize(size);
    }
    return ::GetFileVersionInfoA(path, 0, size, buffer.data()) != FALSE;
}

bool VerQueryRootValue(const std::vector<std::uint8_t>& buffer, FileVersionWords& words) {
    if (buffer.empty()) {
        return false;
    }
    void* info = nullptr;
    UINT length = 0;
    char root[] = "\\";
    if (::VerQueryValueA(buffer.data(), root, &info, &length) == FALSE || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(info);
    words.ProductVersionMS = fixed->dwProductVersionMS;
    words.ProductVersionLS = fixed->dwProductVersionLS;
    return true;
}

bool VerQueryStringValue(const std::vector<std::uint8_t>& buffer, const char* subBlock,
                         std::string& text) {
    if (buffer.empty() || subBlock == nullptr) {
        return false;
    }
    void* info = nullptr;
    UINT length = 0;
    if (::VerQueryValueA(buffer.data(), subBlock, &info, &length) == FALSE || info == nullptr) {
        return false;
    }
    const char* chars = static_cast<const char*>(info);
    std::size_t size = 0;
    while (size < length && chars[size] != '\0') {
        ++size;
    }
    text.assign(chars, size);
    return true;
}

// ---------------------------------------------------------------------------
// Module and process services

std::uint32_t GetModuleFileName(char* buffer, std::uint32_t bufferSize) {
    return ::GetModuleFileNameA(nullptr, buffer, bufferSize);
}

bool GetVersionEx(OsVersionInfo& info) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (::GetVersionExA(&v) == FALSE) {
        return false;
    }
    info.MajorVersion = v.dwMajorVersion;
    info.MinorVersion = v.dwMinorVersion;
    info.BuildNumber = v.dwBuildNumber;
    info.PlatformId = v.dwPlatformId;
    return true;
}

bool FormatSystemMessage(std::uint32_t code, std::string& text) {
    // No inserts are supplied, so the system must leave any "%1" in its text as it is rather
    // than read arguments that do not exist.
    char buffer[512];
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, buffer, sizeof buffer, nullptr);
    if (length == 0) {
        return false;
    }
    text.assign(buffer, length);
    return true;
}

bool FileExists(const char* name) {
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::FindClose(search);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const char* p = data.data();
    std::size_t left = data.size();
    bool ok = true;
    while (ok && left > 0) {
        DWORD written = 0;
        ok = ::WriteFile(file, p, static_cast<DWORD>(left), &written, nullptr) != FALSE &&
             written > 0;
        p += written;
        left -= written;
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (!ok) {
        ::SetLastError(error);
    }
    return ok;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool DeleteFile(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != FALSE;
}

bool RunProcess(const std::string& commandLine, std::uint32_t& exitCode) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                         CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                         &process) == FALSE) {
        return false;
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    const BOOL gotCode = ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (gotCode == FALSE) {
        return false;
    }
    exitCode = code;
    return true;
}

void WriteConsole(const std::string& text) {
    // Straight to the handle: the C runtime's text mode would turn each "\n" of a "\r\n"
    // into another "\r\n".
    std::fflush(stdout);
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        if (::WriteFile(out, p, static_cast<DWORD>(left), &written, nullptr) == FALSE ||
            written == 0) {
            return;
        }
        p += written;
        left -= written;
    }
    ::FlushFileBuffers(out);
}

namespace {

void WriteHandle(DWORD which, const std::string& text) {
    HANDLE out = ::GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        if (::WriteFile(out, p, static_cast<DWORD>(left), &written, nullptr) == FALSE ||
            written == 0) {
            return;
        }
        p += written;
        left -= written;
    }
}

} // namespace

void WriteConsoleError(const std::string& text) {
    std::fflush(stderr);
    WriteHandle(STD_ERROR_HANDLE, text);
}

bool StdoutIsConsole() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

namespace {

std::string LocaleText(LCTYPE item) {
    char buffer[16] = {};
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, item, buffer, sizeof buffer) == 0) {
        return {};
    }
    return buffer;
}

// LOCALE_SGROUPING ("3;0", "3;2;0", "3") as the number that NUMBERFMT wants (3, 32, 30):
// a trailing ";0" repeats the last group, and without it the last group is not repeated.
UINT GroupingNumber(const std::string& grouping) {
    std::string digits;
    for (char c : grouping) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    if (digits.empty()) {
        return 0;
    }
    if (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    } else {
        digits.push_back('0');
    }
    UINT value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<UINT>(c - '0');
    }
    return value;
}

UINT LocaleNumber(LCTYPE item, UINT fallback) {
    const std::string text = LocaleText(item);
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return fallback;
    }
    return static_cast<UINT>(text[0] - '0');
}

} // namespace

std::string FormatGroupedNumber(std::int32_t value) {
    const std::string digits = std::to_string(value);
    // No decimals are shown, but the format must still name a separator.
    std::string decimal = LocaleText(LOCALE_SDECIMAL);
    std::string thousand = LocaleText(LOCALE_STHOUSAND);
    if (decimal.empty()) {
        decimal.push_back('.');
    }
    NUMBERFMTA format{};
    format.NumDigits = 0;
    format.LeadingZero = LocaleNumber(LOCALE_ILZERO, 1);
    format.Grouping = GroupingNumber(LocaleText(LOCALE_SGROUPING));
    format.lpDecimalSep = decimal.data();
    format.lpThousandSep = thousand.data();
    format.NegativeOrder = LocaleNumber(LOCALE_INEGNUMBER, 1);
    char buffer[64] = {};
    if (::GetNumberFormatA(LOCALE_USER_DEFAULT, 0, digits.c_str(), &format, buffer,
                           sizeof buffer) == 0) {
        return digits;
    }
    return buffer;
}

void ExitProcess(std::uint32_t exitCode) {
    ::ExitProcess(exitCode);
}

} // namespace plat
