// Exercises the card library the way the service binds it (by ordinal, through the platform
// seam) and prints what it answers, one "key=value" line each, for the Wine tests to compare
// with the simulated card's configuration.
#include "TimeFunc/TimecodeRecord.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::int32_t DayMs(std::uint32_t h, std::uint32_t m, std::uint32_t s, std::uint32_t ms) {
    return static_cast<std::int32_t>(((h * 60 + m) * 60 + s) * 1000 + ms);
}

} // namespace

int main(int argc, char** argv) {
    const std::uint32_t port =
        argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 0;

    std::int32_t handle = 0;
    const std::int32_t opened = plat::TecOpen(&handle, port);
    std::printf("open=%d\nhandle=%d\n", opened, handle);
    std::printf("errortext=%s\n", plat::TecGetErrorText());
    if (opened != 0) {
        // A closed handle must be refused as well.
        TimecodeRecord record;
        std::printf("readclosed=%d\n", plat::TecReadTime(-1, &record));
        return 0;
    }

    std::uint32_t state = 0;
    std::uint32_t firmware = 0;
    std::uint32_t library = 0;
    std::printf("version=%d\n", plat::TecGetVersion(handle, &state, &firmware, &library));
    std::printf("cardstate=%u\nfirmware=%u\nlibrary=%u\n", state, firmware, library);

    std::uint32_t units = 0;
    std::uint32_t tens = 0;
    std::uint32_t letter = 0;
    std::printf("info=%d\n", plat::TecGetCardInfo(handle, &units, &tens, &letter));
    std::printf("units=%u\ntens=%u\nletter=%u\n", units, tens, letter);

    std::printf("realtime=%d\n", plat::TecSetRealtimeMode(handle, 0));

    // The first read may find no new frame yet; give it a few frames.
    TimecodeRecord record;
    std::int32_t read = 1;
    for (int attempt = 0; attempt < 20 && read == 1; ++attempt) {
        read = plat::TecReadTime(handle, &record);
        if (read == 1) {
            plat::Sleep(10);
        }
    }
    std::printf("read=%d\n", read);
    if (read == 0) {
        std::printf("flags=%u\nzone=%u\n", record.Flags, record.LtcZone);
        std::printf("ltc=%.2u:%.2u:%.2u.%.3u %.2u-%.2u-%u\n", record.LtcHour, record.LtcMinute,
                    record.LtcSecond, record.LtcMilliseconds, record.LtcDay, record.LtcMonth,
                    record.LtcYear);
        std::printf("system=%.2u:%.2u:%.2u.%.3u %.2u-%.2u-%u\n", record.SystemHour,
                    record.SystemMinute, record.SystemSecond, record.SystemMilliseconds,
                    record.SystemDay, record.SystemMonth, record.SystemYear);
        // System ahead of timecode, in ms, wrapped into half a day either way.
        std::int32_t diff =
            DayMs(record.SystemHour, record.SystemMinute, record.SystemSecond,
                  record.SystemMilliseconds) -
            DayMs(record.LtcHour, record.LtcMinute, record.LtcSecond, record.LtcMilliseconds);
        constexpr std::int32_t kDay = 86400000;
        if (diff > kDay / 2) {
            diff -= kDay;
        } else if (diff < -kDay / 2) {
            diff += kDay;
        }
        std::printf("diffms=%d\n", diff);
    }

    std::printf("close=%d\n", plat::TecClose(handle));
    std::printf("readclosed=%d\n", plat::TecReadTime(handle, &record));
    return 0;
}
