// chronel-sim: the service's own code locking an emulated PC clock to simulated timecode.
#include "ctl/Ctl.h"
#include "engine/EventLog.h"
#include "history/HistoryReader.h"
#include "platform/emu/World.h"
#include "sim/ClosedLoop.h"
#include "sim/SvgPlot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

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
           "  --seed N           seed of the random walk (1)\n"
           "  --sample-ms MS     the clock error is sampled every MS ms (10)\n"
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
           "  --quiet            only the final line\n";
}

bool ParseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(value);
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
        } else if (arg == "--sample-ms" && numeric && number >= 1 && number <= 60000) {
            o.Scenario.SampleEveryMs = number;
        } else if (arg == "--steady-from" && numeric && number >= 0) {
            o.SteadyFromS = number;
        } else if (arg == "--outage") {
            const std::string text = value;
            const std::size_t colon = text.find(':');
            double from = 0;
            double length = 0;
            if (colon == std::string::npos || !ParseNumber(text.substr(0, colon).c_str(), from) ||
                !ParseNumber(text.substr(colon + 1).c_str(), length) || from < 0 || length <= 0) {
                std::cerr << "chronel-sim: --outage wants START:SECONDS, not \"" << text << "\"\n";
                return false;
            }
            o.Scenario.Outages.emplace_back(from, length);
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
    return line;
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
    if (!o.Compare.empty()) {
        for (const auto& [from, length] : o.Scenario.Outages) {
            std::cout << "outage (" << comparedName << "): " << OutageLine(compared, from, length)
                      << "\n";
        }
        std::cout << "lock (" << comparedName << "): " << LockLine(compared, steadyFrom)
                  << std::endl;
    }
    return 0;
}
