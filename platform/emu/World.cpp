#include "platform/emu/World.h"

#include <mutex>
#include <vector>

namespace emu {
namespace {
// Appended to at static initialisation only; read by ResetWorld on the test's thread.
std::vector<void (*)()>& Resets() {
    static std::vector<void (*)()> resets;
    return resets;
}
} // namespace

detail::ResetRegistration::ResetRegistration(void (*reset)()) noexcept {
    Resets().push_back(reset);
}

void ResetWorld() {
    for (auto* reset : Resets()) {
        reset();
    }
}

} // namespace emu
