// The closed loop against the harder card: the card's values of a scenario reach the card, and
// an unplugged input is seen by the service as its timecode gone and back.
#include "sim/ClosedLoop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

class Events : public sim::Observer {
  public:
    void EventLogged(double timeS, std::uint16_t /*type*/, const std::string& text) override {
        Logged.emplace_back(timeS, text);
    }
    void StatusChanged(double /*timeS*/, const std::string& /*name*/, const std::string& /*text*/,
                       double /*errorMs*/) override {}
    // When the first entry starting with this text was logged; -1: never.
    [[nodiscard]] double At(const std::string& start) const {
        for (const auto& [at, text] : Logged) {
            if (text.rfind(start, 0) == 0) {
                return at;
            }
        }
        return -1;
    }
    std::vector<std::pair<double, std::string>> Logged;
};

double MeanErrorFrom(const std::vector<sim::Sample>& samples, double fromS) {
    double sum = 0;
    int n = 0;
    for (const sim::Sample& s : samples) {
        if (s.TimeS >= fromS) {
            sum += s.ErrorMs;
            ++n;
        }
    }
    return n == 0 ? 0 : sum / n;
}

TEST(SimulatedWorld, TheCardsValuesReachTheCard) {
    // Stamps of the interrupt clock lag the frame by half a tick on average, and the default law
    // holds the stamped difference at zero, so the clock sits that much ahead.
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::uint32_t>> card;
        double meanLow, meanHigh; // ms, the second half of the run
    };
    const Case cases[] = {
        {"ideal card", {}, -1.0, 1.0},
        {"interrupt-clock stamps", {{"StampClock", 1}}, 4.0, 12.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Scenario s;
        s.DurationS = 240;
        s.OffsetMs = 0;
        s.Card = c.card;
        const sim::RunResult run = sim::RunClosedLoop(s, nullptr);
        const double mean = MeanErrorFrom(run.Samples, 120);
        EXPECT_GE(mean, c.meanLow);
        EXPECT_LE(mean, c.meanHigh);
    }
}

TEST(SimulatedWorld, AnUnpluggedInputIsTimecodeGoneAndBack) {
    sim::Scenario s;
    s.DurationS = 60;
    s.Unplugged = {{10, 30}};
    Events events;
    (void)sim::RunClosedLoop(s, &events);
    const double lost = events.At("LTC source failure");
    const double back = events.At("LTC source restored");
    EXPECT_GT(lost, 10);
    EXPECT_LT(lost, 15);
    EXPECT_GE(back, 30);
    EXPECT_LT(back, 31);
}

} // namespace
