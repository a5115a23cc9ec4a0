#include "CardWorld.h"

#include "TimeFunc/TimeZone.h"
#include "engine/EventLog.h"
#include "engine/_Display.h"

#include <algorithm>
#include <chrono>
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
        for (int i = 0; i < 500 && emu::OpenMessageBoxes() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
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

TEST_F(NotifyTest, APopupBeepsThenShowsTheMessageWithTheLocalTimeOnItsOwnThread) {
    const std::string now = FormatLocalNow();
    ASSERT_NE(now.find("14:03:07"), std::string::npos) << now;
    DisplayMessage("LTC source failure");
    ASSERT_TRUE(emu::WaitForPopups(1));
    const auto popups = emu::Popups();
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].Text, "LTC source failure\n\n" + now);
    EXPECT_EQ(popups[0].Caption, "Quorlan Chronel");
    EXPECT_EQ(popups[0].Flags, plat::kMbServiceNotification);
    EXPECT_NE(popups[0].Thread, std::this_thread::get_id());
    const auto events = emu::UiEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].What, emu::UiEvent::Beep);
    EXPECT_EQ(events[0].BeepType, 1u);
    EXPECT_EQ(events[0].Thread, popups[0].Thread);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(NotifyTest, OpenPopupsNeverHoldUpTheCallerAndEachKeepsItsTime) {
    emu::HoldMessageBoxes(true);
    const std::string first = FormatLocalNow();
    DisplayMessage("LTC is out of limits");
    emu::AdvanceMs(60000);
    const std::string second = FormatLocalNow();
    DisplayMessage("LTC is out of limits");
    ASSERT_TRUE(emu::WaitForPopups(2));
    EXPECT_EQ(emu::OpenMessageBoxes(), 2);
    auto popups = emu::Popups();
    ASSERT_EQ(popups.size(), 2u);
    std::vector<std::string> texts = {popups[0].Text, popups[1].Text};
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"LTC is out of limits\n\n" + first,
                                               "LTC is out of limits\n\n" + second}));
    EXPECT_NE(popups[0].Thread, popups[1].Thread);
    emu::HoldMessageBoxes(false);
}

TEST_F(NotifyTest, APopupThatCannotStartOrShowIsLostQuietly) {
    emu::InjectFailure(emu::Fail::StartThread, 8, 1);
    DisplayMessage("first");
    emu::InjectMessageBoxFailure(1);
    DisplayMessage("second");
    DisplayMessage("third");
    ASSERT_TRUE(emu::WaitForPopups(1));
    for (int i = 0; i < 500 && emu::Beeps().size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(emu::Beeps().size(), 2u);
    const auto popups = emu::Popups();
    ASSERT_EQ(popups.size(), 1u);
    // The two popup threads race for the one box that fails; either may lose.
    const std::string shown = popups[0].Text.substr(0, popups[0].Text.find('\n'));
    EXPECT_TRUE(shown == "second" || shown == "third") << shown;
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

} // namespace
