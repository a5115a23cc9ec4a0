// Chronel Monitor's decisions: state to icon and text, the notice rule, field checks, the chart.
#include "monitor/MonitorModel.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using mon::TrayState;

ctl::ServiceFacts Service(ctl::ServiceState state) {
    ctl::ServiceFacts facts;
    facts.State = state;
    return facts;
}

mon::Observation Seen(ctl::ServiceState service, ctl::Lock lock, const char* warnings = "",
                      std::optional<std::int32_t> diff = 0) {
    ctl::StatusValues values;
    values.KeyOpen = true;
    values.Warnings = warnings;
    ctl::LockFacts facts;
    facts.State = lock;
    facts.DiffMs = diff;
    return mon::Observe(Service(service), values, facts);
}

TEST(MonitorState, EachStateGetsItsIconClassNameAndDifference) {
    using S = ctl::ServiceState;
    using L = ctl::Lock;
    struct Case {
        S Service;
        L Lock;
        const char* Warnings;
        std::optional<std::int32_t> Diff;
        TrayState Tray;
        const char* Tip;
    };
    const Case cases[] = {
        {S::Running, L::Locked, "", 1, TrayState::Locked, "Chronel: Locked\nDifference: 1 ms"},
        {S::Running, L::Locked, "W32Time runs", 0, TrayState::Warning,
         "Chronel: Locked, 1 finding\nDifference: 0 ms"},
        {S::Running, L::Correcting, "", -40, TrayState::Warning,
         "Chronel: Correcting\nDifference: -40 ms"},
        {S::Running, L::TimecodeLost, "", std::nullopt, TrayState::Critical,
         "Chronel: Timecode lost\nDifference: unknown"},
        {S::Running, L::OutOfLimits, "", 400000, TrayState::Critical,
         "Chronel: Out of limits\nDifference: 400000 ms"},
        {S::Running, L::FormatError, "", std::nullopt, TrayState::Critical,
         "Chronel: User format error\nDifference: unknown"},
        // A stopped service's last difference is not the state of the clock now.
        {S::Stopped, L::Stale, "", 3, TrayState::Stopped,
         "Chronel: Service stopped\nDifference: unknown"},
        {S::NotInstalled, L::NoStatus, "", std::nullopt, TrayState::Stopped,
         "Chronel: Service not installed\nDifference: unknown"},
        {S::StartPending, L::NoStatus, "", std::nullopt, TrayState::Warning,
         "Chronel: Service starting\nDifference: unknown"},
    };
    for (const Case& c : cases) {
        const mon::Observation seen = Seen(c.Service, c.Lock, c.Warnings, c.Diff);
        EXPECT_EQ(seen.State, c.Tray) << c.Tip;
        EXPECT_EQ(mon::Tooltip(seen), c.Tip);
    }
}

TEST(MonitorState, IconShapesDifferWithoutColour) {
    // Opaque or not at three spots: near the top-left corner, near the bottom-left corner,
    // and above the centre. Together they tell disc, triangle, square and ring apart.
    struct Case {
        TrayState State;
        bool TopLeft, BottomLeft, AboveCentre;
    };
    const Case cases[] = {
        {TrayState::Locked, false, false, true},
        {TrayState::Warning, false, true, true},
        {TrayState::Critical, true, true, true},
        {TrayState::Stopped, false, false, false},
    };
    for (const int size : {16, 32}) {
        for (const Case& c : cases) {
            const std::vector<std::uint32_t> px = mon::IconPixels(c.State, size);
            ASSERT_EQ(px.size(), static_cast<std::size_t>(size * size));
            const auto opaque = [&](double u, double v) {
                const auto x = static_cast<int>(u * size);
                const auto y = static_cast<int>(v * size);
                return (px[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                           static_cast<std::size_t>(x)] >>
                        24) > 128;
            };
            EXPECT_EQ(opaque(0.12, 0.12), c.TopLeft) << size << " " << int(c.State);
            EXPECT_EQ(opaque(0.12, 0.86), c.BottomLeft) << size << " " << int(c.State);
            EXPECT_EQ(opaque(0.5, 0.3), c.AboveCentre) << size << " " << int(c.State);
            EXPECT_TRUE(opaque(0.5, 0.5) || c.State == TrayState::Locked);
        }
    }
}

TEST(MonitorNotices, OnePerWorseningAndPerRecoveryOnceSettled) {
    using S = ctl::ServiceState;
    using L = ctl::Lock;
    const mon::Observation locked = Seen(S::Running, L::Locked);
    const mon::Observation correcting = Seen(S::Running, L::Correcting);
    const mon::Observation lost = Seen(S::Running, L::TimecodeLost);
    const mon::Observation stopped = Seen(S::Stopped, L::Stale);
    struct Step {
        const mon::Observation* Seen;
        const char* Notice; // "" none, "worse", "recovery"
    };
    const Step steps[] = {
        {&lost, ""},                          // the baseline: no change
        {&lost, ""},                          // same
        {&locked, ""},                        // seen once: not settled
        {&locked, "recovery"},                // settled
        {&locked, ""},                        // no change, no repeat
        {&lost, ""},           {&locked, ""}, // one odd reading raises nothing
        {&correcting, ""},     {&correcting, "worse"}, {&lost, ""},    {&lost, "worse"},
        {&correcting, ""},     {&correcting, ""}, // less bad, not locked: silent
        {&stopped, ""},        {&stopped, "worse"},    {&stopped, ""}, {&stopped, ""},
        {&locked, ""},         {&locked, "recovery"},
    };
    mon::NoticeRule rule;
    int index = 0;
    for (const Step& step : steps) {
        const std::optional<mon::Notice> notice = rule.Next(*step.Seen);
        const std::string got = !notice ? "" : notice->Recovery ? "recovery" : "worse";
        EXPECT_EQ(got, step.Notice) << "step " << index;
        ++index;
    }
}

TEST(MonitorSettings, FieldRefusesWhatTheServiceWouldIgnore) {
    struct Case {
        const char* Name;
        const char* Typed;
        bool MayApply;
        const char* WhyHas;
    };
    const Case cases[] = {
        {"SyncM", "15625", true, ""},
        {"SyncM", "15626", false, "0 to 15625"},
        {"SyncM", "", false, "whole number"},
        {"DifErr", "0", true, ""},
        {"DifErr", "5", false, "10 to 2147483647"},
        {"IOADR", "0", false, "4097 to 4106"},
        {"MetricsFile", "", true, ""},
    };
    for (const Case& c : cases) {
        const mon::FieldCheck check = mon::CheckField(*FindSetting(c.Name), c.Typed);
        EXPECT_EQ(check.MayApply, c.MayApply) << c.Name << "=" << c.Typed;
        EXPECT_NE(check.Why.find(c.WhyHas), std::string::npos) << check.Why;
    }
}

TEST(MonitorChart, ScalesBandMeanAndOutagesFromRows) {
    const std::int64_t now = 1'800'000'000'000LL; // a whole minute
    const std::int64_t start = now - 3600000;
    std::vector<mon::ChartRow> rows;
    for (int m = 0; m < 60; ++m) {
        mon::ChartRow row;
        row.MinuteUnixMs = start + m * 60000LL;
        row.Good = m < 20 || m >= 30; // minutes 20 to 29 without timecode
        row.MinMs = -3;
        row.MaxMs = m == 45 ? 9 : 3;
        row.MeanMs = 1;
        if (m != 50) { // minute 50 missing: the service did not run
            rows.push_back(row);
        }
    }
    const int width = 60;
    const int height = 101;
    const mon::ChartLayout chart = mon::LayoutChart(rows, now, mon::Span::Hour, width, height);
    ASSERT_EQ(chart.Columns.size(), 60u);
    EXPECT_FALSE(chart.Empty);
    // The range holds every min and max and zero, with a step to spare at each end.
    EXPECT_GT(chart.TopMs, 9);
    EXPECT_LT(chart.BottomMs, -3);
    EXPECT_LE(chart.TopMs - chart.BottomMs, 24);
    const auto y = [&](double ms) {
        return static_cast<int>(
            std::lround((chart.TopMs - ms) / (chart.TopMs - chart.BottomMs) * (height - 1)));
    };
    EXPECT_EQ(chart.YZero, y(0));
    for (int c = 0; c < width; ++c) {
        const mon::ChartColumn& col = chart.Columns[static_cast<std::size_t>(c)];
        const bool outage = (c >= 20 && c < 30) || c == 50;
        EXPECT_EQ(col.Outage, outage) << c;
        EXPECT_EQ(col.HasData, !outage) << c;
        if (col.HasData) {
            EXPECT_EQ(col.YTop, y(c == 45 ? 9 : 3)) << c;
            EXPECT_EQ(col.YBottom, y(-3)) << c;
            EXPECT_EQ(col.YMean, y(1)) << c;
        }
    }
    ASSERT_FALSE(chart.XTicks.empty());
    EXPECT_EQ(chart.XTicks.front().Label, "now");
    EXPECT_EQ(chart.XTicks.front().Pos, width);
    EXPECT_EQ(chart.XTicks.back().Label, "-60 min");
    EXPECT_EQ(chart.XTicks.back().Pos, 0);
}

TEST(MonitorChart, WeekFoldsMinutesIntoColumnsAndNoHistoryIsEmpty) {
    const std::int64_t now = 1'800'000'000'000LL;
    const std::int64_t week = mon::SpanMs(mon::Span::Week);
    std::vector<mon::ChartRow> rows;
    for (std::int64_t t = now - week; t < now - 60000; t += 60000) {
        rows.push_back({t, true, -1, 1, 0});
    }
    rows[5000].MaxMs = 50; // one minute's spike shows in its column
    const mon::ChartLayout chart = mon::LayoutChart(rows, now, mon::Span::Week, 700, 100);
    int spikes = 0;
    for (const mon::ChartColumn& col : chart.Columns) {
        EXPECT_TRUE(col.HasData);
        EXPECT_FALSE(col.Outage);
        spikes += col.YTop < chart.YZero - 50 ? 1 : 0;
    }
    EXPECT_EQ(spikes, 1);
    const mon::ChartLayout none = mon::LayoutChart({}, now, mon::Span::Day, 100, 50);
    EXPECT_TRUE(none.Empty);
    for (const mon::ChartColumn& col : none.Columns) {
        EXPECT_FALSE(col.HasData || col.Outage);
    }
}

} // namespace

namespace {

TEST(MonitorChart, HistoryMinutesCountGoodOnlyWhenHeldWithReadings) {
    struct Case {
        history::State St;
        std::uint32_t Good;
        bool Expected;
    };
    const Case cases[] = {
        {history::State::Locked, 60, true},       {history::State::Correcting, 3, true},
        {history::State::Locked, 0, false},       {history::State::OutOfLimits, 60, false},
        {history::State::TimecodeLost, 2, false}, {history::State::FormatError, 60, false},
    };
    for (const Case& c : cases) {
        history::Row row;
        row.MinuteUnix = 1765000020;
        row.St = c.St;
        row.Good = c.Good;
        row.MinMs = -3;
        row.MaxMs = 4;
        row.MeanMs = 0.5;
        const std::vector<mon::ChartRow> rows = mon::ChartRowsFrom({row});
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].Good, c.Expected) << history::StateName(c.St) << " " << c.Good;
        EXPECT_EQ(rows[0].MinuteUnixMs, 1765000020000);
        EXPECT_EQ(rows[0].MinMs, -3);
        EXPECT_EQ(rows[0].MaxMs, 4);
    }
}

TEST(MonitorActions, ArgumentsSurviveTheCommandLineSplit) {
    const std::pair<const char*, const char*> cases[] = {
        {"1500", "1500"},
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"C:\\data\\chronel.prom", "C:\\data\\chronel.prom"}, // backslashes alone stay as they are
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\my dir\\", "\"C:\\my dir\\\\\""}, // a trailing backslash would escape the quote
        {"a\\\"b", "\"a\\\\\\\"b\""},
    };
    for (const auto& [argument, quoted] : cases) {
        EXPECT_EQ(mon::QuoteArgument(argument), quoted) << argument;
    }
}

TEST(MonitorActions, OutcomeSaysWhatHappened) {
    using mon::Action;
    struct Case {
        Action What;
        bool Started;
        std::uint32_t Error;
        std::uint32_t Exit;
        const char* Contains;
    };
    const Case cases[] = {
        {Action::Set, false, 1223, 0, "cancelled at the administrator prompt; nothing changed"},
        {Action::Sync, false, 2, 0, "could not be run (system error 2)"},
        {Action::Set, true, 0, 0, "Setting: done."},
        {Action::Set, true, 0, 1, "refused or not written (exit code 1); nothing changed"},
        {Action::Sync, true, 0, 0, "the clock was hard set"},
        {Action::Sync, true, 0, 1, "no hard set confirmed"},
        {Action::Sync, true, 0, 2, "the system refused to set the clock"},
        {Action::StopService, true, 0, 5, "failed (exit code 5)"},
        {Action::Report, true, 0, 0, "Report: saved (verdict OK)."},
        {Action::Report, true, 0, 2, "Report: saved (verdict CRITICAL)."},
        {Action::Report, true, 0, 3, "Report: saved (verdict UNKNOWN)."},
        {Action::Report, true, 0, 4, "Report: failed (exit code 4)."},
    };
    for (const Case& c : cases) {
        const std::string text = mon::OutcomeText(c.What, c.Started, c.Error, c.Exit);
        EXPECT_NE(text.find(c.Contains), std::string::npos) << text;
    }
}

} // namespace
