#include "CardWorld.h"

#include "card/CardAccess.h"
#include "card/CardIdentify.h"
#include "simcard/SimCard.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>

namespace {

class CardAccessTest : public CardWorld {
  protected:
    static std::string LibraryText() { return ::tecGetErrorText(); }
};

TEST_F(CardAccessTest, OpensTheSimulatedCardOnTheGivenPort) {
    std::uint8_t status = 9;
    EXPECT_EQ(ElapsedMs([&] { status = OpenCard(4105); }), 11); // identification + 1 ms
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(CardLink.IsOpen.load());
    EXPECT_GT(CardLink.Handle.load(), 0);
    const auto opens = emu::TecCalls(emu::TecFn::Open);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].Arg, 4105u);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::Close), 0u);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(CardAccessTest, OpenSucceedingOnTheHundredthAttemptIsASuccess) {
    int calls = 0;
    emu::SetTecOpen([&](std::int32_t* handle, std::uint32_t port) {
        return ++calls < 100 ? -3 : ::tecOpen(handle, port);
    });
    const std::int64_t start = emu::TrueTime100ns();
    EXPECT_EQ(OpenCard(4097), 0);
    EXPECT_TRUE(CardLink.IsOpen.load());
    const auto opens = emu::TecCalls(emu::TecFn::Open);
    ASSERT_EQ(opens.size(), 100u);
    // Between attempts a pause of 0 to 9 ms, drawn afresh each time.
    std::int64_t longest = 0;
    std::int64_t shortest = 1000;
    for (std::size_t i = 1; i < opens.size(); ++i) {
        const std::int64_t gap = (opens[i].At100ns - opens[i - 1].At100ns) / 10000;
        longest = std::max(longest, gap);
        shortest = std::min(shortest, gap);
    }
    EXPECT_LE(longest, 9);
    EXPECT_GE(shortest, 0);
    EXPECT_LT(shortest, longest) << "the pauses should vary";
    EXPECT_EQ((emu::TrueTime100ns() - opens.back().At100ns) / 10000, 11);
    EXPECT_GE(opens.front().At100ns, start);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(CardAccessTest, OpenFailingEveryTimeLogsOnceAndLeavesTheLinkClosed) {
    emu::RegSetDword(kSimKey, "Present", 0);
    std::int64_t afterLast = 0;
    EXPECT_EQ(OpenCard(4097), 1);
    afterLast = (emu::TrueTime100ns() - emu::TecCalls(emu::TecFn::Open).back().At100ns) / 10000;
    EXPECT_FALSE(CardLink.IsOpen.load());
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::Open), 100u);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::GetVersion), 0u);
    EXPECT_GE(afterLast, 1); // the last attempt's pause too, then 1 ms
    EXPECT_LE(afterLast, 10);
    EXPECT_EQ(LastCardResult.load(), -2);
    const auto entries = emu::EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Type, 1);
    EXPECT_EQ(entries[0].Text,
              "\r\ntecOpen failed: PC RX hardware not found\r\nSimulated card: card not present");
}

TEST_F(CardAccessTest, APositiveOpenResultSkipsIdentificationAndCountsAsOpen) {
    emu::SetTecOpen([](std::int32_t*, std::uint32_t) { return 3; });
    EXPECT_EQ(OpenCard(4097), 0);
    EXPECT_TRUE(CardLink.IsOpen.load());
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::Open), 100u);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::GetVersion), 0u);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(CardAccessTest, ARejectedCardIsClosedButTheOpenStillSucceeds) {
    emu::RegSetString(kSimKey, "TypeLetter", "v");
    emu::RegSetString(kSimKey, "FirmwareMinor", "16");
    EXPECT_EQ(OpenCard(4097), 0);
    EXPECT_TRUE(CardLink.IsOpen.load());
    const auto closes = emu::TecCalls(emu::TecFn::Close);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].Handle, CardLink.Handle.load()) << "the handle keeps its value";
    EXPECT_TRUE(emu::EventLogEntries().empty());
    // The start sequence's own identification then meets the closed handle.
    std::string text;
    std::uint32_t fw = 0;
    std::uint32_t lib = 0;
    EXPECT_FALSE(IdentifyCard(text, fw, lib));
    EXPECT_EQ(text, "error");
}

TEST_F(CardAccessTest, AFailedIdentificationReadIsReportedAsAnOpenFailure) {
    emu::RegSetDword(kSimKey, "ReadResult", static_cast<std::uint32_t>(-7));
    EXPECT_EQ(OpenCard(4097), 1);
    EXPECT_FALSE(CardLink.IsOpen.load());
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::Close), 1u);
    EXPECT_EQ(Messages(), std::vector<std::string>{"tecOpen failed: Timeout\r\n" + LibraryText()});
}

TEST_F(CardAccessTest, NothingIsOpenedOnceTheStopHasLatched) {
    StopLatched.store(true);
    EXPECT_EQ(OpenCard(4097), 1);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::Open), 0u);
    EXPECT_FALSE(CardLink.IsOpen.load());
    EXPECT_TRUE(emu::EventLogEntries().empty());

    // A stop that lands during the open attempts ends them.
    StopLatched.store(false);
    emu::RegSetDword(kSimKey, "Present", 0);
    int calls = 0;
    emu::SetTecOpen([&](std::int32_t* handle, std::uint32_t port) {
        if (++calls == 3) {
            StopLatched.store(true);
        }
        return ::tecOpen(handle, port);
    });
    EXPECT_EQ(OpenCard(4097), 1);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(CardAccessTest, CloseAlwaysCallsTheLibraryAndEndsClosed) {
    ASSERT_EQ(OpenCard(4097), 0);
    const std::int32_t handle = CardLink.Handle.load();
    EXPECT_EQ(CloseCard(), 0);
    EXPECT_EQ(CloseCard(), 0);
    const auto closes = emu::TecCalls(emu::TecFn::Close);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].Handle, handle);
    EXPECT_EQ(closes[0].Result, 0);
    EXPECT_EQ(closes[1].Handle, -1);
    EXPECT_LT(closes[1].Result, 0);
    EXPECT_EQ(CardLink.Handle.load(), -1);
    EXPECT_FALSE(CardLink.IsOpen.load());
}

TEST_F(CardAccessTest, ReadOutcomesFollowTheLibraryResultAndTheMilliseconds) {
    struct Case {
        std::int32_t result;
        std::uint16_t ms;
        std::uint8_t want;
    };
    const Case cases[] = {{0, 0, ReadGood},
                          {0, 999, ReadGood},
                          {0, 1000, ReadRecordInvalid},
                          {0, 65535, ReadRecordInvalid},
                          {1, 5, ReadNoNewData},
                          {2, 5, ReadLibraryError},
                          {-7, 5, ReadLibraryError},
                          {INT_MIN, 5, ReadLibraryError}};
    CardLink.IsOpen.store(true);
    CardLink.Handle.store(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        emu::SetTecReadTime([&](std::int32_t handle, void* record) {
            EXPECT_EQ(handle, 3);
            if (c.result == 0) {
                TimecodeRecord r;
                r.LtcMilliseconds = c.ms;
                std::memcpy(record, &r, sizeof r);
            }
            return c.result;
        });
        TimecodeRecord record;
        record.LtcHour = 17; // left alone unless the library writes
        EXPECT_EQ(ReadTimecode(record), c.want);
        EXPECT_EQ(LastCardResult.load(), c.result);
        EXPECT_EQ(record.LtcHour, c.result == 0 ? 0 : 17);
    }
}

TEST_F(CardAccessTest, ReadingAClosedLinkCallsNothing) {
    TimecodeRecord record;
    record.LtcSecond = 42;
    EXPECT_EQ(ReadTimecode(record), ReadNotOpen);
    EXPECT_EQ(record.LtcSecond, 42);
    EXPECT_EQ(LastCardResult.load(), 1);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::ReadTime), 0u);
    EXPECT_EQ(CardErrorText(), "No new data\r\n" + LibraryText());

    ASSERT_EQ(OpenCard(4097), 0);
    emu::AdvanceMs(40);
    EXPECT_EQ(ReadTimecode(record), ReadGood);
    CloseCard();
    EXPECT_EQ(ReadTimecode(record), ReadNotOpen);
}

TEST_F(CardAccessTest, RealtimeModeAttemptsAndTheirEnd) {
    struct Case {
        const char* name;
        std::function<std::int32_t(int)> set; // by attempt, from 1
        std::function<std::int32_t(int)> read;
        std::uint8_t status;
        std::uint64_t sets, reads;
        std::int64_t ms;
        const char* logged; // first line of the logged text, or nullptr
    };
    const Case cases[] = {
        {"set always fails", [](int) { return -10; }, [](int) { return 0; }, 3, 100, 0, 0,
         "Parameter out of range"},
        {"check read always fails", [](int) { return 0; }, [](int) { return -7; }, 2, 100, 100,
         2000, "Timeout"},
        {"no new data is fine", [](int) { return 0; }, [](int) { return 1; }, 0, 1, 1, 20, nullptr},
        {"positive set result counts as done", [](int) { return 4; }, [](int) { return 0; }, 0, 1,
         1, 20, nullptr},
        {"works on the fourth", [](int n) { return n < 4 ? -12 : 0; }, [](int) { return 0; }, 0, 4,
         1, 20, nullptr},
        {"read fails, then the last set fails", [](int n) { return n < 100 ? 0 : -15; },
         [](int) { return -7; }, 3, 100, 99, 1980, "Unknown command"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        int setCalls = 0;
        emu::SetTecSetRealtimeMode([&](std::int32_t, std::uint32_t) { return c.set(++setCalls); });
        emu::SetTecReadTime([&](std::int32_t, void*) { return c.read(setCalls); });
        emu::SetTecGetErrorText([] { return "lib"; });
        std::uint8_t status = 9;
        EXPECT_EQ(ElapsedMs([&] { status = SetRealtimeMode(1); }), c.ms);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(emu::TecCallCount(emu::TecFn::SetRealtimeMode), c.sets);
        EXPECT_EQ(emu::TecCallCount(emu::TecFn::ReadTime), c.reads);
        if (c.logged != nullptr) {
            EXPECT_EQ(Messages(),
                      std::vector<std::string>{std::string("tecSetRealtimeMode failed: ") +
                                               c.logged + "\r\nlib"});
        } else {
            EXPECT_TRUE(emu::EventLogEntries().empty());
        }
    }
}

TEST_F(CardAccessTest, RealtimeModeOnANeverOpenedLinkFailsFastAndLogsOnce) {
    EXPECT_EQ(ElapsedMs([] { EXPECT_EQ(SetRealtimeMode(0), 3); }), 0);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::SetRealtimeMode), 100u);
    EXPECT_EQ(Messages(), std::vector<std::string>{"tecSetRealtimeMode failed: Invalid handle\r\n" +
                                                   LibraryText()});
    ResetAll();
    StopLatched.store(true); // after the stop: neither attempts nor an entry
    EXPECT_EQ(SetRealtimeMode(1), 3);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::SetRealtimeMode), 0u);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(CardAccessTest, ErrorTextNamesTheCodeAndAddsTheLibrarysText) {
    struct Case {
        std::int32_t code;
        const char* first;
    };
    const Case cases[] = {
        {1, "No new data"},
        {0, "OK"},
        {-1, "Invalid port id"},
        {-2, "PC RX hardware not found"},
        {-3, "No free handle found"},
        {-4, "Invalid handle"},
        {-5, "Handle not opened by tecOpen()"},
        {-6, "Null pointer assignment"},
        {-7, "Timeout"},
        {-8, "Register not available"},
        {-9, "Invalid transmit bank number"},
        {-10, "Parameter out of range"},
        {-11, "Can't initialize library"},
        {-12, "Error in device driver while IOCTL"},
        {-13, "Wrong Version of device driver"},
        {-14, "Function not supported"},
        {-15, "Unknown command"},
        {-16, "Can't open device driver"},
        {-17, "(Unknown)"},
        {2, "(Unknown)"},
        {5, "(Unknown)"},
        {INT_MIN, "(Unknown)"},
        {INT_MAX, "(Unknown)"},
    };
    emu::SetTecGetErrorText([] { return "Driver says no"; });
    for (const auto& c : cases) {
        LastCardResult.store(c.code);
        EXPECT_EQ(CardErrorText(), std::string(c.first) + "\r\nDriver says no");
    }
    LastCardResult.store(-7);
    emu::SetTecGetErrorText([] { return ""; });
    EXPECT_EQ(CardErrorText(), "Timeout\r\n");
    emu::SetTecGetErrorText([]() -> const char* { return nullptr; });
    EXPECT_EQ(CardErrorText(), "Timeout\r\n");
}

} // namespace
