// Checks the Win32 side of the platform seam where Wine behaves as Windows does: each check
// prints "ok NAME" or "FAIL NAME: ...", and the exit code is the number of failures.
//
//   platprobe VERSIONED_EXE    a file with a version resource (chronel.exe)
//
// Run it in a scratch directory: it creates files and a directory there.
#include "platform/Platform.h"
#include "platform/win32/Win32Api.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

int Failures = 0;

void Check(const char* name, bool good, const std::string& detail = {}) {
    if (good) {
        std::printf("ok   %s\n", name);
    } else {
        ++Failures;
        std::printf("FAIL %s%s%s\n", name, detail.empty() ? "" : ": ", detail.c_str());
    }
}

void CheckText(const char* name, const std::string& got, const std::string& expected) {
    Check(name, got == expected, "got '" + got + "', expected '" + expected + "'");
}

void CheckNumber(const char* name, long long got, long long expected) {
    Check(name, got == expected,
          "got " + std::to_string(got) + ", expected " + std::to_string(expected));
}

void SetFlag(void* context) {
    plat::SetEvent(*static_cast<plat::OsHandle*>(context));
}

void Numbers() {
    struct Case {
        std::int32_t value;
        const char* text;
    };
    // The prefix runs with an English locale: "," between groups of three.
    const Case cases[] = {
        {0, "0"},          {999, "999"},           {1000, "1,000"},
        {-1234, "-1,234"}, {1234567, "1,234,567"}, {-2147483647 - 1, "-2,147,483,648"}};
    for (const Case& c : cases) {
        CheckText(("grouped " + std::to_string(c.value)).c_str(),
                  plat::FormatGroupedNumber(c.value), c.text);
    }
    // Locales that group otherwise or put the sign elsewhere give only their separator.
    struct LocaleCase {
        const char* name;
        LCID locale;
        const char* text;
    };
    const LocaleCase locales[] = {
        {"English (India) groups 3;2", 0x4009, "-1,234,567"},
        {"Persian puts the sign last", 0x0429, "-1,234,567"},
        {"German separator", 0x0407, "-1.234.567"},
        {"French separator", 0x040c,
         "-1\xa0"
         "234\xa0"
         "567"},
    };
    for (const LocaleCase& c : locales) {
        CheckText(c.name, plat::FormatGroupedNumberInLocale(c.locale, -1234567), c.text);
    }
}

void Messages() {
    std::string text;
    Check("message for error 2", plat::FormatSystemMessage(2, text) && !text.empty(), text);
    Check("message ends as the system writes it (CR LF kept)",
          text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
    std::string none = "unchanged";
    Check("no message for an unknown code", !plat::FormatSystemMessage(0x2FFFFFFFu, none));
}

void Files() {
    std::ofstream("present.txt") << "x";
    std::filesystem::create_directory("setup.exe");
    Check("a file exists", plat::FileExists("present.txt"));
    Check("a directory is not a file", !plat::FileExists("setup.exe"));
    Check("a missing file does not exist", !plat::FileExists("absent.txt"));
}

void Processes() {
    std::uint32_t code = 99;
    Check("child process runs", plat::RunProcess("cmd.exe /c exit 3", code));
    CheckNumber("child exit code", code, 3);
    Check("a missing program does not run", !plat::RunProcess("no-such-program.exe", code));

    char path[512] = {};
    const std::uint32_t length = plat::GetModuleFileName(path, sizeof path);
    const std::string module(path, length);
    Check("module path names this program",
          module.size() > 13 && module.substr(module.size() - 13) == "platprobe.exe", module);

    plat::OsVersionInfo os;
    Check("version query", plat::GetVersionEx(os));
    CheckNumber("platform is NT", os.PlatformId, 2);
}

void Versions(const char* versioned) {
    const std::uint32_t size = plat::GetFileVersionInfoSize(versioned);
    Check("version resource found", size > 0);
    std::vector<std::uint8_t> buffer;
    Check("version resource read", plat::GetFileVersionInfo(versioned, size, buffer));
    plat::FileVersionWords words;
    Check("root block read", plat::VerQueryRootValue(buffer, words));
    CheckNumber("product version high word", words.ProductVersionMS, 0x00010000);
    CheckNumber("product version low word", words.ProductVersionLS, 0x00000001);

    char self[512] = {};
    plat::GetModuleFileName(self, sizeof self);
    CheckNumber("no version resource here", plat::GetFileVersionInfoSize(self), 0);
}

void EventsAndThreads() {
    plat::Event event = plat::CreateEvent(true, false);
    Check("event created", event.valid());
    CheckNumber("unsignalled wait times out", plat::WaitForSingleObject(event.get(), 10),
                plat::kWaitTimeout);
    plat::OsHandle handle = event.get();
    Check("thread started", plat::StartDetachedThread(SetFlag, &handle));
    CheckNumber("thread signalled the event", plat::WaitForSingleObject(event.get(), 5000),
                plat::kWaitObject0);
    CheckNumber("manual reset stays signalled", plat::WaitForSingleObject(event.get(), 0),
                plat::kWaitObject0);

    const plat::OsHandle source = plat::RegisterEventSource("QN_Chronel");
    Check("event source handle counts as valid", plat::HandleValid(source));
    Check("entry reported", plat::ReportEvent(source, 3, 0, 0, "\r\nplatform probe"));
    Check("source deregistered", plat::DeregisterEventSource(source));
    Check("a deregistered source is refused", !plat::ReportEvent(source, 1, 0, 0, "x"));
    Check("a source is deregistered once", !plat::DeregisterEventSource(source));
}

void Registry() {
    const std::string path = "SOFTWARE\\ChronelProbe";
    plat::RegKey key;
    CheckNumber("key created", plat::RegCreateKey(path, key), plat::kRegErrorSuccess);
    const std::uint32_t dword = 0xFFFFFFF9u;
    CheckNumber("dword written", plat::RegSetValue(key, "Number", plat::RegType::Dword, &dword, 4),
                plat::kRegErrorSuccess);
    const char text[] = "hello";
    CheckNumber("string written",
                plat::RegSetValue(key, "Text", plat::RegType::Sz, text, sizeof text),
                plat::kRegErrorSuccess);
    std::string big(5000, 'x');
    CheckNumber("long string written",
                plat::RegSetValue(key, "Long", plat::RegType::Sz, big.c_str(), big.size() + 1),
                plat::kRegErrorSuccess);
    key.reset();

    plat::RegKey reader;
    CheckNumber("key opened (leading backslash)",
                plat::RegOpenKey("\\" + path, plat::kKeyRead, reader), plat::kRegErrorSuccess);
    plat::RegType type = plat::RegType::None;
    std::vector<std::uint8_t> data;
    CheckNumber("dword read", plat::RegQueryValue(reader, "Number", type, data),
                plat::kRegErrorSuccess);
    Check("dword type and bytes",
          type == plat::RegType::Dword && data.size() == 4 && data[0] == 0xF9);
    CheckNumber("string read", plat::RegQueryValue(reader, "Text", type, data),
                plat::kRegErrorSuccess);
    CheckText("string bytes", std::string(data.begin(), data.end()), std::string("hello", 6));
    CheckNumber("long string read", plat::RegQueryValue(reader, "Long", type, data),
                plat::kRegErrorSuccess);
    CheckNumber("long string size", static_cast<long long>(data.size()), 5001);
    CheckNumber("missing value", plat::RegQueryValue(reader, "Nope", type, data),
                plat::kRegErrorFileNotFound);
    plat::RegKey missing;
    CheckNumber("missing key",
                plat::RegOpenKey("SOFTWARE\\ChronelProbe\\Nope", plat::kKeyRead, missing),
                plat::kRegErrorFileNotFound);
    Check("missing key leaves no handle", !missing.valid());
    std::vector<plat::FileAccessEntry> rights;
    Check("key rights read", plat::GetRegistryKeyAccess(path, rights) && !rights.empty());
    Check("a missing key's rights are refused with error 2",
          !plat::GetRegistryKeyAccess(path + "\\Nope", rights) && plat::GetLastError() == 2);
}

void Clock() {
    std::uint32_t adjustment = 0;
    std::uint32_t increment = 0;
    bool disabled = false;
    Check("clock rate read", plat::GetSystemTimeAdjustment(adjustment, increment, disabled));
    Check("clock increment is positive", increment > 0);

    plat::CardClockView card;
    plat::CardClocks(card);
    Check("the card's reference is the PC clock", card.Reference == card.Precise);
    Check("the interrupt clock is not ahead", card.Interrupt <= card.Precise);
    Check("the interrupt clock is within a period",
          card.Precise - card.Interrupt <= 2 * card.InterruptPeriod);
    Check("interrupts have a period and a step",
          card.InterruptPeriod > 0 && card.InterruptStep > 0);

    plat::TimeZoneInfo zone;
    zone.Bias = -90; // ninety minutes east of UTC, no daylight saving
    plat::SystemTime utc;
    utc.Year = 2026;
    utc.Month = 3;
    utc.Day = 1;
    utc.Hour = 23;
    utc.Minute = 45;
    plat::SystemTime local;
    Check("zone conversion", plat::SystemTimeToTzSpecificLocalTime(zone, utc, local));
    CheckText("converted time",
              std::to_string(local.Month) + "/" + std::to_string(local.Day) + " " +
                  std::to_string(local.Hour) + ":" + std::to_string(local.Minute),
              "3/2 1:15");

    plat::Token token;
    Check("process token opened", plat::OpenProcessToken(plat::kTokenAllAccess, token));
    plat::Luid luid;
    Check("time privilege known", plat::LookupPrivilegeValue(plat::kSystemtimePrivilege, luid));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: platprobe VERSIONED_EXE\n");
        return 100;
    }
    Numbers();
    Messages();
    Files();
    Processes();
    Versions(argv[1]);
    EventsAndThreads();
    Registry();
    Clock();
    std::fflush(stdout);
    plat::WriteConsole("console:a\r\nb\n");
    return Failures;
}
