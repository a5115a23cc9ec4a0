#include "CardWorld.h"

#include "engine/Metrics.h"

namespace {

class MetricsTest : public CardWorld {
  protected:
    void SetUp() override {
        CardWorld::SetUp();
        ResetMetrics();
        emu::AddFolder("C:\\metrics");
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
    };
    const std::string good = "C:\\metrics\\chronel.prom";
    const std::string missing = "C:\\nowhere\\chronel.prom";
    const std::vector<Step> steps = {
        {good, false, true, 0},     {missing, false, false, 1},
        {missing, false, false, 1}, {"chronel.prom", false, false, 2},
        {good, true, false, 3},     {good, true, false, 3},
        {good, false, true, 3},     {"", false, false, 3},
        {good, true, false, 4},
    };
    MetricsFacts facts;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        Settings.MetricsFile = s.Path;
        if (s.MoveFails) {
            emu::InjectFileFailure(emu::FileOp::Move, 32, 1); // a reader holds the file
        }
        facts.HardSets = i + 1;
        PublishMetrics(facts);
        const std::optional<std::string> content = emu::FileContent(s.Path);
        const bool current =
            content && content->find("chronel_hard_sets_total " + std::to_string(i + 1) + "\n") !=
                           std::string::npos;
        EXPECT_EQ(current, s.Written) << "step " << i;
        EXPECT_EQ(Warnings(), s.Warnings) << "step " << i;
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
TEST_F(MetricsTest, WritesOnlyToPlainFoldersOnALocalDisk) {
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
        PublishMetrics(MetricsFacts{});
        PublishMetrics(MetricsFacts{});
        const auto texts = emu::EventLogTexts();
        if (c.Why[0] == '\0') {
            EXPECT_TRUE(texts.empty()) << c.Path;
            EXPECT_EQ(emu::FileWrites(c.Path), 2U) << c.Path;
            continue;
        }
        EXPECT_EQ(emu::FileWrites(c.Path) + emu::FileWrites(std::string(c.Path) + ".tmp"), 0U)
            << c.Path;
        ASSERT_EQ(texts.size(), 1U) << c.Path;
        EXPECT_EQ(texts[0],
                  "\r\nMetrics file \"" + std::string(c.Path) + "\" not written: " + c.Why)
            << c.Path;
    }
}

} // namespace
