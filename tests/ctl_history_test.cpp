// chronelctl report's decisions, history and report over history files, and the day picture
// as a person sees it: rendered to PNG and looked at where the data says the marks stand.
#include "CardWorld.h"

#include "ctl/Ctl.h"
#include "ctl/CtlHistory.h"
#include "platform/emu/EmuProcess.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

using history::Row;
using history::State;

constexpr std::int64_t kDay = 1796601600; // 2026-12-07T00:00Z

Row Minute(std::int64_t minuteOfDay, State st = State::Locked, std::int32_t lo = -1,
           std::int32_t hi = 1, const std::string& settings = "") {
    Row r;
    r.MinuteUnix = kDay + minuteOfDay * 60;
    r.St = st;
    r.Good = st == State::TimecodeLost ? 0 : 1200;
    r.Failed = st == State::TimecodeLost ? 1200 : 0;
    r.MinMs = lo;
    r.MaxMs = hi;
    r.MeanMs = (lo + hi) / 2.0;
    r.ByTimecode = true;
    r.Settings = settings;
    return r;
}

// A whole day locked, with the minutes [from, to) made by `make` or left out when it is null.
std::vector<Row> Day(std::int64_t from = 0, std::int64_t to = 0,
                     Row (*make)(std::int64_t) = nullptr) {
    std::vector<Row> rows;
    for (std::int64_t m = 0; m < 1440; ++m) {
        if (m >= from && m < to) {
            if (make != nullptr) {
                rows.push_back(make(m));
            }
            continue;
        }
        rows.push_back(Minute(m));
    }
    return rows;
}

TEST(Report, DecisionsFollowTheWorstMinuteOfThePeriod) {
    struct Case {
        const char* What;
        std::vector<Row> Rows;
        int Exit;
        std::int64_t Within2;
        std::int64_t WithinLimit;
        std::size_t Outages;
    };
    const std::vector<Case> cases = {
        {"locked throughout", Day(), 0, 1440, 1440, 0},
        {"2 ms is still locked",
         Day(600, 601, [](std::int64_t m) { return Minute(m, State::Locked, -2, 2); }), 0, 1440,
         1440, 0},
        {"one minute at 3 ms",
         Day(600, 601, [](std::int64_t m) { return Minute(m, State::Correcting, 0, 3); }), 1, 1439,
         1440, 0},
        {"beyond DifErr",
         Day(600, 601, [](std::int64_t m) { return Minute(m, State::OutOfLimits, 0, 400000); }), 2,
         1439, 1439, 0},
        {"beyond a DifErr the row names",
         Day(600, 601,
             [](std::int64_t m) {
                 return Minute(m, State::Correcting, -50, 0, "DifErr=20;SyncMode=1");
             }),
         2, 1439, 1439, 0},
        {"DifErr off",
         Day(600, 601,
             [](std::int64_t m) { return Minute(m, State::Correcting, -50, 0, "DifErr=0"); }),
         1, 1439, 1440, 0},
        {"timecode lost",
         Day(360, 370, [](std::int64_t m) { return Minute(m, State::TimecodeLost); }), 2, 1430,
         1430, 1},
        {"no rows", Day(360, 370), 2, 1430, 1430, 1},
        {"nothing at all", {}, 3, 0, 0, 1},
    };
    for (const Case& c : cases) {
        const ctl::Proof p = ctl::BuildProof(c.Rows, kDay, kDay + 86400);
        EXPECT_EQ(ctl::ProofExit(p), c.Exit) << c.What;
        EXPECT_EQ(p.Minutes, 1440) << c.What;
        EXPECT_EQ(p.Within2, c.Within2) << c.What;
        EXPECT_EQ(p.WithinLimit, c.WithinLimit) << c.What;
        EXPECT_EQ(p.Outages.size(), c.Outages) << c.What;
        EXPECT_EQ(ctl::ProofText(p).back().rfind(ctl::Headline(c.Exit, ""), 0), 0U) << c.What;
    }
}

TEST(Report, OutagesHaveStartEndAndLengthAndTheWorstKeepsItsSign) {
    // Lost rows 06:00-06:10 run straight into missing ones 06:10-06:30: one outage. The
    // minutes missing at the end of the period are a second one.
    std::vector<Row> rows =
        Day(360, 390, [](std::int64_t m) { return Minute(m, State::TimecodeLost); });
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const Row& r) {
                                  const std::int64_t m = (r.MinuteUnix - kDay) / 60;
                                  return (m >= 370 && m < 390) || m >= 1430;
                              }),
               rows.end());
    rows[700] = Minute(700 + 20, State::Correcting, -37, 12);
    const ctl::Proof p = ctl::BuildProof(rows, kDay, kDay + 86400);
    ASSERT_EQ(p.Outages.size(), 2U);
    EXPECT_EQ(p.Outages[0].Start, kDay + 6 * 3600);
    EXPECT_EQ(p.Outages[0].End, kDay + 6 * 3600 + 30 * 60);
    EXPECT_FALSE(p.Outages[0].NoRows);
    EXPECT_EQ(p.Outages[1].Start, kDay + 1430 * 60);
    EXPECT_EQ(p.Outages[1].End, kDay + 86400);
    EXPECT_TRUE(p.Outages[1].NoRows);
    EXPECT_EQ(p.WorstMs, -37);
    EXPECT_EQ(p.WorstMinute, kDay + 720 * 60);
    const std::vector<std::string> text = ctl::ProofText(p);
    const auto has = [&text](const std::string& part) {
        return std::any_of(text.begin(), text.end(), [&part](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("2026-12-07T06:00Z to 2026-12-07T06:30Z  30 min  no usable timecode"));
    EXPECT_TRUE(has("2026-12-07T23:50Z to 2026-12-08T00:00Z  10 min  no history"));
    EXPECT_TRUE(has("2, 40 min in all"));
    EXPECT_TRUE(has("-37 ms in the minute from 2026-12-07T12:00Z"));
    EXPECT_TRUE(has("within 2 ms         97.15 %"));
}

class HistoryCommands : public CardWorld {
  protected:
    // The emulated PC's clock starts at 2026-12-06T12:00Z: the morning of that day is past.
    static constexpr std::int64_t kMorning = kDay - 86400;

    static std::string Line(std::int64_t minuteOfDay, const char* rest) {
        return history::MinuteText(kMorning + minuteOfDay * 60) + rest;
    }

    // The console lines written since the last call.
    std::vector<std::string> Lines() {
        const std::string all = emu::ConsoleOutput();
        const std::string since = all.substr(seen_);
        seen_ = all.size();
        return ctl::SplitLines(since);
    }

  private:
    std::size_t seen_ = 0;
};

TEST_F(HistoryCommands, ABackwardsHardSetNeitherReordersNorDoublesTheMinutes) {
    // The set at 05:00 took the clock back; the row of 05:01 written after it by the PC's clock
    // comes late in the file.
    std::string file = history::HeaderLine() + "\r\n";
    for (std::int64_t m = 0; m < 720; ++m) {
        file += Line(m, m == 300 ? ",locked,1200,0,-1,1,0.100,0.000,1,1,timecode,DifSys=100\r\n"
                                 : ",locked,1200,0,-1,1,0.100,0.000,0,0,timecode,DifSys=100\r\n");
        if (m == 303) {
            file += Line(301, ",locked,30,0,0,2,1.000,0.000,0,0,pc,DifSys=100\r\n");
        }
    }
    file += "2026-12-06T12:00Z,locked,12"; // torn by the crash
    emu::AddFolder("C:\\copies");
    emu::PutFile("C:\\copies\\chronel-2026-12-06.csv", file);

    EXPECT_EQ(ctl::Run({"history", "--dir", "C:\\copies", "--from", "2026-12-06", "--csv"}), 0);
    std::vector<std::string> out = Lines();
    ASSERT_EQ(out.size(), 721U);
    for (std::size_t i = 2; i < out.size(); ++i) {
        EXPECT_LT(out[i - 1].substr(0, 17), out[i].substr(0, 17)) << i;
    }
    EXPECT_EQ(out[302], Line(301, ",locked,1230,0,-1,2,0.122,0.000,0,0,timecode,DifSys=100"));

    EXPECT_EQ(ctl::Run({"report", "2026-12-06", "--dir", "C:\\copies"}), 0);
    out = Lines();
    EXPECT_NE(std::find(out.begin(), out.end(), "    2026-12-06T05:00Z"), out.end());
    EXPECT_EQ(out.back(),
              "  (1 lines that were not whole rows were left out: torn by a crash or a full disk)");

    EXPECT_EQ(ctl::Run({"history", "--dir", "C:\\copies", "--from", "2026-12-06T05:00", "--to",
                        "2026-12-06T07:00"}),
              0);
    out = Lines();
    ASSERT_EQ(out.size(), 2U);
    EXPECT_EQ(out[0],
              "2026-12-06T05Z  60 min: 60 locked; diff -1 to +2 ms, mean +0.10 ms; hard sets 1");

    // The service's own folder is the default; a day not yet begun is no report.
    EXPECT_EQ(ctl::Run({"report"}), 3);
    EXPECT_EQ(ctl::Run({"report", "2026-12-07", "--dir", "C:\\copies"}), 3);
    EXPECT_EQ(ctl::Run({"report", "--last", "12x", "--dir", "C:\\copies"}), 3);
}

// --- the picture, rendered ----------------------------------------------------------------------

struct Image {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;
    std::vector<std::uint8_t> Rgba;
    [[nodiscard]] std::uint32_t At(double x, double y) const {
        const auto i = (static_cast<std::size_t>(y) * Width + static_cast<std::size_t>(x)) * 4;
        return (std::uint32_t{Rgba[i]} << 16) | (std::uint32_t{Rgba[i + 1]} << 8) | Rgba[i + 2];
    }
};

std::uint32_t Be32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<std::uint8_t>(s[at + i]);
    }
    return v;
}

// An 8-bit RGB or RGBA PNG, as rsvg-convert writes it; the pixels as RGBA.
bool DecodePng(const std::string& png, Image& image) {
    if (png.size() < 33 || png.compare(1, 3, "PNG") != 0 || (png[25] != 2 && png[25] != 6) ||
        png[24] != 8) {
        return false;
    }
    const std::size_t bpp = png[25] == 6 ? 4 : 3;
    image.Width = Be32(png, 16);
    image.Height = Be32(png, 20);
    std::string packed;
    for (std::size_t at = 8; at + 8 <= png.size();) {
        const std::uint32_t length = Be32(png, at);
        if (png.compare(at + 4, 4, "IDAT") == 0) {
            packed += png.substr(at + 8, length);
        }
        at += 12 + length;
    }
    const std::size_t stride = image.Width * bpp;
    std::vector<std::uint8_t> raw(image.Height * (stride + 1));
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(packed.data()),
                   packed.size()) != Z_OK ||
        size != raw.size()) {
        return false;
    }
    std::vector<std::uint8_t> pixels(image.Height * stride);
    for (std::size_t y = 0; y < image.Height; ++y) {
        const std::uint8_t filter = raw[y * (stride + 1)];
        const std::uint8_t* in = &raw[y * (stride + 1) + 1];
        std::uint8_t* out = &pixels[y * stride];
        const std::uint8_t* up = y > 0 ? out - stride : nullptr;
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= bpp ? out[x - bpp] : 0;
            const int b = up != nullptr ? up[x] : 0;
            const int c = x >= bpp && up != nullptr ? up[x - bpp] : 0;
            int pred = 0;
            if (filter == 1) {
                pred = a;
            } else if (filter == 2) {
                pred = b;
            } else if (filter == 3) {
                pred = (a + b) / 2;
            } else if (filter == 4) {
                const int p = a + b - c;
                const int pa = std::abs(p - a);
                const int pb = std::abs(p - b);
                const int pc = std::abs(p - c);
                pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            }
            out[x] = static_cast<std::uint8_t>(in[x] + pred);
        }
    }
    image.Rgba.clear();
    for (std::size_t i = 0; i < pixels.size(); i += bpp) {
        image.Rgba.insert(image.Rgba.end(), {pixels[i], pixels[i + 1], pixels[i + 2], 0xFF});
    }
    return true;
}

std::uint32_t Rgb(const char* hex) {
    return static_cast<std::uint32_t>(std::strtoul(hex + 1, nullptr, 16));
}

TEST(DayPicture, RenderedMarksStandWhereTheDataSays) {
    if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "rsvg-convert is not installed (Debian package librsvg2-bin; "
                        "tools/setup.sh installs it): the picture is not rendered";
    }
    // Locked all day but for the timecode lost 06:00-07:00, no rows 15:00-16:00, and a spike
    // of 40 ms in the minute from 12:00.
    std::vector<Row> rows =
        Day(360, 420, [](std::int64_t m) { return Minute(m, State::TimecodeLost); });
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const Row& r) {
                                  return r.MinuteUnix >= kDay + 15 * 3600 &&
                                         r.MinuteUnix < kDay + 16 * 3600;
                              }),
               rows.end());
    rows[720] = Minute(720, State::Correcting, 0, 40);
    const std::string svg = ctl::DaySvg(rows, kDay);
    const ctl::DayLayout l = ctl::DayPlotLayout(rows);

    const std::string base = ::testing::TempDir() + "chronel-day-picture";
    std::ofstream(base + ".svg", std::ios::binary) << svg;
    ASSERT_EQ(std::system(("rsvg-convert -o '" + base + ".png' '" + base + ".svg'").c_str()), 0);
    std::ifstream in(base + ".png", std::ios::binary);
    const std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Image image;
    ASSERT_TRUE(DecodePng(png, image)) << png.size() << " bytes";
    ASSERT_EQ(image.Width, 1200U);
    ASSERT_EQ(image.Height, 620U);

    const auto diffX = [&l](double hour) { return l.Diff.X(hour); };
    const double high = l.Diff.Y(25); // between grid lines
    const double strip = l.State.Top + l.State.Height / 2;
    const std::uint32_t outage = Rgb(ctl::kOutageFill);
    const std::uint32_t white = 0xFFFFFF;
    EXPECT_EQ(image.At(diffX(6.5), high), outage);
    EXPECT_EQ(image.At(diffX(15.5), high), outage);
    EXPECT_EQ(image.At(diffX(10.5), high), white);
    EXPECT_EQ(image.At(l.State.X(6.5), strip), Rgb(ctl::StateColour(State::TimecodeLost)));
    EXPECT_EQ(image.At(l.State.X(15.5), strip), outage);
    EXPECT_EQ(image.At(l.State.X(10.5), strip), Rgb(ctl::StateColour(State::Locked)));
    // A single minute is a pixel wide there, blended with its neighbours: nearer to the
    // correcting colour than to the locked one.
    const auto distance = [](std::uint32_t a, std::uint32_t b) {
        int sum = 0;
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::abs(static_cast<int>((a >> shift) & 0xFF) -
                            static_cast<int>((b >> shift) & 0xFF));
        }
        return sum;
    };
    const std::uint32_t minute = image.At(l.State.X(12.0 + 1.0 / 120), strip);
    EXPECT_LT(distance(minute, Rgb(ctl::StateColour(State::Correcting))),
              distance(minute, Rgb(ctl::StateColour(State::Locked))));
    // The spike: coloured at its minute, the panel's white a little to each side.
    EXPECT_EQ(image.At(diffX(12.0) + 1.5, high), Rgb(ctl::kBandFill));
    EXPECT_EQ(image.At(diffX(12.0) - 6, high), white);
    EXPECT_EQ(image.At(diffX(12.0) + 8, high), white);
}

} // namespace
