#include "CardWorld.h"

#include "card/CardAccess.h"
#include "engine/RegistryDefault.h"
#include "engine/Settings.h"

#include <functional>
#include <memory>
#include <optional>

namespace {

class SettingsTest : public CardWorld {
  protected:
    void OpenSettings() {
        SettingsRegistry = std::make_unique<TRegistryDefault>();
        SettingsRegistry->SetRootKeyLocalMachine();
        ASSERT_TRUE(SettingsRegistry->OpenKey(kSettingsKeyPath, true));
    }
    static std::vector<std::uint8_t> Bytes(const std::string& s) {
        std::vector<std::uint8_t> out(s.begin(), s.end());
        out.push_back(0);
        return out;
    }
};

TEST_F(SettingsTest, EmptyKeyGivesDefaultsAndLeavesAnEmptySyncBehind) {
    OpenSettings();
    Settings.SyncM = 1; // proves the reload writes every field
    ReloadSettings();
    EXPECT_EQ(Settings.SyncM, 2000);
    EXPECT_EQ(Settings.SyncP, 2000);
    EXPECT_EQ(Settings.DifErr, 300000);
    EXPECT_EQ(Settings.DifSys, 300000);
    EXPECT_EQ(Settings.SyncLTC, 0);
    EXPECT_EQ(Settings.DateFormat, 0);
    EXPECT_EQ(Settings.SelectTimezone, 1);
    EXPECT_FALSE(Settings.DateExpected);
    EXPECT_FALSE(Settings.SyncFlagCarried);
    EXPECT_FALSE(SyncRequested);
    EXPECT_TRUE(PopUpsWanted());
    const auto sync = emu::RegGetValue(kKey, "Sync");
    ASSERT_TRUE(sync.has_value());
    EXPECT_EQ(sync->Type, plat::RegType::Sz);
    EXPECT_EQ(sync->Data, std::vector<std::uint8_t>{0});
    EXPECT_EQ(emu::RegValueNames(kKey), std::vector<std::string>{"Sync"});
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(SettingsTest, SmallValuesKeepTheirLowByte) {
    struct Case {
        std::uint32_t syncLtc, dateFormat, selectTimezone;
        std::uint8_t wantLtc, wantFormat, wantZone;
        bool dateExpected, flagCarried;
    };
    const Case cases[] = {
        {257, 1, 2, 1, 1, 2, true, true},     {0, 3, 3, 0, 3, 3, true, true},
        {2, 2, 255, 2, 2, 255, true, false},  {1, 4, 256, 1, 4, 0, true, false},
        {256, 256, 0, 0, 0, 0, false, false}, {0xFFFFFFFF, 259, 1, 255, 3, 1, true, true},
    };
    OpenSettings();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dateFormat);
        emu::RegSetDword(kKey, "SyncLTC", c.syncLtc);
        emu::RegSetDword(kKey, "dateformat", c.dateFormat); // names are case-insensitive
        emu::RegSetDword(kKey, "SelectTimezone", c.selectTimezone);
        ReloadSettings();
        EXPECT_EQ(Settings.SyncLTC, c.wantLtc);
        EXPECT_EQ(Settings.DateFormat, c.wantFormat);
        EXPECT_EQ(Settings.SelectTimezone, c.wantZone);
        EXPECT_EQ(Settings.DateExpected, c.dateExpected);
        EXPECT_EQ(Settings.SyncFlagCarried, c.flagCarried);
    }
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

// A quantity outside its range is clamped to the nearer bound (0, an off switch, is never
// one); a choice takes its default. Either way one entry names the value used.
TEST_F(SettingsTest, AValueOutOfItsRangeIsClampedOrAChoiceTakesItsDefault) {
    struct Case {
        const char* name;
        std::uint32_t value;
        std::int32_t want;
        bool logged;
    };
    const Case cases[] = {
        {"SyncM", 15625, 15625, false},
        {"SyncM", 0, 0, false},
        {"SyncM", 15626, 15625, true},
        {"SyncM", 20000, 15625, true},
        {"SyncM", 0xFFFFFFFF, 0, true}, // -1
        {"SyncP", 0x7FFFFFFF, 15625, true},
        {"SyncP", 0x80000000, 0, true},
        {"DifErr", 0, 0, false},
        {"DifErr", 5, 10, true}, // as near 0 as 10, but 0 would switch the check off
        {"DifErr", 1, 10, true},
        {"DifErr", 0xFFFFFFFB, 10, true}, // -5
        {"DifSys", 0xFFFFFFFF, 10, true},
        {"DifSys", 10, 10, false},
        {"DifSys", 0x7FFFFFFF, 0x7FFFFFFF, false},
        {"SyncMode", 1, 1, false},
        {"SyncMode", 2, 0, true},   // a choice: not the nearer mode
        {"SyncMode", 256, 0, true}, // the whole value, not its low byte
        {"HistoryDays", 3651, 3650, true},
        {"HistoryDays", 0xFFFFFFFF, 1, true},
        {"HistoryDays", 0, 0, false},
    };
    OpenSettings();
    const auto value = [](const std::string& name) -> std::int32_t {
        return name == "SyncM"      ? Settings.SyncM
               : name == "SyncP"    ? Settings.SyncP
               : name == "DifErr"   ? Settings.DifErr
               : name == "DifSys"   ? Settings.DifSys
               : name == "SyncMode" ? Settings.SyncMode
                                    : Settings.HistoryDays;
    };
    for (const auto& c : cases) {
        const std::string stored = std::to_string(static_cast<std::int32_t>(c.value));
        SCOPED_TRACE(std::string(c.name) + " " + stored);
        emu::ClearEventLog();
        emu::RegSetDword(kKey, c.name, c.value);
        ReloadSettings();
        ReloadSettings();
        EXPECT_EQ(value(c.name), c.want);
        if (!c.logged) {
            EXPECT_TRUE(Messages().empty());
        } else {
            EXPECT_EQ(Messages(),
                      std::vector<std::string>{std::string("Registry value \"") + c.name +
                                               "\" out of range: " + stored + ", " +
                                               std::to_string(c.want) + " used"});
        }
    }
}

TEST_F(SettingsTest, AnOutOfRangeValueIsReportedOncePerChange) {
    OpenSettings();
    const auto difErr = [](std::uint32_t v) {
        emu::RegSetDword(kKey, "DifErr", v);
        ReloadSettings();
    };
    difErr(5);
    difErr(5);
    difErr(6);  // the same bound, another value: news
    difErr(50); // mended
    difErr(6);  // broken again: news again
    EXPECT_EQ(Settings.DifErr, 10);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"Registry value \"DifErr\" out of range: 5, 10 used",
                                        "Registry value \"DifErr\" out of range: 6, 10 used",
                                        "Registry value \"DifErr\" out of range: 6, 10 used"}));
    for (const auto& e : emu::EventLogEntries()) {
        EXPECT_EQ(e.Type, 1);
    }
}

TEST_F(SettingsTest, AnyNonEmptySyncTextIsOneRequestConsumedByTheReload) {
    struct Case {
        std::optional<std::string> text;
        bool requested;
    };
    const Case cases[] = {{std::nullopt, false},
                          {"", false},
                          {"0", true},
                          {"now", true},
                          {std::string("\0x", 2), false}}; // cut at its first NUL: empty
    OpenSettings();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("<absent>"));
        emu::RegDeleteValue(kKey, "Sync");
        if (c.text) {
            emu::RegSetRaw(kKey, "Sync", plat::RegType::Sz, Bytes(*c.text));
        }
        ReloadSettings();
        EXPECT_EQ(SyncRequested, c.requested);
        EXPECT_EQ(emu::RegGetString(kKey, "Sync"), std::optional<std::string>(""));
        SyncRequested = false; // as the loop's hard set does
        ReloadSettings();
        EXPECT_FALSE(SyncRequested);
    }
    emu::RegSetString(kKey, "Sync", "%SystemRoot%", plat::RegType::ExpandSz);
    ReloadSettings();
    EXPECT_TRUE(SyncRequested);
    emu::RegSetRaw(kKey, "Sync", plat::RegType::Sz, {'a', 'b'}); // without its terminator
    ReloadSettings();
    EXPECT_TRUE(SyncRequested);
    EXPECT_TRUE(emu::EventLogEntries().empty());
}

TEST_F(SettingsTest, AValueOfTheWrongTypeCountsAsAbsentAndIsReportedOncePerChange) {
    OpenSettings();
    emu::RegSetString(kKey, "SyncM", "5000");
    emu::RegSetRaw(kKey, "DateFormat", plat::RegType::Binary, {1, 0, 0, 0});
    emu::RegSetDword(kKey, "Sync", 1);
    emu::RegSetRaw(kKey, "PopUps", plat::RegType::MultiSz, {'0', 0, 0});
    emu::RegSetDword(kKey, "SyncP", 700);
    ReloadSettings();
    EXPECT_EQ(Settings.SyncM, 2000);
    EXPECT_EQ(Settings.SyncP, 700);
    EXPECT_EQ(Settings.DateFormat, 0);
    EXPECT_FALSE(SyncRequested);
    EXPECT_TRUE(PopUpsWanted());
    EXPECT_TRUE(PopUpsWanted());
    const auto first = Messages();
    ASSERT_EQ(first.size(), 4u);
    EXPECT_NE(first[0].find("\"SyncM\""), std::string::npos) << first[0];
    EXPECT_NE(first[0].find("REG_SZ"), std::string::npos) << first[0];
    EXPECT_NE(first[1].find("\"Sync\""), std::string::npos) << first[1];
    EXPECT_NE(first[2].find("\"DateFormat\""), std::string::npos) << first[2];
    EXPECT_NE(first[3].find("\"PopUps\""), std::string::npos) << first[3];
    for (const auto& e : emu::EventLogEntries()) {
        EXPECT_EQ(e.Type, 1);
        EXPECT_EQ(e.Source, "QN_Chronel");
    }
    // The "Sync" number was replaced by the empty text the reload writes.
    EXPECT_EQ(emu::RegGetString(kKey, "Sync"), std::optional<std::string>(""));

    ReloadSettings(); // still broken: nothing new
    EXPECT_EQ(emu::EventLogEntries().size(), 4u);

    // Mended, then broken again by a DWORD of two bytes, and of eight: neither is a number.
    for (const std::vector<std::uint8_t>& bytes :
         {std::vector<std::uint8_t>{1, 2},
          std::vector<std::uint8_t>{0x88, 0x13, 0, 0, 0, 0, 0, 0}}) {
        emu::RegSetDword(kKey, "SyncM", 5000);
        ReloadSettings();
        EXPECT_EQ(Settings.SyncM, 5000);
        emu::RegSetRaw(kKey, "SyncM", plat::RegType::Dword, bytes);
        ReloadSettings();
        EXPECT_EQ(Settings.SyncM, 2000) << bytes.size();
    }
    EXPECT_EQ(emu::EventLogEntries().size(), 6u);
}

TEST_F(SettingsTest, AFailedClearingOfSyncHonoursTheRequestOnce) {
    OpenSettings();
    emu::RegSetString(kKey, "Sync", "1");
    emu::InjectRegFailure(emu::RegOp::Set, 5, -1, "Sync");
    ReloadSettings();
    EXPECT_TRUE(SyncRequested);
    SyncRequested = false; // honoured
    ReloadSettings();
    EXPECT_FALSE(SyncRequested) << "the same standing request would hard-set every reload";
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_NE(Messages()[0].find("\"Sync\" not written"), std::string::npos) << Messages()[0];

    emu::RegSetString(kKey, "Sync", "2"); // the tool asks again
    ReloadSettings();
    EXPECT_TRUE(SyncRequested);
    SyncRequested = false;
    emu::ClearRegFailures();
    ReloadSettings();
    EXPECT_FALSE(SyncRequested);
    EXPECT_EQ(emu::RegGetString(kKey, "Sync"), std::optional<std::string>(""));
    emu::RegSetString(kKey, "Sync", "2"); // the same text again, now that clearing works
    ReloadSettings();
    EXPECT_TRUE(SyncRequested);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(SettingsTest, StatusWritesStoreTerminatedTextsAndContainFailures) {
    OpenSettings();
    WriteStatus("MonitorLtc", "12:00:00.000");
    WriteStatus("LastSync", "");
    EXPECT_EQ(emu::RegGetValue(kKey, "MonitorLtc")->Data, Bytes("12:00:00.000"));
    EXPECT_EQ(emu::RegGetValue(kKey, "LastSync")->Data, std::vector<std::uint8_t>{0});

    emu::InjectRegFailure(emu::RegOp::Set, 1450, 3, "MonitorLtc");
    for (int i = 0; i < 3; ++i) {
        WriteStatus("MonitorLtc", "x");
        WriteStatus("MonitorSystem", "y");
    }
    EXPECT_EQ(emu::RegGetString(kKey, "MonitorLtc"), std::optional<std::string>("12:00:00.000"));
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_NE(Messages()[0].find("\"MonitorLtc\""), std::string::npos);
    EXPECT_NE(Messages()[0].find("1450"), std::string::npos);
    WriteStatus("MonitorLtc", "z"); // works again, and a new failure is news again
    EXPECT_EQ(emu::RegGetString(kKey, "MonitorLtc"), std::optional<std::string>("z"));
    emu::InjectRegFailure(emu::RegOp::Set, 5, 1, "MonitorLtc");
    WriteStatus("MonitorLtc", "w");
    EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(SettingsTest, WithoutAnOpenKeyEverythingReadsAbsentAndNothingThrows) {
    emu::InjectRegFailure(emu::RegOp::Create, 5);
    SettingsRegistry = std::make_unique<TRegistryDefault>();
    SettingsRegistry->SetRootKeyLocalMachine();
    EXPECT_FALSE(SettingsRegistry->OpenKey(kSettingsKeyPath, true));
    EXPECT_FALSE(emu::RegKeyExists(kKey));
    ReloadSettings();
    EXPECT_EQ(Settings.DifSys, 300000);
    EXPECT_FALSE(SyncRequested);
    EXPECT_TRUE(PopUpsWanted());
    WriteStatus("MonitorVersion", "v");
    WriteStatus("MonitorVersion", "v");
    EXPECT_EQ(Messages().size(), 2u); // "Sync" and "MonitorVersion", once each

    SettingsRegistry.reset(); // and with no registry object at all
    ReloadSettings();
    WriteStatus("LastSet", "t");
    EXPECT_EQ(Settings.SelectTimezone, 1);
}

// A port id has no nearer bound that means anything: outside its range, or not a number, the
// first port serves, and the entry says so once per change, as for every setting.
TEST_F(SettingsTest, PortIdComesFromIoadrWithinItsRange) {
    struct Case {
        const char* name;
        std::function<void()> script;
        std::uint16_t want;
        const char* logged = nullptr; // after "Registry value "IOADR" "
    };
    ReadPortId();
    EXPECT_FALSE(emu::RegKeyExists(kKey)) << "reading the port id must not create the key";
    const Case cases[] = {
        {"key absent", [] {}, 4097},
        {"value absent", [] { emu::RegCreateKeyPath(kKey); }, 4097},
        {"0", [] { emu::RegSetDword(kKey, "IOADR", 0); }, 4097, "out of range: 0, 4097 used"},
        {"4096", [] { emu::RegSetDword(kKey, "IOADR", 4096); }, 4097,
         "out of range: 4096, 4097 used"},
        {"4097", [] { emu::RegSetDword(kKey, "IOADR", 4097); }, 4097},
        {"4101", [] { emu::RegSetDword(kKey, "IOADR", 4101); }, 4101},
        {"4106", [] { emu::RegSetDword(kKey, "IOADR", 4106); }, 4106},
        {"4107", [] { emu::RegSetDword(kKey, "IOADR", 4107); }, 4097,
         "out of range: 4107, 4097 used"},
        {"4097 + 65536", [] { emu::RegSetDword(kKey, "IOADR", 4097 + 65536); }, 4097,
         "out of range: 69633, 4097 used"},
        {"-1", [] { emu::RegSetDword(kKey, "IOADR", 0xFFFFFFFF); }, 4097,
         "out of range: -1, 4097 used"},
        {"string", [] { emu::RegSetString(kKey, "IOADR", "4100"); }, 4097,
         "ignored, default used: wrong type (REG_SZ) of value \"IOADR\""},
        {"open fails",
         [] {
             emu::RegSetDword(kKey, "IOADR", 4100);
             emu::InjectRegFailure(emu::RegOp::Open, 5);
         },
         4097},
        {"read-only key",
         [] {
             emu::RegSetDword(kKey, "IOADR", 4102);
             emu::RegSetKeyReadOnly(kKey, true);
         },
         4102},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetAll();
        c.script();
        EXPECT_EQ(ReadPortId(), c.want);
        EXPECT_EQ(ReadPortId(), c.want);
        EXPECT_EQ(emu::RegOpenKeys(), 0);
        std::vector<std::string> want;
        if (c.logged != nullptr) {
            want.push_back(std::string("Registry value \"IOADR\" ") + c.logged);
        }
        EXPECT_EQ(Messages(), want);
    }
}

} // namespace
