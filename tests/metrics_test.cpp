#include "CardWorld.h"

#include "ctl/Ctl.h"
#include "engine/ClockWatch.h"
#include "engine/FileWriter.h"
#include "engine/Metrics.h"
#include "engine/RegistryDefault.h"

#include <chrono>
#include <memory>

namespace {

class MetricsTest : public CardWorld {
  protected:
    void SetUp() override {
        CardWorld::SetUp();
        SettingsRegistry = std::make_unique<TRegistryDefault>();
        SettingsRegistry->SetRootKeyLocalMachine();
        SettingsRegistry->OpenKey(kSettingsKeyPath, true);
        ResetMetrics();
        SetMetricsFinding("");
        emu::AddFolder("C:\\metrics");
    }
    void TearDown() override {
        emu::HoldFiles(false);
        (void)StopFileWriter(std::chrono::seconds(5));
        CardWorld::TearDown();
    }
    // Hands the metrics over and waits for the writer to be done with them.
    static void Publish(const MetricsFacts& facts) {
        PublishMetrics(facts);
        ASSERT_TRUE(AwaitMetricsWritten());
    }
    static std::size_t Warnings() {
        std::size_t n = 0;
        for (const auto& e : emu::EventLogEntries()) {
            n += e.Type == 2 ? 1 : 0;
        }
        return n;
    }
};

TEST_F(MetricsTest, ReplacesTheFileWholeAndWarnsOncePerPath) {
    struct Step {
        std::string Path;
        bool MoveFails;
        bool Written;         // the file at Path holds this publish's metrics
        std::size_t Warnings; // in the log after the step
        bool Finding;         // "MonitorWarnings" says the last write to Path failed
    };
    const std::string good = "C:\\metrics\\chronel.prom";
    const std::string missing = "C:\\nowhere\\chronel.prom";
    // A finding shows from the publish after the failed write (the writer's result comes
    // back later) until one after a write that succeeded; a new path starts without one.
    const std::vector<Step> steps = {
        {good, false, true, 0, false},    {missing, false, false, 1, false},
        {missing, false, false, 1, true}, {"chronel.prom", false, false, 2, false},
        {good, true, false, 3, false},    {good, true, false, 3, true},
        {good, false, true, 3, true},     {good, false, true, 3, false},
        {"", false, false, 3, false},     {good, true, false, 4, false},
        {good, false, true, 4, true},     {good, false, true, 4, false},
    };
    MetricsFacts facts;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        Settings.MetricsFile = s.Path;
        if (s.MoveFails) {
            emu::InjectFileFailure(emu::FileOp::Move, 32, 1); // a reader holds the file
        }
        facts.HardSets = i + 1;
        Publish(facts);
        const std::string finding = "Metrics file \"" + s.Path + "\" not written: ";
        EXPECT_EQ(ClockWarnings().rfind(finding, 0) == 0, s.Finding) << "step " << i;
        EXPECT_EQ(ClockWarnings().empty(), !s.Finding) << "step " << i;
        EXPECT_EQ(emu::RegGetString(kKey, "MonitorWarnings").value_or(""), ClockWarnings());
        const std::optional<std::string> content = emu::FileContent(s.Path);
        const bool current =
            content && content->find("chronel_hard_sets_total " + std::to_string(i + 1) + "\n") !=
                           std::string::npos;
        EXPECT_EQ(current, s.Written) << "step " << i;
        EXPECT_EQ(Warnings(), s.Warnings)
            << "step " << i << ::testing::PrintToString(emu::EventLogTexts());
        // No temporary file is ever left behind, and the old file stays whole.
        EXPECT_FALSE(emu::FileContent(good + ".tmp").has_value()) << "step " << i;
        if (i > 0 && s.Path == good) {
            EXPECT_TRUE(emu::FileContent(good).has_value()) << "step " << i;
        }
    }
}

TEST_F(MetricsTest, TheFileCarriesAHeartbeatAndSaysDownOnceStopped) {
    const std::string path = "C:\\metrics\\chronel.prom";
    Settings.MetricsFile = path;
    const auto has = [&path](const std::string& line) {
        EXPECT_TRUE(AwaitMetricsWritten());
        return emu::FileContent(path).value_or("").find("\n" + line + "\n") != std::string::npos;
    };
    MetricsFacts facts;
    facts.TimecodeOk = true;
    facts.HardSets = 3;
    PublishMetrics(facts);
    const std::int64_t first = UnixSecondsNow();
    EXPECT_TRUE(has("chronel_up 1"));
    EXPECT_TRUE(has("chronel_locked 1"));
    EXPECT_TRUE(has("chronel_last_update_timestamp_seconds " + std::to_string(first)));
    emu::AdvanceMs(5000);
    PublishMetrics(facts);
    EXPECT_TRUE(has("chronel_last_update_timestamp_seconds " + std::to_string(first + 5)));
    emu::SetAdjustmentAsAnotherProgram(emu::Clock().Increment + 500, false);
    PublishStopped(facts);
    for (const char* line : {"chronel_up 0", "chronel_locked 0", "chronel_timecode_ok 0",
                             "chronel_correction_ppm 0.000", "chronel_hard_sets_total 3"}) {
        EXPECT_TRUE(has(line)) << line;
    }
}

TEST_F(MetricsTest, LockedOnlyForAGoodReadingWithinTwoMilliseconds) {
    struct Case {
        bool Ok;
        bool OutOfLimits;
        std::int32_t Diff;
        const char* Locked;
    };
    for (const Case& c : std::vector<Case>{{true, false, 2, "chronel_locked 1\n"},
                                           {true, false, -2, "chronel_locked 1\n"},
                                           {true, false, 3, "chronel_locked 0\n"},
                                           {true, true, 0, "chronel_locked 0\n"},
                                           {false, false, 0, "chronel_locked 0\n"}}) {
        MetricsFacts facts;
        facts.TimecodeOk = c.Ok;
        facts.OutOfLimits = c.OutOfLimits;
        facts.DifferenceMs = c.Diff;
        EXPECT_NE(MetricsText(facts, 0.0, 0).find(c.Locked), std::string::npos) << c.Diff;
    }
    MetricsFacts facts;
    facts.VersionText = "Firmware: 9.17    Card: \"PCIe\\RX\"    DLL: 2.05    Service: 1.0.0.1";
    EXPECT_NE(MetricsText(facts, 0.0, 0).find("card=\"\\\"PCIe\\\\RX\\\"\""), std::string::npos);
}

// The service writes as LocalSystem: a path that could lead it onto a share, a device or
// through a link somewhere else is refused with one warning, and nothing is written there.
// chronelctl refuses to store such a path, for the same reason.
TEST_F(MetricsTest, WritesOnlyToPlainFoldersOnALocalDiskAndTheToolRefusesTheSame) {
    struct Case {
        const char* Path;
        const char* Why; // in the warning; empty when the file is written
    };
    emu::AddFolder("C:\\metrics\\linked");
    emu::MarkReparsePoint("C:\\metrics\\linked");
    emu::PutFile("C:\\metrics\\link.prom", "");
    emu::MarkReparsePoint("C:\\metrics\\link.prom");
    emu::PutFile("C:\\metrics\\temp.prom.tmp", "");
    emu::MarkReparsePoint("C:\\metrics\\temp.prom.tmp");
    emu::AddFolder("Z:\\metrics");
    emu::MapNetworkDrive('Z');
    emu::AddFolder("D:\\metrics");
    const Case cases[] = {
        {"C:\\metrics\\chronel.prom", ""},
        {"D:\\metrics\\chronel.prom", ""},
        {"\\\\server\\share\\chronel.prom", "not a local path"},
        {"\\\\?\\C:\\metrics\\chronel.prom", "not a local path"},
        {"\\\\.\\C:\\metrics\\chronel.prom", "not a local path"},
        {"C:metrics\\chronel.prom", "not a local path"},
        {"chronel.prom", "not a local path"},
        {"metrics\\chronel.prom", "not a local path"},
        {"C:\\metrics\\chronel.prom:hidden", "not a local path"},
        {"Z:\\metrics\\chronel.prom", "not on a local disk"},
        {"C:\\nowhere\\chronel.prom", "folder \"C:\\nowhere\" does not exist"},
        {"C:\\metrics\\linked\\chronel.prom", "\"C:\\metrics\\linked\" is a reparse point"},
        {"C:\\metrics\\link.prom", "\"C:\\metrics\\link.prom\" is a reparse point"},
        {"C:\\metrics\\temp.prom", "\"C:\\metrics\\temp.prom.tmp\" is a reparse point"},
    };
    for (const Case& c : cases) {
        ResetMetrics();
        emu::ClearEventLog();
        Settings.MetricsFile = c.Path;
        Publish(MetricsFacts{});
        Publish(MetricsFacts{});
        const auto texts = emu::EventLogTexts();
        emu::RegSetString(kKey, "MetricsFile", "");
        const int exit = ctl::Set("MetricsFile", c.Path);
        const std::string stored = emu::RegGetString(kKey, "MetricsFile").value_or("");
        const std::string toolSaid = emu::ConsoleErrorOutput();
        if (c.Why[0] == '\0') {
            EXPECT_EQ(exit, 0) << c.Path;
            EXPECT_EQ(stored, c.Path);
            EXPECT_TRUE(texts.empty()) << c.Path;
            EXPECT_EQ(emu::FileWrites(c.Path), 2U) << c.Path;
            continue;
        }
        EXPECT_EQ(emu::FileWrites(c.Path) + emu::FileWrites(std::string(c.Path) + ".tmp"), 0U)
            << c.Path;
        EXPECT_EQ(exit, 1) << c.Path;
        EXPECT_EQ(stored, "") << c.Path;
        EXPECT_NE(toolSaid.find("\"" + std::string(c.Path) + "\": " + c.Why + ". Nothing written."),
                  std::string::npos)
            << toolSaid;
        ASSERT_EQ(texts.size(), 1U) << c.Path;
        EXPECT_EQ(texts[0],
                  "\r\nMetrics file \"" + std::string(c.Path) + "\" not written: " + c.Why)
            << c.Path;
    }
}

} // namespace
