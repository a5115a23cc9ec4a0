// User interface, version resources, process services, console and locale on Win32.
#include "platform/Platform.h"

#include "platform/win32/Win32Api.h"

#include <sddl.h>
#include <shlobj.h>

#include <array>
#include <cstdio>
#include <iterator>

namespace plat {

// ---------------------------------------------------------------------------
// User interface

void MessageBeep(std::uint32_t type) {
    ::MessageBeep(type);
}

std::uint32_t WTSGetActiveConsoleSessionId() {
    return ::WTSGetActiveConsoleSessionId();
}

bool WTSSendMessage(std::uint32_t session, const std::string& title, const std::string& message,
                    std::uint32_t style, bool wait) {
    // The call only reads the strings; its prototype lacks the const.
    std::string titleCopy = title;
    std::string messageCopy = message;
    DWORD response = 0;
    return ::WTSSendMessageA(WTS_CURRENT_SERVER_HANDLE, session, titleCopy.data(),
                             static_cast<DWORD>(titleCopy.size()), messageCopy.data(),
                             static_cast<DWORD>(messageCopy.size()), style, 0, &response,
                             wait ? TRUE : FALSE) != FALSE;
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

std::string SystemDirectoryFor32Bit() {
    char buffer[MAX_PATH + 1] = {};
#ifdef _WIN64
    const UINT length = ::GetSystemWow64DirectoryA(buffer, MAX_PATH);
#else
    // A 32-bit program on 64-bit Windows is shown SysWOW64 under this name.
    const UINT length = ::GetSystemDirectoryA(buffer, MAX_PATH);
#endif
    return length > 0 && length <= MAX_PATH ? std::string(buffer, length) : std::string();
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

std::string ProgramDataFolder() {
    // The shell's answer first: a service's environment is not a user's, and where the two
    // disagree about "ProgramData" the service would keep its files where the tools never look.
    std::array<char, MAX_PATH + 1> path{};
    if (SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                     path.data()))) {
        return {path.data()};
    }
    const DWORD n =
        ::GetEnvironmentVariableA("ProgramData", path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) {
        return {};
    }
    return {path.data(), n};
}

namespace {

// Administrators and SYSTEM full control, users read and list; inherited by what is made
// inside; the parent's rights not inherited (protected).
constexpr const char* kProtectedFolderRights =
    "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";

bool MakeOneFolder(const std::string& path, bool protect) {
    if (!protect) {
        return ::CreateDirectoryA(path.c_str(), nullptr) != FALSE;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kProtectedFolderRights, SDDL_REVISION_1, &descriptor, nullptr) == FALSE) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    const BOOL made = ::CreateDirectoryA(path.c_str(), &attributes);
    const DWORD error = ::GetLastError();
    ::LocalFree(descriptor);
    ::SetLastError(error);
    return made != FALSE;
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

bool CreateFolder(const std::string& path, bool protect) {
    if (IsFolder(path)) {
        return true;
    }
    const std::size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos && slash > 2) {
        const std::string parent = path.substr(0, slash);
        if (!IsFolder(parent) && !CreateFolder(parent, false)) {
            return false;
        }
    }
    if (MakeOneFolder(path, protect)) {
        return true;
    }
    // Another process may have made it meanwhile.
    return ::GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(path);
}

bool AppendToFile(const std::string& path, const std::string& data) {
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    ok = ok && ::FlushFileBuffers(file) != FALSE;
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (!ok) {
        ::SetLastError(error);
    }
    return ok;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    data.clear();
    std::array<char, 65536> buffer{};
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        ok = ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) !=
             FALSE;
        if (!ok || got == 0) {
            break;
        }
        data.append(buffer.data(), got);
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (!ok) {
        ::SetLastError(error);
    }
    return ok;
}

bool ListFiles(const std::string& folder, const std::string& pattern,
               std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return true; // the folder is there, nothing matches
        }
        ::SetLastError(error);
        return false;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            names.emplace_back(found.cFileName);
        }
    } while (::FindNextFileA(search, &found) != FALSE);
    ::FindClose(search);
    return true;
}

std::uint32_t GetFileAttributes(const std::string& path) {
    return ::GetFileAttributesA(path.c_str());
}

bool IsLocalFixedDrive(char letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    return ::GetDriveTypeA(root) == DRIVE_FIXED;
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

void WriteConsole(const std::string& text) {
    // Straight to the handle: the C runtime's text mode would turn each "\n" of a "\r\n"
    // into another "\r\n".
    std::fflush(stdout);
    WriteHandle(STD_OUTPUT_HANDLE, text);
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        ::FlushFileBuffers(out);
    }
}

void WriteConsoleError(const std::string& text) {
    std::fflush(stderr);
    WriteHandle(STD_ERROR_HANDLE, text);
}

bool StdoutIsConsole() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

std::string FormatGroupedNumberInLocale(LCID locale, std::int32_t value) {
    // Only the separator is the locale's: the text is groups of three with a leading "-",
    // whatever grouping ("12,34,567") or negative style ("(1,234)", "1,234-") the locale
    // prefers for its own numbers.
    std::string separator = ",";
    wchar_t wide[8] = {};
    if (::GetLocaleInfoW(locale, LOCALE_STHOUSAND, wide, static_cast<int>(std::size(wide))) != 0) {
        // Into the code page by which the ANSI registry and console texts are read.
        char bytes[16] = {};
        BOOL usedDefault = FALSE;
        const int length = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, bytes,
                                                 sizeof bytes, nullptr, &usedDefault);
        separator = AnsiGroupSeparator(length > 0 ? std::string(bytes) : std::string(),
                                       length == 0 || usedDefault != FALSE);
    }
    char decimal[] = "."; // no decimals are shown, but the format must name a separator
    NUMBERFMTA format{};
    format.NumDigits = 0;
    format.LeadingZero = 1; // else 0 comes out empty
    format.Grouping = 3;
    format.lpDecimalSep = decimal;
    format.lpThousandSep = separator.data();
    format.NegativeOrder = 1; // "-1"
    const std::string digits = std::to_string(value);
    char buffer[64] = {};
    if (::GetNumberFormatA(locale, 0, digits.c_str(), &format, buffer, sizeof buffer) == 0) {
        return digits;
    }
    return buffer;
}

std::string FormatGroupedNumber(std::int32_t value) {
    return FormatGroupedNumberInLocale(LOCALE_USER_DEFAULT, value);
}

void ExitProcess(std::uint32_t exitCode) {
    ::ExitProcess(exitCode);
}

} // namespace plat
