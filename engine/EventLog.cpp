#include "engine/EventLog.h"

#include "platform/Platform.h"

std::atomic<std::uint64_t> EventLogEntries{0}; // counted by WriteEventLog, on any thread

void WriteEventLog(const std::string& text, std::uint16_t type) {
    try {
        const plat::OsHandle source = plat::RegisterEventSource(kServiceName);
        if (!plat::HandleValid(source)) {
            return; // nowhere to report it; the entry is lost
        }
        const std::string line = "\r\n" + text;
        if (plat::ReportEvent(source, type, 0, 0, line.c_str())) {
            EventLogEntries.fetch_add(1, std::memory_order_relaxed);
        }
        plat::DeregisterEventSource(source);
    } catch (...) {
        // Reporting must never take down the caller (out of memory composing the line).
    }
}
