// Stand-ins for the update run, so that this branch links on its own. Delete this file when the
// real ones are merged.

#include "engine/run_state.h"
#include "engine/settings.h"
#include "procedures/update_run.h"

#include <exception>
#include <mutex>

namespace orvek {

// Runs until cancelled, then fails like a cancelled run.
int run_update() {
    try {
        for (;;) sleep_interruptible(1000);
    } catch (const std::exception& error) {
        set_status(utf8_to_wide(std::string("Update failed: ") + error.what()));
        return 1;
    }
}

void report_status(const std::wstring& text) { set_status(text); }

}  // namespace orvek
