#pragma once

// The wait for the game to close before installed files are replaced: up to
// two minutes, polling every 250 ms. The client install, the sound install
// and the language repair each wait this way and report their own failure.

#include <cstdint>
#include <filesystem>

namespace orvek {

inline constexpr std::uint32_t game_wait_ms = 120'000;
inline constexpr std::uint32_t game_poll_ms = 250;

enum class game_poll {
    // Pause/cancel checkpoint, then a plain sleep (paused time counts).
    checkpoint_then_sleep,
    // sleep_interruptible: a cancel ends the wait at once.
    interruptible_sleep,
};

// True when the game of `installation` is not running, or has closed within
// two minutes from now.
bool game_closed_within_wait(const std::filesystem::path& installation, game_poll poll);

}  // namespace orvek
