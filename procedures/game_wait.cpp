#include "procedures/game_wait.h"

#include "engine/game_process.h"
#include "engine/run_state.h"

#include <windows.h>

namespace orvek {

bool game_closed_within_wait(const std::filesystem::path& installation, game_poll poll) {
    const ULONGLONG deadline = GetTickCount64() + scaled_wait(game_wait_ms);
    while (is_game_running(installation)) {
        if (GetTickCount64() >= deadline) return false;
        if (poll == game_poll::checkpoint_then_sleep) {
            check_pause_cancel();
            Sleep(scaled_wait(game_poll_ms));
        } else {
            sleep_interruptible(game_poll_ms);  // scales itself
        }
    }
    return true;
}

}  // namespace orvek
