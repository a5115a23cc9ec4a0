#include "CardWorld.h"

#include "TimeFunc/SystemInfo.h"
#include "card/CardIdentify.h"

#include <functional>

namespace {

class IdentifyTest : public CardWorld {
  protected:
    // A library that reports these values and answers the read with readResult.
    void Script(std::uint32_t letter, std::uint32_t tens, std::uint32_t units,
                std::uint32_t firmwareWord, std::int32_t readResult) {
        CardLink.Handle.store(5);
        emu::SetTecGetVersion(
            [=](std::int32_t handle, std::uint32_t* state, std::uint32_t* fw, std::uint32_t* lib) {
                EXPECT_EQ(handle, 5);
                *state = 1;
                *fw = firmwareWord;
                *lib = 517;
                return 0;
            });
        emu::SetTecGetCardInfo(
            [=](std::int32_t, std::uint32_t* u, std::uint32_t* t, std::uint32_t* l) {
                *u = units;
                *t = tens;
                *l = letter;
                return -14; // ignored
            });
        emu::SetTecReadTime([=](std::int32_t, void*) { return readResult; });
    }
};

TEST_F(IdentifyTest, CardTextAndAcceptanceFollowLetterFirmwareAndRead) {
    struct Case {
        std::uint32_t letter, tens, units, firmwareWord;
        std::int32_t read;
        bool accepted;
        const char* text;
        bool readMade;
    };
    const Case cases[] = {
        {'v', '1', '7', 9, 0, true, ".17    Card: PCIe KW", true},
        {'v', '1', '6', 9, 0, false, ".16    Card: Unknown (v)", false},
        {'l', '1', '7', 9, 0, true, ".17    Card: PCIe K", true},
        {'x', '2', '0', 9, 0, true, ".20    Card: PCIe Z5", true},
        {'x', ' ', '7', 74, 0, false, ". 7    Card: Unknown (x)", false},
        {'v', '0', '0', 74, 0, true, ".00    Card: PCIe KW", true},           // major 10: 1000
        {'v', '1', '7', 64 + 8, 0, false, ".17    Card: Unknown (v)", false}, // high bits ignored
        {'v', '1', '7', 8, 0, false, ".17    Card: Unknown (v)", false},
        {'T', ' ', '7', 1, 0, true, "    Card: PCI RX", true},
        {'T', '0', 'x', 1, 0, true, "    Card: PCI RX", true},
        {'T', '0', '1', 0, 0, true, ".01    Card: PCIe RX", true},
        {'t', 'a', 'b', 0, 0, true, ".ab    Card: PCIe RX", true},
        {'q', '5', '0', 9, 0, true, ".50    Card: Unknown (q)", true},
        {'q', '5', '0', 9, -7, false, ".50    Card: Unknown (q)", true},
        {'V', '9', '9', 63, 0, true, ".99    Card: Unknown (V)", true}, // letters are exact
        {'v', '1', '7', 9, 1, true, ".17    Card: PCIe KW", true},
        {'v', '1', '7', 9, -7, false, ".17    Card: PCIe KW", true},
        {'T', '1', '7', 9, -4, false, ".17    Card: PCIe RX", true},
        {0x100 + 'v', 0x200 + '1', '7', 9, 0, true, ".17    Card: PCIe KW", true},
        {0, '1', '7', 9, 0, true, ".17    Card: Unknown ()", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ResetAll();
        Script(c.letter, c.tens, c.units, c.firmwareWord, c.read);
        LastCardResult.store(12345);
        std::string text;
        std::uint32_t fw = 0;
        std::uint32_t lib = 0;
        bool accepted = false;
        EXPECT_EQ(ElapsedMs([&] { accepted = IdentifyCard(text, fw, lib); }), 10);
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(fw, c.firmwareWord);
        EXPECT_EQ(lib, 517u);
        EXPECT_EQ(emu::TecCallCount(emu::TecFn::ReadTime), c.readMade ? 1u : 0u);
        EXPECT_EQ(LastCardResult.load(), c.readMade ? c.read : 12345);
    }
}

TEST_F(IdentifyTest, VersionFailureAndUnusableCardStopAtOnce) {
    CardLink.Handle.store(5);
    LastCardResult.store(77);
    emu::SetTecGetVersion([](std::int32_t, std::uint32_t*, std::uint32_t* fw, std::uint32_t* lib) {
        *fw = 9;
        *lib = 300;
        return -4;
    });
    std::string text = "old";
    std::uint32_t fw = 0;
    std::uint32_t lib = 0;
    EXPECT_EQ(ElapsedMs([&] { EXPECT_FALSE(IdentifyCard(text, fw, lib)); }), 0);
    EXPECT_EQ(text, "error");
    EXPECT_EQ(fw, 9u) << "written by the library even though the card is refused";
    EXPECT_EQ(lib, 300u);
    EXPECT_EQ(LastCardResult.load(), 77);

    emu::SetTecGetVersion([](std::int32_t, std::uint32_t* state, std::uint32_t*, std::uint32_t*) {
        *state = 0;
        return 0;
    });
    EXPECT_EQ(ElapsedMs([&] { EXPECT_FALSE(IdentifyCard(text, fw, lib)); }), 0);
    EXPECT_EQ(text, "sta");
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::GetCardInfo), 0u);
    EXPECT_EQ(emu::TecCallCount(emu::TecFn::ReadTime), 0u);
}

TEST(VersionTextTest, ComposesFirmwareCardLibraryAndService) {
    struct Case {
        bool identified;
        const char* card;
        std::uint32_t fw, lib;
        const char* service;
        const char* want;
    };
    const Case cases[] = {
        {true, ".17    Card: PCIe RX", 9, 517, "1.0.0.12",
         "Firmware: 9.17    Card: PCIe RX    DLL: 2.05    Service: 1.0.0.12"},
        {true, ".00    Card: PCIe KW", 74, 0, "(not available)",
         "Firmware: A.00    Card: PCIe KW    DLL: 0.00    Service: (not available)"},
        {true, "    Card: PCI RX", 63 + 64, 0x12345, "ERROR2",
         "Firmware: 3F    Card: PCI RX    DLL: 35.69    Service: ERROR2"},
        {false, ".17    Card: PCIe RX", 9, 517, "1.0.0.1", "(not available)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VersionText(c.identified, c.card, c.fw, c.lib, c.service), c.want);
    }
}

class FileVersionTest : public CardWorld {};

TEST_F(FileVersionTest, ProductVersionOrFailureText) {
    const std::string path = emu::kDefaultModulePath;
    struct Case {
        const char* name;
        std::function<void()> script;
        const char* want;
    };
    const Case cases[] = {
        {"default", [] {}, "1.0.0.1"},
        {"all ones", [&] { emu::SetProductVersion(path, 0xFFFFFFFF, 0xFFFFFFFF); },
         "32767.65535.65535.65535"},
        {"bit 31 dropped", [&] { emu::SetProductVersion(path, 0x80010002, 0x00030004); },
         "1.2.3.4"},
        {"no resource", [&] { emu::RemoveVersionResource(path); }, "(not available)"},
        {"size fails", [] { emu::InjectVersionFailure(emu::VersionStep::Size, 1); },
         "(not available)"},
        {"info fails", [] { emu::InjectVersionFailure(emu::VersionStep::Info, 1); }, "ERROR3"},
        {"query fails", [] { emu::InjectVersionFailure(emu::VersionStep::Query, 1); }, "ERROR2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ResetWorld();
        c.script();
        std::string text = "stale";
        FileVersionText("c:\\program files\\QUORLAN\\chronel.exe", text);
        EXPECT_EQ(text, c.want);
    }
}

} // namespace
