// The command line of chronelctl.
#include "ctl/Ctl.h"

#include "ctl/CtlHistory.h"

#include "platform/Platform.h"

#include <cerrno>
#include <cstdlib>

namespace ctl {
namespace {

constexpr const char* kUsage[] = {
    "chronelctl: sees, steers and checks the Chronel service (QN_Chronel)",
    "",
    "  chronelctl status [--json]  service and lock state; exit code 0 OK, 1 WARNING,",
    "                              2 CRITICAL, 3 UNKNOWN (for monitoring systems)",
    "  chronelctl watch [SECONDS]  the status line at each second, until Ctrl+C or SECONDS lines",
    "  chronelctl config           every setting: value, default, range, meaning",
    "  chronelctl set NAME VALUE   writes one setting after checking name, type and range",
    "  chronelctl reset NAME       deletes a setting, so that its default applies",
    "  chronelctl sync             requests one hard set and waits up to 20 s for it; exit",
    "                              code 0 set, 1 not yet, 2 refused by the system",
    "  chronelctl check            checks the installation, each finding with what to do",
    "  chronelctl history [--from T] [--to T] [--csv|--json]",
    "                              the service's minutes, by the hour or as rows (T: a UTC day",
    "                              2026-12-07 or minute 2026-12-07T14:00; the last 24 h at first)",
    "  chronelctl report [DAY|--last 24h]",
    "                              proof of time for a UTC day (today at first) or span: exit code",
    "                              0 within 2 ms throughout, 1 within DifErr, 2 outage or beyond",
    "                              DifErr, 3 no history",
    "  chronelctl plot DAY FILE    a picture (SVG) of a UTC day: difference, state, outages",
    "                              history, report and plot read another folder with --dir DIR",
    "  chronelctl /?, --help       this help",
};

int Usage(const std::string& problem) {
    Err("chronelctl: " + problem);
    Err("chronelctl /? shows the commands.");
    return kUnknown;
}

std::optional<std::uint32_t> ParseSeconds(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > 31536000UL) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// The options of history, report and plot: each "--name VALUE" or "--flag", the rest in order.
struct HistoryArgs {
    std::string Dir;
    std::string From;
    std::string To;
    std::string Last;
    bool Csv = false;
    bool Json = false;
    std::vector<std::string> Plain;
};

bool ParseHistoryArgs(const std::vector<std::string>& args, HistoryArgs& out, std::string& why) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* value = a == "--dir"    ? &out.Dir
                             : a == "--from" ? &out.From
                             : a == "--to"   ? &out.To
                             : a == "--last" ? &out.Last
                                             : nullptr;
        if (value != nullptr) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                why = a + " needs a value";
                return false;
            }
            *value = args[++i];
        } else if (a == "--csv" || a == "--json") {
            (a == "--csv" ? out.Csv : out.Json) = true;
        } else if (a.size() > 1 && a[0] == '-') {
            why = "cannot use \"" + a + "\" with " + args[0];
            return false;
        } else {
            out.Plain.push_back(a);
        }
    }
    return true;
}

int RunHistoryCommand(const std::vector<std::string>& args) {
    HistoryArgs h;
    std::string why;
    if (!ParseHistoryArgs(args, h, why)) {
        return Usage(why);
    }
    const std::string& command = args[0];
    if (command == "history" && h.Plain.empty() && h.Last.empty() && !(h.Csv && h.Json)) {
        return History(h.Dir, h.From, h.To, h.Csv, h.Json);
    }
    const bool noRange = h.From.empty() && h.To.empty() && !h.Csv && !h.Json;
    if (command == "report" && noRange && h.Plain.size() + (h.Last.empty() ? 0 : 1) <= 1) {
        return Report(h.Dir, h.Plain.empty() ? "" : h.Plain[0], h.Last);
    }
    if (command == "plot" && noRange && h.Last.empty() && h.Plain.size() == 2) {
        return Plot(h.Dir, h.Plain[0], h.Plain[1]);
    }
    return Usage("cannot use these arguments with " + command + "; chronelctl /? shows them");
}

} // namespace

void Out(const std::string& line) {
    plat::WriteConsole(line + "\r\n");
}

void Err(const std::string& line) {
    plat::WriteConsoleError(line + "\r\n");
}

int Help() {
    for (const char* line : kUsage) {
        Out(line);
    }
    return kOk;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        return Usage("no command given");
    }
    const std::string& command = args[0];
    const std::size_t extra = args.size() - 1;
    if (command == "/?" || command == "--help" || command == "-h" || command == "help") {
        return Help();
    }
    if (command == "status" && extra == 0) {
        return Status(false);
    }
    if (command == "status" && extra == 1 && args[1] == "--json") {
        return Status(true);
    }
    if (command == "watch" && extra <= 1) {
        std::optional<std::uint32_t> seconds;
        if (extra == 1) {
            seconds = ParseSeconds(args[1]);
            if (!seconds || *seconds == 0) {
                return Usage("watch takes a number of seconds from 1, not \"" + args[1] + "\"");
            }
        }
        return Watch(seconds);
    }
    if (command == "config" && extra == 0) {
        return Config();
    }
    if (command == "set" && extra == 2) {
        return Set(args[1], args[2]);
    }
    if (command == "reset" && extra == 1) {
        return Reset(args[1]);
    }
    if (command == "sync" && extra == 0) {
        return Sync();
    }
    if (command == "check" && extra == 0) {
        return Check();
    }
    if (command == "history" || command == "report" || command == "plot") {
        return RunHistoryCommand(args);
    }
    return Usage("cannot use \"" + command + "\" with " + std::to_string(extra) +
                 (extra == 1 ? " argument" : " arguments"));
}

} // namespace ctl
