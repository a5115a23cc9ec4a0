// chronel-sim: the service's own code locking an emulated PC clock to simulated timecode.
#include "ctl/Ctl.h"
#include "engine/EventLog.h"
#include "history/HistoryReader.h"
#include "platform/emu/World.h"
#include "sim/ClosedLoop.h"
#include "sim/SvgPlot.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Options {
    sim::Scenario Scenario;
    std::string CsvPath;
    std::string SvgPath;
    double StatusEveryS = 0;     // MonitorSystem and MonitorLtc at most this often
    bool StatusThinning = false; // and at most every quarter of the time run so far
    bool Quiet = false;
    std::string MetricsPath; // where the service's last metrics are copied to
    std::string HistoryDir;  // where the service's history files are copied to
    bool CtlStatus = false;
    std::string ReportDay;   // 'chronelctl report DAY' over the run's history, after the stop
    std::string DayPlotPath; // ... and 'chronelctl plot DAY', the picture copied out to here
    double SteadyFromS = -1; // -1: the second half of the run
    // A second run of the same scenario with these settings added, plotted beside the first.
    std::vector<std::pair<std::string, std::string>> Compare;
    // The simulated card's values: those of the --world first, then those of other flags.
    std::map<std::string, std::uint32_t> World;
    std::map<std::string, std::uint32_t> Card;
    std::string WorldName = "ideal";
    // The clock interrupt of the --world, then the parts the interrupt's flags name.
    emu::InterruptModel WorldInterrupt{};
    std::optional<std::int64_t> PeriodUnits;
    std::optional<std::int64_t> JitterUnits;
    std::optional<std::pair<double, std::int64_t>> Late;
};

// Where the service writes its metrics in the emulated PC; the folder exists there.
constexpr const char* kEmulatedMetricsPath = "C:\\chronel.prom";

void Usage(std::ostream& out) {
    out << "usage: chronel-sim [options]\n"
           "  --offset-ms N      initial error of the system clock in ms, positive = ahead "
           "(250)\n"
           "  --drift-ppm X      oscillator error in ppm, positive = fast (40)\n"
           "  --duration S       simulated seconds (600)\n"
           "  --set NAME=VALUE   a setting of the service in \\SOFTWARE\\Tecora (repeatable)\n"
           "  --outage START:S   every read of the card fails for S seconds from START "
           "(repeatable)\n"
           "  --restart T        the service is stopped and started again at T seconds, as "
           "a new\n"
           "                     process keeping the registry (repeatable)\n"
           "  --wander X         random walk of the drift, X ppm spread after an hour (0)\n"
           "  --wander-step S    ... one step every S seconds (10)\n"
           "  --wander-limit X   ... reflected at +-X ppm (0: no limit)\n"
           "  --seed N           seed of the random walk and of the card (1)\n"
           "  --sample-ms MS     the clock error is sampled every MS ms (10)\n"
           "  --no-precise-time  the system has no interpolated clock (Windows 7)\n"
           "  --start-phase-ms MS  true time passed before the start (under 1000): moves the\n"
           "                     clock's interrupts against the card's frames (0)\n"
           "  --steady-from S    steady figures from S seconds on (half the duration)\n"
           "  --compare N=V      also run with this setting added; plotted beside "
           "(repeatable)\n"
           "  --csv FILE         time, true error, measured difference and correction per "
           "sample\n"
           "  --svg FILE         a plot of the error over time\n"
           "  --status-every S   show the monitor texts at most every S seconds (0: each "
           "change)\n"
           "  --status-thin      ... and at most every quarter of the time run so far\n"
           "  --metrics FILE     the service writes its metrics; the last ones go to FILE\n"
           "  --history DIR      the service's history files (one a UTC day) are copied to DIR\n"
           "  --ctl-status       print 'chronelctl status' at the end, before the stop\n"
           "  --ctl-report DAY   print 'chronelctl report DAY' (a UTC day) after the stop\n"
           "  --ctl-plot FILE    ... and write the picture of 'chronelctl plot DAY' to FILE\n"
           "  --ideal-waits      waits end exactly on time (default: at the clock's next\n"
           "                     interrupt, as on Windows)\n"
           "  --timer MS         the clock interrupt's period: 15.625, or 1 or 0.5 as when a\n"
           "                     program raised the timer resolution (15.625)\n"
           "  --timer-jitter US  each interrupt comes up to US microseconds late (0; 50 in\n"
           "                     the worlds other than ideal)\n"
           "  --late-ticks S:MS  a share S of the interrupts comes up to MS ms later still\n"
           "                     (0:0; 0.001:2 in the worlds other than ideal)\n"
           "the simulated card (default: the ideal card):\n"
           "  --world W          ideal | windows (typical stamp latency, stamps of the precise\n"
           "                     clock rounded to whole ms, 25 fps) | loaded (a loaded PC's\n"
           "                     latency) | coarse (stamps of the interrupt clock) | timer1ms\n"
           "                     (windows with a 1 ms interrupt); the flags\n"
           "                     below change one part of it\n"
           "  --fps F            24 | 25 | 29.97 (drop-frame) | 30 (25)\n"
           "  --frame-ms M       a label's ms from its frame number: round | trunc (round)\n"
           "  --stamp-latency L  delay before the PC time is taken: none | typical | loaded\n"
           "  --stamp-clock C    the PC clock stamped: precise | interrupt | 1ms (precise)\n"
           "  --stamp-ms M       the stamp to whole ms: round | trunc (round)\n"
           "  --faults LIST      rates of faulty frames, e.g. late=0.01,garbled=0.002; kinds:\n"
           "                     repeat, skip, late, early (one frame), garbled (seconds off)\n"
           "  --unplugged A:B    the timecode input is unplugged from A to B seconds; the card\n"
           "                     answers 'no new data' (repeatable)\n"
           "  --quiet            only the final line\n";
}

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(value);
}

// "A:B" as two numbers; false when it is not that.
bool NumberPair(const std::string& text, double& a, double& b) {
    const std::size_t colon = text.find(':');
    return colon != std::string::npos && ParseNumber(text.substr(0, colon).c_str(), a) &&
           ParseNumber(text.substr(colon + 1).c_str(), b);
}

// One of the words, by its place; false when it is none of them.
template <std::size_t N>
bool Choice(const std::string& text, const std::array<const char*, N>& words, std::uint32_t& at) {
    for (std::size_t i = 0; i < N; ++i) {
        if (text == words[i]) {
            at = static_cast<std::uint32_t>(i);
            return true;
        }
    }
    return false;
}

// The card's values of a world; false for a world not known.
bool WorldValues(const std::string& name, std::map<std::string, std::uint32_t>& values) {
    values.clear();
    if (name == "ideal") {
        return true;
    }
    if (name == "windows" || name == "coarse" || name == "timer1ms") {
        values["StampLatency"] = 1;
        if (name == "coarse") {
            values["StampClock"] = 1;
        }
        return true;
    }
    if (name == "loaded") {
        values["StampLatency"] = 2;
        return true;
    }
    return false;
}

// A real PC's interrupt is a little late now and then, and once in a while a few ms.
emu::InterruptModel WorldInterrupt(const std::string& name) {
    emu::InterruptModel m;
    if (name == "ideal") {
        return m;
    }
    m.Jitter100ns = 500;
    m.LateShare = 0.001;
    m.Late100ns = 20000;
    if (name == "timer1ms") {
        m.Period100ns = 10000;
    }
    return m;
}

// "kind=rate,..." into the card's per-million values; false when not usable.
bool ParseFaults(const std::string& text, std::map<std::string, std::uint32_t>& card) {
    const std::map<std::string, std::string> knobs = {{"repeat", "RepeatPpm"},
                                                      {"skip", "SkipPpm"},
                                                      {"late", "LatePpm"},
                                                      {"early", "EarlyPpm"},
                                                      {"garbled", "GarbledPpm"}};
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const std::size_t eq = item.find('=');
        double rate = 0;
        if (eq == std::string::npos || knobs.count(item.substr(0, eq)) == 0 ||
            !ParseNumber(item.substr(eq + 1).c_str(), rate) || rate < 0 || rate > 1) {
            return false;
        }
        card[knobs.at(item.substr(0, eq))] = static_cast<std::uint32_t>(std::llround(rate * 1e6));
        at = comma + 1;
    }
    return true;
}

// The card's value for a word flag, or false when the word is not one of its choices.
bool CardChoice(const std::string& arg, const std::string& value,
                std::map<std::string, std::uint32_t>& card) {
    std::uint32_t at = 0;
    if (arg == "--fps") {
        constexpr std::array<const char*, 4> kWords = {"24", "25", "29.97", "30"};
        constexpr std::array<std::uint32_t, 4> kRates = {24, 25, 2997, 30};
        if (!Choice(value, kWords, at)) {
            return false;
        }
        card["FrameRate"] = kRates[at];
        return true;
    }
    const std::array<const char*, 2> rounding = {"round", "trunc"};
    if (arg == "--frame-ms" || arg == "--stamp-ms") {
        if (!Choice(value, rounding, at)) {
            return false;
        }
        card[arg == "--frame-ms" ? "FrameMs" : "StampMs"] = at;
        return true;
    }
    if (arg == "--stamp-latency") {
        constexpr std::array<const char*, 3> kWords = {"none", "typical", "loaded"};
        if (!Choice(value, kWords, at)) {
            return false;
        }
        card["StampLatency"] = at;
        return true;
    }
    constexpr std::array<const char*, 3> kClocks = {"precise", "interrupt", "1ms"};
    if (arg == "--stamp-clock" && Choice(value, kClocks, at)) {
        card["StampClock"] = at;
        return true;
    }
    return false;
}

// false when the command line is not usable; the reason is printed.
bool Parse(int argc, char** argv, Options& o, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        }
        if (arg == "--quiet") {
            o.Quiet = true;
            continue;
        }
        if (arg == "--status-thin") {
            o.StatusThinning = true;
            continue;
        }
        if (arg == "--no-precise-time") {
            o.Scenario.PreciseTime = false;
            continue;
        }
        if (arg == "--ideal-waits") {
            o.Scenario.WaitsEndAtInterrupt = false;
            continue;
        }
        if (arg == "--ctl-status") {
            o.CtlStatus = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "chronel-sim: " << arg << " needs a value\n";
            return false;
        }
        const char* value = argv[++i];
        double number = 0;
        const bool numeric = ParseNumber(value, number);
        if (arg == "--offset-ms" && numeric) {
            o.Scenario.OffsetMs = number;
        } else if (arg == "--drift-ppm" && numeric && std::fabs(number) <= 100000) {
            o.Scenario.DriftPpm = number;
        } else if (arg == "--duration" && numeric && number > 0 && number <= 7 * 86400.0) {
            o.Scenario.DurationS = number;
        } else if (arg == "--status-every" && numeric && number >= 0) {
            o.StatusEveryS = number;
        } else if (arg == "--restart" && numeric && number > 0) {
            o.Scenario.RestartsS.push_back(number);
        } else if (arg == "--wander" && numeric && number >= 0 && number <= 100000) {
            o.Scenario.WanderPpmPerHour = number;
        } else if (arg == "--wander-step" && numeric && number > 0) {
            o.Scenario.WanderStepS = number;
        } else if (arg == "--wander-limit" && numeric && number >= 0 && number <= 100000) {
            o.Scenario.WanderLimitPpm = number;
        } else if (arg == "--seed" && numeric && number >= 0 && number == std::floor(number)) {
            o.Scenario.Seed = static_cast<std::uint64_t>(number);
        } else if (arg == "--start-phase-ms" && numeric && number >= 0 && number < 1000) {
            o.Scenario.StartPhaseMs = number;
        } else if (arg == "--sample-ms" && numeric && number >= 1 && number <= 60000) {
            o.Scenario.SampleEveryMs = number;
        } else if (arg == "--steady-from" && numeric && number >= 0) {
            o.SteadyFromS = number;
        } else if (arg == "--outage") {
            const std::string text = value;
            double from = 0;
            double length = 0;
            if (!NumberPair(text, from, length) || from < 0 || length <= 0) {
                std::cerr << "chronel-sim: --outage wants START:SECONDS, not \"" << text << "\"\n";
                return false;
            }
            o.Scenario.Outages.emplace_back(from, length);
        } else if (arg == "--unplugged") {
            const std::string text = value;
            double from = 0;
            double to = 0;
            if (!NumberPair(text, from, to) || from < 0 || to <= from) {
                std::cerr << "chronel-sim: --unplugged wants START:END, not \"" << text << "\"\n";
                return false;
            }
            o.Scenario.Unplugged.emplace_back(from, to);
        } else if (arg == "--world") {
            if (!WorldValues(value, o.World)) {
                std::cerr << "chronel-sim: no world \"" << value << "\"\n";
                return false;
            }
            o.WorldName = value;
            o.WorldInterrupt = WorldInterrupt(o.WorldName);
        } else if (arg == "--timer" && numeric && number >= 0.1 && number <= 15.625) {
            o.PeriodUnits = std::llround(number * 10000);
        } else if (arg == "--timer-jitter" && numeric && number >= 0 && number <= 100000) {
            o.JitterUnits = std::llround(number * 10);
        } else if (arg == "--late-ticks") {
            const std::string text = value;
            double share = 0;
            double ms = 0;
            if (!NumberPair(text, share, ms) || share < 0 || share > 1 || ms < 0 || ms > 1000) {
                std::cerr << "chronel-sim: --late-ticks wants SHARE:MS, not \"" << text << "\"\n";
                return false;
            }
            o.Late = std::make_pair(share, std::llround(ms * 10000));
        } else if (arg == "--faults") {
            if (!ParseFaults(value, o.Card)) {
                std::cerr << "chronel-sim: --faults wants KIND=RATE,... with rates from 0 to 1, "
                             "not \""
                          << value << "\"\n";
                return false;
            }
        } else if (arg == "--fps" || arg == "--frame-ms" || arg == "--stamp-latency" ||
                   arg == "--stamp-clock" || arg == "--stamp-ms") {
            if (!CardChoice(arg, value, o.Card)) {
                std::cerr << "chronel-sim: cannot use " << arg << " " << value << "\n";
                return false;
            }
        } else if (arg == "--set" || arg == "--compare") {
            const std::string setting = value;
            const std::size_t eq = setting.find('=');
            if (eq == 0 || eq == std::string::npos) {
                std::cerr << "chronel-sim: " << arg << " wants NAME=VALUE, not \"" << setting
                          << "\"\n";
                return false;
            }
            (arg == "--set" ? o.Scenario.Settings : o.Compare)
                .emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
        } else if (arg == "--ctl-report") {
            o.ReportDay = value;
        } else if (arg == "--ctl-plot") {
            o.DayPlotPath = value;
        } else if (arg == "--history") {
            o.HistoryDir = value;
        } else if (arg == "--metrics") {
            o.MetricsPath = value;
            o.Scenario.Settings.emplace_back("MetricsFile", kEmulatedMetricsPath);
        } else if (arg == "--csv") {
            o.CsvPath = value;
        } else if (arg == "--svg") {
            o.SvgPath = value;
        } else {
            std::cerr << "chronel-sim: cannot use " << arg << " " << value << "\n";
            return false;
        }
    }
    std::map<std::string, std::uint32_t> card = o.World;
    for (const auto& [name, value] : o.Card) {
        card[name] = value;
    }
    o.Scenario.Card.assign(card.begin(), card.end());
    emu::InterruptModel& interrupt = o.Scenario.Interrupt;
    interrupt = o.WorldInterrupt;
    interrupt.Period100ns = o.PeriodUnits.value_or(interrupt.Period100ns);
    interrupt.Jitter100ns = o.JitterUnits.value_or(interrupt.Jitter100ns);
    if (o.Late) {
        interrupt.LateShare = o.Late->first;
        interrupt.Late100ns = o.Late->second;
    }
    interrupt.Seed = o.Scenario.Seed + 1;
    return true;
}

std::string Stamp(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "[%9.3f s]", seconds);
    return buffer;
}

class Printer : public sim::Observer {
  public:
    Printer(double statusEvery, bool thinning) : statusEvery_(statusEvery), thinning_(thinning) {}

    void EventLogged(double timeS, std::uint16_t type, const std::string& text) override {
        std::cout << Stamp(timeS) << " event-log (type " << type << ") " << OneLine(text) << "\n";
    }

    void StatusChanged(double timeS, const std::string& name, const std::string& text,
                       double errorMs) override {
        if (name == "MonitorSystem" || name == "MonitorLtc") {
            double& last = name == "MonitorSystem" ? lastSystem_ : lastLtc_;
            const double every = thinning_ ? std::max(statusEvery_, timeS / 4) : statusEvery_;
            if (last >= 0 && timeS - last < every) {
                return;
            }
            last = timeS;
        }
        char error[48];
        std::snprintf(error, sizeof error, "   (true error %+.3f ms)", errorMs);
        std::cout << Stamp(timeS) << " " << name << " = \"" << OneLine(text) << "\""
                  << (name == "MonitorSystem" ? error : "") << "\n";
    }

  private:
    static std::string OneLine(std::string text) {
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n")) {
            text.replace(at, 2, " | ");
        }
        return text;
    }

    double statusEvery_;
    bool thinning_;
    double lastSystem_ = -1;
    double lastLtc_ = -1;
};

bool WriteCsv(const std::string& path, const std::vector<sim::Sample>& samples) {
    std::ofstream out(path);
    out << "time_s,error_ms,measured_ms,correction_100ns_per_tick\n";
    char line[96];
    for (const sim::Sample& s : samples) {
        std::snprintf(line, sizeof line, "%.3f,%.3f,%d,%d\n", s.TimeS, s.ErrorMs, s.MeasuredMs,
                      s.Correction);
        out << line;
    }
    return static_cast<bool>(out);
}

std::string Describe(const sim::Scenario& s) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer,
                  "Start %+g ms, oscillator %+g ppm, %g s simulated; the service's own loop, "
                  "default gains",
                  s.OffsetMs, s.DriftPpm, s.DurationS);
    std::string text = buffer;
    for (const auto& [name, value] : s.Settings) {
        text.append(", ").append(name).append("=").append(value);
    }
    for (const auto& [name, value] : s.Card) {
        text.append(", card ").append(name).append("=").append(std::to_string(value));
    }
    return text;
}

// A figure with three decimals, or -1 when the run never locked.
std::string Figure(double convergedS, double value) {
    if (convergedS < 0) {
        return "-1";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

// The figures of a run, as NAME=VALUE fields.
std::string LockLine(const sim::RunResult& run, double steadyFrom) {
    const sim::LockFigures& f = run.Figures;
    const sim::Steady steady = sim::SteadyFigures(run.Samples, steadyFrom);
    char line[300];
    std::snprintf(line, sizeof line,
                  "converged_s=%s max_abs_ms=%s rms_ms=%s rate_changes=%llu hard_sets=%llu "
                  "steady_max_ms=%.3f steady_rms_ms=%.3f",
                  Figure(f.ConvergedS, f.ConvergedS).c_str(),
                  Figure(f.ConvergedS, f.MaxAbsMs).c_str(), Figure(f.ConvergedS, f.RmsMs).c_str(),
                  static_cast<unsigned long long>(f.RateChanges),
                  static_cast<unsigned long long>(f.HardSets), steady.MaxAbsMs, steady.RmsMs);
    std::string text = line;
    // The clock's error just after each hard set, in order.
    if (!f.LandingMs.empty()) {
        text += " landing_ms=";
        for (std::size_t i = 0; i < f.LandingMs.size(); ++i) {
            char one[32];
            std::snprintf(one, sizeof one, "%s%.3f", i == 0 ? "" : ",", f.LandingMs[i]);
            text += one;
        }
    }
    return text;
}

// How far the clock ran off while the timecode was gone, and the error when it came back.
std::string OutageLine(const sim::RunResult& run, double from, double length) {
    double worst = 0;
    double atEnd = 0;
    for (const sim::Sample& s : run.Samples) {
        if (s.TimeS >= from && s.TimeS <= from + length) {
            worst = std::max(worst, std::fabs(s.ErrorMs));
            atEnd = s.ErrorMs;
        }
    }
    char line[200];
    std::snprintf(line, sizeof line, "start_s=%g seconds=%g max_abs_ms=%.3f end_error_ms=%.3f",
                  from, length, worst, atEnd);
    return line;
}

} // namespace

// chronelctl report and plot as an operator runs them on the emulated PC after the run: the
// service's history is where the service wrote it, and the picture is copied out.
bool CtlOnHistory(const Options& o) {
    const std::size_t before = emu::ConsoleOutput().size();
    const int code = ctl::Run({"report", o.ReportDay});
    std::string screen = emu::ConsoleOutput().substr(before);
    screen.erase(std::remove(screen.begin(), screen.end(), '\r'), screen.end());
    std::cout << "chronelctl report " << o.ReportDay << " (exit code " << code << "):\n" << screen;
    if (o.DayPlotPath.empty()) {
        return true;
    }
    const std::string emulated = std::string(emu::kProgramData) + "\\chronel-day.svg";
    const int plotted = ctl::Run({"plot", o.ReportDay, emulated});
    const std::optional<std::string> svg = emu::FileContent(emulated);
    std::ofstream out(o.DayPlotPath, std::ios::binary);
    out << svg.value_or("");
    if (plotted != 0 || !svg || !out) {
        std::cerr << "chronel-sim: no picture of " << o.ReportDay << " written to " << o.DayPlotPath
                  << "\n";
        return false;
    }
    return true;
}

int main(int argc, char** argv) {
    Options o;
    bool help = false;
    if (!Parse(argc, argv, o, help)) {
        Usage(std::cerr);
        return 2;
    }
    if (help) {
        Usage(std::cout);
        return 0;
    }

    if (o.CtlStatus) {
        o.Scenario.BeforeStop = [] {
            // The service runs here straight under its dispatcher; the controller shows it
            // as it would show an installed service.
            plat::ServiceConfig config;
            config.Name = kServiceName;
            config.ServiceType = plat::kServiceWin32OwnProcess;
            config.BinaryPath = emu::kDefaultModulePath;
            emu::AddService(config, plat::kServiceRunning);
            (void)ctl::Status(false);
        };
    }
    if (!o.Quiet) {
        std::cout << "world: " << o.WorldName;
        for (const auto& [name, value] : o.Scenario.Card) {
            std::cout << (name == o.Scenario.Card.front().first ? ", card " : " ") << name << "="
                      << value;
        }
        std::cout << "\n";
    }
    Printer printer(o.StatusEveryS, o.StatusThinning);
    const sim::RunResult run = sim::RunClosedLoop(o.Scenario, o.Quiet ? nullptr : &printer);
    const double steadyFrom = o.SteadyFromS >= 0 ? o.SteadyFromS : o.Scenario.DurationS / 2;

    if (!o.MetricsPath.empty()) {
        const std::optional<std::string> metrics = emu::FileContent(kEmulatedMetricsPath);
        std::ofstream out(o.MetricsPath, std::ios::binary);
        out << metrics.value_or("");
        if (!metrics || !out) {
            std::cerr << "chronel-sim: no metrics written to " << o.MetricsPath << "\n";
            return 1;
        }
    }
    if (!o.HistoryDir.empty()) {
        const std::string folder = history::HistoryFolder() + "\\";
        int copied = 0;
        for (const std::string& path : emu::FileNames()) {
            if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) {
                continue;
            }
            std::ofstream out(o.HistoryDir + "/" + path.substr(folder.size()), std::ios::binary);
            out << emu::FileContent(path).value_or("");
            copied += out ? 1 : 0;
        }
        if (copied == 0) {
            std::cerr << "chronel-sim: no history written to " << o.HistoryDir << "\n";
            return 1;
        }
    }
    if (o.CtlStatus) {
        std::string screen = emu::ConsoleOutput();
        screen.erase(std::remove(screen.begin(), screen.end(), '\r'), screen.end());
        std::cout << "chronelctl status (at the end of the run, before the stop):\n" << screen;
    }
    if (!o.ReportDay.empty() && !CtlOnHistory(o)) {
        return 1;
    }
    // The world is reset for the second run: what the first left there is taken above.
    sim::RunResult compared;
    sim::Scenario comparedScenario = o.Scenario;
    comparedScenario.BeforeStop = {};
    std::string comparedName;
    for (const auto& [name, value] : o.Compare) {
        comparedScenario.Settings.emplace_back(name, value);
        comparedName.append(comparedName.empty() ? "" : ", ")
            .append(name)
            .append("=")
            .append(value);
    }
    if (!o.Compare.empty()) {
        compared = sim::RunClosedLoop(comparedScenario, nullptr);
    }
    if (!o.CsvPath.empty() && !WriteCsv(o.CsvPath, run.Samples)) {
        std::cerr << "chronel-sim: cannot write " << o.CsvPath << "\n";
        return 1;
    }
    if (!o.SvgPath.empty()) {
        const sim::PlotText text{"Clock error while the service locks the PC clock to timecode",
                                 Describe(o.Scenario)};
        std::string label;
        for (const auto& [name, value] : o.Scenario.Settings) {
            label.append(label.empty() ? "" : ", ").append(name).append("=").append(value);
        }
        std::vector<sim::PlotTrace> traces{
            {&run.Samples, run.Figures, label.empty() ? "defaults" : label}};
        if (!o.Compare.empty()) {
            traces.push_back({&compared.Samples, compared.Figures, comparedName});
        }
        std::ofstream out(o.SvgPath);
        out << sim::RenderErrorPlot(traces, o.Scenario.DurationS, text);
        if (!out) {
            std::cerr << "chronel-sim: cannot write " << o.SvgPath << "\n";
            return 1;
        }
    }
    if (!o.Quiet) {
        std::cout << "cycles=" << run.Cycles << " samples=" << run.Samples.size() << "\n";
    }
    char line[200];
    if (!o.Quiet) {
        // Convergence is measured from the moment the error enters the band for good, so its
        // figures include the approach; the second half of the run shows the lock itself.
        const sim::LockFigures steady = sim::ComputeLock(
            std::vector<sim::Sample>(run.Samples.begin() +
                                         static_cast<std::ptrdiff_t>(run.Samples.size() / 2),
                                     run.Samples.end()),
            sim::kLockBandMs);
        std::snprintf(line, sizeof line, "steady (second half of the run): max_abs_ms=%s rms_ms=%s",
                      Figure(steady.ConvergedS, steady.MaxAbsMs).c_str(),
                      Figure(steady.ConvergedS, steady.RmsMs).c_str());
        std::cout << line << "\n";
    }
    std::cout << "lock: " << LockLine(run, steadyFrom) << std::endl;
    for (const auto& [from, length] : o.Scenario.Outages) {
        std::cout << "outage: " << OutageLine(run, from, length) << "\n";
    }
    for (const auto& [from, to] : o.Scenario.Unplugged) {
        std::cout << "unplugged: " << OutageLine(run, from, to - from) << "\n";
    }
    if (!o.Compare.empty()) {
        for (const auto& [from, length] : o.Scenario.Outages) {
            std::cout << "outage (" << comparedName << "): " << OutageLine(compared, from, length)
                      << "\n";
        }
        for (const auto& [from, to] : o.Scenario.Unplugged) {
            std::cout << "unplugged (" << comparedName
                      << "): " << OutageLine(compared, from, to - from) << "\n";
        }
        std::cout << "lock (" << comparedName << "): " << LockLine(compared, steadyFrom)
                  << std::endl;
    }
    return 0;
}
