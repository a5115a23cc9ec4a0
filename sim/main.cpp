// chronel-sim: the service's own code locking an emulated PC clock to simulated timecode.
#include "ctl/Ctl.h"
#include "engine/EventLog.h"
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
    bool CtlStatus = false;
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
           "  --csv FILE         time, true error, measured difference and correction per "
           "sample\n"
           "  --svg FILE         a plot of the error over time\n"
           "  --status-every S   show the monitor texts at most every S seconds (0: each "
           "change)\n"
           "  --status-thin      ... and at most every quarter of the time run so far\n"
           "  --metrics FILE     the service writes its metrics; the last ones go to FILE\n"
           "  --ctl-status       print 'chronelctl status' at the end, before the stop\n"
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
        } else if (arg == "--set") {
            const std::string setting = value;
            const std::size_t eq = setting.find('=');
            if (eq == 0 || eq == std::string::npos) {
                std::cerr << "chronel-sim: --set wants NAME=VALUE, not \"" << setting << "\"\n";
                return false;
            }
            o.Scenario.Settings.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
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

} // namespace

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
    const sim::LockFigures& f = run.Figures;

    if (!o.MetricsPath.empty()) {
        const std::optional<std::string> metrics = emu::FileContent(kEmulatedMetricsPath);
        std::ofstream out(o.MetricsPath, std::ios::binary);
        out << metrics.value_or("");
        if (!metrics || !out) {
            std::cerr << "chronel-sim: no metrics written to " << o.MetricsPath << "\n";
            return 1;
        }
    }
    if (o.CtlStatus) {
        std::string screen = emu::ConsoleOutput();
        screen.erase(std::remove(screen.begin(), screen.end(), '\r'), screen.end());
        std::cout << "chronelctl status (at the end of the run, before the stop):\n" << screen;
    }
    if (!o.CsvPath.empty() && !WriteCsv(o.CsvPath, run.Samples)) {
        std::cerr << "chronel-sim: cannot write " << o.CsvPath << "\n";
        return 1;
    }
    if (!o.SvgPath.empty()) {
        const sim::PlotText text{"Clock error while the service locks the PC clock to timecode",
                                 Describe(o.Scenario)};
        std::ofstream out(o.SvgPath);
        out << sim::RenderErrorPlot(run.Samples, f, o.Scenario.DurationS, text);
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
    std::snprintf(line, sizeof line,
                  "lock: converged_s=%s max_abs_ms=%s rms_ms=%s rate_changes=%llu hard_sets=%llu",
                  Figure(f.ConvergedS, f.ConvergedS).c_str(),
                  Figure(f.ConvergedS, f.MaxAbsMs).c_str(), Figure(f.ConvergedS, f.RmsMs).c_str(),
                  static_cast<unsigned long long>(f.RateChanges),
                  static_cast<unsigned long long>(f.HardSets));
    std::cout << line << std::endl;
    return 0;
}
