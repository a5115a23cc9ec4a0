// A card library that a test switches between behaviours while the service runs: the
// simulated card, reads failing with a code, or the simulated card's records with one field
// overwritten. And a run of the whole service cycle by cycle under such a script.
#pragma once

#include "FaultWorld.h"

#include "TimeFunc/TimecodeRecord.h"
#include "platform/emu/World.h"
#include "simcard/SimCard.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>

namespace faultworld {

enum class Field : std::uint8_t {
    None,
    LtcMilliseconds,
    LtcSecond,
    LtcMinute,
    LtcHour,
    LtcDay,
    LtcMonth,
    LtcYear,
    LtcZone,
};

struct CardBehaviour {
    std::int32_t ReadCode = 0; // not 0: reads return this instead of a record
    bool SetModeFails = false; // tecSetRealtimeMode returns ReadCode too (the card is gone)
    Field Overwrite = Field::None;
    std::uint16_t Value = 0;
};

class ScriptedCard {
  public:
    ScriptedCard() {
        emu::SetTecReadTime([state = state_](std::int32_t handle, void* record) {
            const CardBehaviour b = state->Get();
            if (b.ReadCode != 0) {
                return b.ReadCode;
            }
            const std::int32_t result = tecReadTime(handle, record);
            if (result == 0 && b.Overwrite != Field::None) {
                Overwrite(record, b.Overwrite, b.Value);
            }
            return result;
        });
        emu::SetTecSetRealtimeMode([state = state_](std::int32_t handle, std::uint32_t mode) {
            const CardBehaviour b = state->Get();
            if (b.SetModeFails && b.ReadCode < 0) {
                return b.ReadCode;
            }
            return tecSetRealtimeMode(handle, mode);
        });
    }
    void Set(const CardBehaviour& behaviour) { state_->Set(behaviour); }
    void Normal() { state_->Set(CardBehaviour{}); }

  private:
    struct State {
        std::mutex Lock;
        CardBehaviour Behaviour;
        CardBehaviour Get() {
            const std::lock_guard<std::mutex> lock(Lock);
            return Behaviour;
        }
        void Set(const CardBehaviour& b) {
            const std::lock_guard<std::mutex> lock(Lock);
            Behaviour = b;
        }
    };

    static void Overwrite(void* record44, Field field, std::uint16_t value) {
        // In the order of Field, after None.
        static constexpr std::uint16_t TimecodeRecord::*kMembers[] = {
            &TimecodeRecord::LtcMilliseconds, &TimecodeRecord::LtcSecond,
            &TimecodeRecord::LtcMinute,       &TimecodeRecord::LtcHour,
            &TimecodeRecord::LtcDay,          &TimecodeRecord::LtcMonth,
            &TimecodeRecord::LtcYear,         &TimecodeRecord::LtcZone};
        static_assert(std::size(kMembers) == static_cast<std::size_t>(Field::LtcZone));
        if (field == Field::None) {
            return;
        }
        TimecodeRecord r;
        std::memcpy(&r, record44, sizeof r);
        r.*kMembers[static_cast<std::size_t>(field) - 1] = value;
        std::memcpy(record44, &r, sizeof r);
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// What the world looked like at the end of one cycle of the loop (at its stop test).
struct CycleEnd {
    std::size_t Cycle = 0; // 1 for the first cycle
    std::int64_t At100ns = 0;
    double ClockErrorMs = 0;
    bool ClockWithSystem = false;
    std::uint64_t AdjustmentCalls = 0;
    std::uint64_t SetTimeCalls = 0;
};

// Runs the service until `cycles` cycles of the loop have ended. atCycleEnd runs on the
// service thread at the end of every cycle, before its stop test; it may script the world
// for the next cycle.
inline void RunCycles(std::size_t cycles, const std::function<void(const CycleEnd&)>& atCycleEnd) {
    std::size_t done = 0;
    RunService([&](std::size_t, const char* call) {
        if (std::strcmp(call, "WaitForSingleObject") != 0 || done >= cycles) {
            return;
        }
        CycleEnd end;
        end.Cycle = ++done;
        end.At100ns = emu::TrueTime100ns();
        end.ClockErrorMs = emu::ClockErrorMs();
        end.ClockWithSystem = ClockWithSystem();
        const emu::ClockState clock = emu::Clock();
        end.AdjustmentCalls = clock.AdjustmentCalls;
        end.SetTimeCalls = clock.SetTimeCalls;
        atCycleEnd(end);
        if (done == cycles) {
            emu::PostControl(plat::kServiceControlStop);
        }
    });
}

} // namespace faultworld
