// Chronel Monitor's decisions: state, icon, notices, settings checks and the chart's layout.
#include "monitor/MonitorModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

namespace mon {
namespace {

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

TrayState ServiceTrayState(ctl::ServiceState state, std::string& name) {
    switch (state) {
    case ctl::ServiceState::Unreadable:
        name = "Service controller not readable";
        return TrayState::Stopped;
    case ctl::ServiceState::NotInstalled:
        name = "Service not installed";
        return TrayState::Stopped;
    case ctl::ServiceState::Stopped:
        name = "Service stopped";
        return TrayState::Stopped;
    case ctl::ServiceState::StopPending:
        name = "Service stopping";
        return TrayState::Stopped;
    case ctl::ServiceState::Other:
        name = "Service paused";
        return TrayState::Stopped;
    case ctl::ServiceState::StartPending:
        name = "Service starting";
        return TrayState::Warning;
    case ctl::ServiceState::Running:
        break;
    }
    return TrayState::Locked; // decided by the lock
}

TrayState LockTrayState(const ctl::LockFacts& lock, std::size_t findings, std::string& name) {
    switch (lock.State) {
    case ctl::Lock::Locked:
        if (findings == 0) {
            name = "Locked";
            return TrayState::Locked;
        }
        name = "Locked, " + Plural(findings, "finding", "findings");
        return TrayState::Warning;
    case ctl::Lock::Correcting:
        name = "Correcting";
        return TrayState::Warning;
    case ctl::Lock::Stale:
        name = "Status stale";
        return TrayState::Warning;
    case ctl::Lock::NoStatus:
        name = "Starting";
        return TrayState::Warning;
    case ctl::Lock::OutOfLimits:
        name = "Out of limits";
        return TrayState::Critical;
    case ctl::Lock::TimecodeLost:
        name = "Timecode lost";
        return TrayState::Critical;
    case ctl::Lock::FormatError:
        name = "User format error";
        return TrayState::Critical;
    }
    name = "Status stale";
    return TrayState::Warning;
}

// --- icon shapes, in units of the icon's side: positive inside, the distance to the edge ------

double Disc(double u, double v) {
    return 0.46 - std::hypot(u - 0.5, v - 0.5);
}

double EdgeDistance(double u, double v, double ax, double ay, double bx, double by) {
    // Positive inside a triangle whose corners run counter-clockwise on screen (y down).
    const double nx = ay - by;
    const double ny = bx - ax;
    const double length = std::hypot(nx, ny);
    return -((u - ax) * nx + (v - ay) * ny) / length;
}

double Triangle(double u, double v) {
    return std::min({EdgeDistance(u, v, 0.5, 0.04, 0.03, 0.93),
                     EdgeDistance(u, v, 0.03, 0.93, 0.97, 0.93),
                     EdgeDistance(u, v, 0.97, 0.93, 0.5, 0.04)});
}

double Box(double u, double v, double left, double top, double right, double bottom) {
    return std::min({u - left, right - u, v - top, bottom - v});
}

double RingWithBar(double u, double v) {
    const double d = std::hypot(u - 0.5, v - 0.5);
    return std::max(std::min(0.47 - d, d - 0.29), Box(u, v, 0.2, 0.42, 0.8, 0.58));
}

double Shape(TrayState state, double u, double v) {
    switch (state) {
    case TrayState::Locked:
        return Disc(u, v);
    case TrayState::Warning:
        return Triangle(u, v);
    case TrayState::Critical:
        return Box(u, v, 0.07, 0.07, 0.93, 0.93);
    case TrayState::Stopped:
        return RingWithBar(u, v);
    }
    return -1;
}

// The mark drawn inside the shape: a check, an exclamation mark, a cross.
bool Mark(TrayState state, double u, double v) {
    const auto nearSegment = [u, v](double ax, double ay, double bx, double by, double half) {
        const double dx = bx - ax;
        const double dy = by - ay;
        const double t =
            std::clamp(((u - ax) * dx + (v - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        return std::hypot(u - (ax + t * dx), v - (ay + t * dy)) <= half;
    };
    switch (state) {
    case TrayState::Locked:
        return nearSegment(0.27, 0.5, 0.43, 0.66, 0.065) ||
               nearSegment(0.43, 0.66, 0.73, 0.33, 0.065);
    case TrayState::Warning:
        return Box(u, v, 0.44, 0.33, 0.56, 0.66) >= 0 || Box(u, v, 0.44, 0.74, 0.56, 0.85) >= 0;
    case TrayState::Critical:
        return nearSegment(0.28, 0.28, 0.72, 0.72, 0.075) ||
               nearSegment(0.28, 0.72, 0.72, 0.28, 0.075);
    case TrayState::Stopped:
        return false;
    }
    return false;
}

struct Colours {
    std::uint32_t Fill;
    std::uint32_t Mark;
};

Colours ColoursOf(TrayState state) {
    switch (state) {
    case TrayState::Locked:
        return {0xFF2E7D32u, 0xFFFFFFFFu};
    case TrayState::Warning:
        return {0xFFF9A825u, 0xFF000000u};
    case TrayState::Critical:
        return {0xFFC62828u, 0xFFFFFFFFu};
    case TrayState::Stopped:
        return {0xFF808080u, 0xFF808080u};
    }
    return {0xFF808080u, 0xFF808080u};
}

std::string Milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g ms", ms);
    return text;
}

double NiceStep(double raw) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * magnitude >= raw) {
            return factor * magnitude;
        }
    }
    return 10 * magnitude;
}

} // namespace

Observation Observe(const ctl::ServiceFacts& service, const ctl::StatusValues& values,
                    const ctl::LockFacts& lock) {
    Observation observation;
    observation.State = ServiceTrayState(service.State, observation.Name);
    if (service.State == ctl::ServiceState::Running) {
        if (!values.KeyOpen) {
            observation.State = TrayState::Warning;
            observation.Name = "Status not readable";
        } else {
            observation.State =
                LockTrayState(lock, ctl::SplitLines(values.Warnings).size(), observation.Name);
        }
    }
    // The difference of a stopped service is history, not the state.
    observation.Difference = service.State == ctl::ServiceState::Running && lock.DiffMs
                                 ? "Difference: " + std::to_string(*lock.DiffMs) + " ms"
                                 : std::string("Difference: unknown");
    observation.Summary = ctl::Summary(service, values, lock);
    return observation;
}

std::string Tooltip(const Observation& observation) {
    std::string tip = "Chronel: " + observation.Name + "\n" + observation.Difference;
    if (tip.size() > 127) {
        tip.resize(127);
    }
    return tip;
}

std::vector<std::uint32_t> IconPixels(TrayState state, int size) {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * size, 0);
    const Colours colours = ColoursOf(state);
    const double outline = std::max(1.0 / size, 0.06);
    constexpr int kSub = 4; // samples per pixel and axis, for smooth edges
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double a = 0;
            double r = 0;
            double g = 0;
            double b = 0;
            for (int sy = 0; sy < kSub; ++sy) {
                for (int sx = 0; sx < kSub; ++sx) {
                    const double u = (x + (sx + 0.5) / kSub) / size;
                    const double v = (y + (sy + 0.5) / kSub) / size;
                    const double inside = Shape(state, u, v);
                    if (inside < 0) {
                        continue;
                    }
                    // A dark rim keeps the shape apart from light and dark taskbars alike.
                    std::uint32_t colour = 0xFF000000u;
                    if (inside > outline) {
                        colour = Mark(state, u, v) ? colours.Mark : colours.Fill;
                    }
                    a += 1;
                    r += (colour >> 16) & 0xFF;
                    g += (colour >> 8) & 0xFF;
                    b += colour & 0xFF;
                }
            }
            if (a == 0) {
                continue;
            }
            const auto channel = [a](double sum) {
                return static_cast<std::uint32_t>(std::lround(sum / a)) & 0xFF;
            };
            const auto alpha =
                static_cast<std::uint32_t>(std::lround(a * 255.0 / (kSub * kSub))) & 0xFF;
            pixels[static_cast<std::size_t>(y) * size + x] =
                (alpha << 24) | (channel(r) << 16) | (channel(g) << 8) | channel(b);
        }
    }
    return pixels;
}

std::optional<Notice> NoticeRule::Next(const Observation& observation) {
    const TrayState now = observation.State;
    if (!shown_) {
        shown_ = now;
        return std::nullopt;
    }
    if (now == *shown_) {
        pending_.reset();
        return std::nullopt;
    }
    if (pending_ != now) {
        pending_ = now;
        return std::nullopt;
    }
    const TrayState before = *shown_;
    shown_ = now;
    pending_.reset();
    if (now > before) {
        return Notice{false, "Chronel: " + observation.Name, observation.Summary};
    }
    if (now == TrayState::Locked) {
        return Notice{true, "Chronel: locked again", observation.Summary};
    }
    return std::nullopt;
}

FieldCheck CheckField(const SettingRow& row, const std::string& typed) {
    const ctl::SetDecision decision = ctl::DecideSet(row.Name, typed);
    FieldCheck check;
    check.MayApply = decision.Row != nullptr;
    check.Why = decision.Why;
    return check;
}

std::string DescribeSetting(const SettingRow& row) {
    return std::string(row.Meaning) + "\r\nRange: " + row.RangeText +
           "\r\nDefault: " + row.DefaultText +
           (row.Type == SettingType::String ? " (text)" : " (DWORD)");
}

std::int64_t SpanMs(Span span) {
    switch (span) {
    case Span::Hour:
        return 3600000;
    case Span::Day:
        return 86400000;
    case Span::Week:
        return 7 * 86400000LL;
    }
    return 3600000;
}

ChartLayout LayoutChart(const std::vector<ChartRow>& rows, std::int64_t nowUnixMs, Span span,
                        int width, int height) {
    ChartLayout layout;
    if (width <= 0 || height <= 1) {
        return layout;
    }
    const std::int64_t spanMs = SpanMs(span);
    const std::int64_t start = nowUnixMs - spanMs;
    const auto columnOf = [&](std::int64_t unixMs) {
        return static_cast<int>((unixMs - start) * width / spanMs);
    };
    struct Sums {
        double Min = std::numeric_limits<double>::infinity();
        double Max = -std::numeric_limits<double>::infinity();
        double Mean = 0;
        int Count = 0;
    };
    std::vector<Sums> sums(static_cast<std::size_t>(width));
    layout.Columns.resize(static_cast<std::size_t>(width));
    std::set<std::int64_t> minutes;
    for (const ChartRow& row : rows) {
        if (row.MinuteUnixMs < start || row.MinuteUnixMs >= nowUnixMs) {
            continue;
        }
        minutes.insert(row.MinuteUnixMs);
        const auto column = static_cast<std::size_t>(columnOf(row.MinuteUnixMs));
        if (!row.Good) {
            layout.Columns[column].Outage = true;
            continue;
        }
        Sums& s = sums[column];
        s.Min = std::min(s.Min, row.MinMs);
        s.Max = std::max(s.Max, row.MaxMs);
        s.Mean += row.MeanMs;
        ++s.Count;
    }
    // A minute without a row, after the history began and before the minute that is still
    // being written, is a minute the service did not run through: an outage as well.
    if (!minutes.empty()) {
        const std::int64_t lastDue = (nowUnixMs / 60000) * 60000 - 120000;
        for (std::int64_t minute = *minutes.begin(); minute <= lastDue; minute += 60000) {
            if (minutes.count(minute) == 0) {
                layout.Columns[static_cast<std::size_t>(columnOf(minute))].Outage = true;
            }
        }
    }
    double low = 0;
    double high = 0;
    for (const Sums& s : sums) {
        if (s.Count > 0) {
            layout.Empty = false;
            low = std::min(low, s.Min);
            high = std::max(high, s.Max);
        }
    }
    const double step = NiceStep(std::max((high - low) / 4, 0.25));
    layout.TopMs = std::ceil(high / step) * step;
    layout.BottomMs = std::floor(low / step) * step;
    if (layout.TopMs <= high) {
        layout.TopMs += step; // the highest mark stays off the frame
    }
    if (layout.BottomMs >= low) {
        layout.BottomMs -= step;
    }
    const double range = layout.TopMs - layout.BottomMs;
    const auto yOf = [&](double ms) {
        return static_cast<int>(std::lround((layout.TopMs - ms) / range * (height - 1)));
    };
    layout.YZero = yOf(0);
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const Sums& s = sums[i];
        if (s.Count == 0) {
            continue;
        }
        ChartColumn& column = layout.Columns[i];
        column.HasData = true;
        column.YTop = yOf(s.Max);
        column.YBottom = yOf(s.Min);
        column.YMean = yOf(s.Mean / s.Count);
    }
    const auto steps = static_cast<int>(std::lround(range / step));
    for (int i = 0; i <= steps; ++i) {
        const double ms = layout.BottomMs + i * step;
        layout.YTicks.push_back({yOf(ms), Milliseconds(std::fabs(ms) < step / 1000 ? 0 : ms)});
    }
    struct Unit {
        std::int64_t Ms;
        int Every;
        const char* Name;
    };
    const Unit unit = span == Span::Hour  ? Unit{60000, 10, "min"}
                      : span == Span::Day ? Unit{3600000, 4, "h"}
                                          : Unit{86400000, 1, "d"};
    for (std::int64_t back = 0; back * unit.Ms <= spanMs; back += unit.Every) {
        layout.XTicks.push_back(
            {columnOf(nowUnixMs - back * unit.Ms),
             back == 0 ? std::string("now") : "-" + std::to_string(back) + " " + unit.Name});
    }
    return layout;
}

std::vector<ChartRow> ChartRowsFrom(const std::vector<history::Row>& rows) {
    std::vector<ChartRow> out;
    out.reserve(rows.size());
    for (const history::Row& row : rows) {
        ChartRow chart;
        chart.MinuteUnixMs = row.MinuteUnix * 1000;
        chart.Good = row.Good > 0 &&
                     (row.St == history::State::Locked || row.St == history::State::Correcting);
        chart.MinMs = row.MinMs;
        chart.MaxMs = row.MaxMs;
        chart.MeanMs = row.MeanMs;
        out.push_back(chart);
    }
    return out;
}

std::string QuoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a quote.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\'); // before the closing quote
    return quoted + "\"";
}

std::string OutcomeText(Action action, bool started, std::uint32_t error, std::uint32_t exitCode) {
    const char* what = "";
    switch (action) {
    case Action::Set:
        what = "Setting";
        break;
    case Action::Reset:
        what = "Reset to default";
        break;
    case Action::Sync:
        what = "Sync now";
        break;
    case Action::StartService:
        what = "Starting the service";
        break;
    case Action::StopService:
        what = "Stopping the service";
        break;
    case Action::Report:
        what = "Report";
        break;
    }
    const std::string head = std::string(what) + ": ";
    if (!started) {
        if (error == 1223) {
            return head + "cancelled at the administrator prompt; nothing changed.";
        }
        return head + "could not be run (system error " + std::to_string(error) +
               "); nothing changed.";
    }
    if (action == Action::Report && exitCode <= 3) {
        // The report's exit code is its verdict, not the saving's: a night with an outage is
        // still a report written, and the file says why.
        static constexpr const char* kVerdicts[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        return head + "saved (verdict " + kVerdicts[exitCode] + ").";
    }
    if (exitCode == 0) {
        switch (action) {
        case Action::Sync:
            return head + "the clock was hard set.";
        default:
            return head + "done.";
        }
    }
    switch (action) {
    case Action::Set:
    case Action::Reset:
        return head + "refused or not written (exit code " + std::to_string(exitCode) +
               "); nothing changed.";
    case Action::Sync:
        if (exitCode == 1) {
            // chronelctl's warning covers both: the service not running, or no set within 20 s.
            return head + "no hard set confirmed (the service is not running, or has not set "
                          "the clock yet).";
        }
        if (exitCode == 2) {
            return head + "requested, but the system refused to set the clock.";
        }
        break;
    case Action::StartService:
    case Action::StopService:
    case Action::Report:
        break;
    }
    return head + "failed (exit code " + std::to_string(exitCode) + ").";
}

} // namespace mon
