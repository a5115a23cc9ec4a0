#include "CardWorld.h"

#include "TimeFunc/TimeZone.h"
#include "engine/EventLog.h"
#include "engine/_Display.h"

#include <algorithm>
#include <functional>
#include <thread>

namespace {

class NotifyTest : public CardWorld {
  protected:
    void SetUp() override {
        CardWorld::SetUp();
        emu::SetTimeZone(emu::CentralEuropeanZone());
        plat::SystemTime utc;
        utc.Year = 2026;
        utc.Month = 12;
        utc.Day = 6;
        utc.Hour = 13;
        utc.Minute = 3;
        utc.Second = 7;
        emu::SetTrueTimeUtc(utc);
    }
    void TearDown() override {
        emu::HoldMessageBoxes(false);
        // Let popup threads that are still finishing leave before the world is reset.
        emu::WaitForDetachedThreads();
        CardWorld::TearDown();
    }
};

TEST_F(NotifyTest, EachEntryIsALineBreakAndTheTextUnderTheServiceName) {
    struct Case {
        const char* text;
        std::uint16_t type;
    };
    const Case cases[] = {{"START", 3}, {"LTC source failure", 1}, {"", 1}, {"STOP", 3}};
    for (const auto& c : cases) {
        WriteEventLog(c.text, c.type);
    }
    const auto entries = emu::EventLogEntries();
    ASSERT_EQ(entries.size(), std::size(cases));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].Source, "QN_Chronel");
        EXPECT_EQ(entries[i].Type, cases[i].type) << "3 is passed as it is, not made 4";
        EXPECT_EQ(entries[i].Category, 0);
        EXPECT_EQ(entries[i].EventId, 0u);
        EXPECT_EQ(entries[i].Text, std::string("\r\n") + cases[i].text);
    }
    EXPECT_EQ(emu::OpenEventSources(), 0);
}

TEST_F(NotifyTest, AnInvalidSourceHandleLosesTheEntrySilently) {
    for (plat::OsHandle bad : {plat::OsHandle{0}, plat::OsHandle{-1}, plat::OsHandle{0x80000000LL},
                               plat::OsHandle{0xFFFFFFFFLL}}) {
        emu::InjectEventSourceFailure(bad, 1);
        WriteEventLog("lost", 1);
    }
    WriteEventLog("kept", 1);
    EXPECT_EQ(Messages(), std::vector<std::string>{"kept"});
}

// Three popups a minute apart, nobody answering: each box carries its own time, and no thread
// is left waiting.
TEST_F(NotifyTest, PopupsGoToTheConsoleUserWithoutWaiting) {
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        std::uint32_t ShownIn; // the session the boxes are shown in; 0: none shown
        std::size_t Beeps;
        std::size_t Sends;
    };
    const Case cases[] = {
        {"user at the console", [] {}, 1, 3, 3},
        {"console in another session", [] { emu::SetConsoleSession(3); }, 3, 3, 3},
        {"nobody at the console", [] { emu::SetConsoleSession(plat::kNoConsoleSession); }, 0, 3, 0},
        {"send fails, as under Wine", [] { emu::InjectMessageBoxFailure(); }, 0, 3, 3},
        {"no thread", [] { emu::InjectFailure(emu::Fail::StartThread, 8); }, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        c.Arrange();
        emu::HoldMessageBoxes(true);
        std::vector<std::string> expected;
        for (int i = 0; i < 3; ++i) {
            expected.push_back("LTC source failure\n\n" + FormatLocalNow());
            DisplayMessage("LTC source failure");
            emu::AdvanceMs(60000);
        }
        ASSERT_TRUE(emu::WaitForDetachedThreads()) << emu::LiveDetachedThreads() << " left";
        const auto events = emu::UiEvents();
        EXPECT_EQ(emu::Beeps(), std::vector<std::uint32_t>(c.Beeps, 1));
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(
                      events.begin(), events.end(),
                      [](const emu::UiEvent& e) { return e.What == emu::UiEvent::Box; })),
                  c.Sends);
        std::vector<std::string> texts;
        for (const emu::Popup& p : emu::Popups()) {
            texts.push_back(p.Text);
            EXPECT_EQ(p.Caption, "Quorlan Chronel");
            EXPECT_EQ(p.Style, plat::kMbOk);
            EXPECT_EQ(p.Session, c.ShownIn);
            EXPECT_FALSE(p.Wait);
            EXPECT_NE(p.Thread, std::this_thread::get_id());
        }
        std::sort(texts.begin(), texts.end());
        EXPECT_EQ(texts, c.ShownIn != 0 ? expected : std::vector<std::string>{});
        EXPECT_TRUE(emu::EventLogEntries().empty());
        TearDown();
    }
}

} // namespace
