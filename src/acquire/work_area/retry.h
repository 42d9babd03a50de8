// How often the removal tries one entry that another program holds for a moment (a virus
// scanner reading the new package, say). Windows-free: the caller supplies the attempt and
// the way to give up the processor between attempts.
#pragma once

#include <cstdint>

namespace velbro {

inline constexpr int ENTRY_ATTEMPTS = 50;

// Runs `attempt` until it returns something other than `transient_error`, at most
// ENTRY_ATTEMPTS times, calling `yield` between attempts. Returns the last result.
template <typename Attempt, typename Yield>
std::uint32_t retry_while(std::uint32_t transient_error, Attempt attempt, Yield yield) {
    for (int tries = 1;; ++tries) {
        const std::uint32_t result = attempt();
        if (result != transient_error || tries == ENTRY_ATTEMPTS) return result;
        yield();
    }
}

}  // namespace velbro
