// A fresh emulated world and fresh module state for the card, settings and notification tests.
#pragma once

#include "card/CardLink.h"
#include "engine/Settings.h"
#include "platform/emu/World.h"
#include "service/ModuleState.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

class CardWorld : public ::testing::Test {
  protected:
    void SetUp() override { ResetAll(); }
    void TearDown() override { ResetAll(); }

    static void ResetAll() {
        emu::ResetWorld();
        ResetModuleState();
    }

    static constexpr const char* kKey = "SOFTWARE\\Tecora";
    static constexpr const char* kSimKey = "SOFTWARE\\TecoraSim";

    // Virtual milliseconds that pass while f runs.
    template <typename F> static std::int64_t ElapsedMs(F&& f) {
        const std::int64_t before = emu::TrueTime100ns();
        f();
        return (emu::TrueTime100ns() - before) / 10000;
    }

    // The entries' texts without the leading line break that every entry carries.
    static std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& text : emu::EventLogTexts()) {
            out.push_back(text.rfind("\r\n", 0) == 0 ? text.substr(2) : "<no break>" + text);
        }
        return out;
    }
};
