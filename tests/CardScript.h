// A card library that a test switches between behaviours while the service runs: the
// simulated card, reads failing with a code, or the simulated card's records with one field
// overwritten. And a run of the whole service cycle by cycle under such a script.
#pragma once

#include "ServiceWorld.h"

#include "TimeFunc/TimecodeRecord.h"
#include "platform/emu/World.h"
#include "simcard/SimCard.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

namespace servicetest {

struct CardBehaviour {
    std::int32_t ReadCode = 0; // not 0: reads return this instead of a record
    bool SetModeFails = false; // tecSetRealtimeMode returns ReadCode too (the card is gone)
    std::uint16_t TimecodeRecord::*Overwrite = nullptr; // a field given Value in every record
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
            if (result == 0 && b.Overwrite != nullptr) {
                TimecodeRecord r;
                std::memcpy(&r, record, sizeof r);
                r.*b.Overwrite = b.Value;
                std::memcpy(record, &r, sizeof r);
            }
            return result;
        });
        emu::SetTecSetRealtimeMode([state = state_](std::int32_t handle, std::uint32_t mode) {
            const CardBehaviour b = state->Get();
            return b.SetModeFails && b.ReadCode < 0 ? b.ReadCode : tecSetRealtimeMode(handle, mode);
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
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// What the world looked like at the end of one cycle of the loop (at its stop test).
struct CycleEnd {
    std::size_t Cycle = 0; // 1 for the first cycle
    std::int64_t At100ns = 0;
    double ClockErrorMs = 0;
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
        atCycleEnd({++done, emu::TrueTime100ns(), emu::ClockErrorMs()});
        if (done == cycles) {
            emu::PostControl(plat::kServiceControlStop);
        }
    });
}

} // namespace servicetest
