#include "engine/run_state.h"

#include <chrono>
#include <stdexcept>

namespace orvek {

std::mutex state_mutex;
std::condition_variable state_changed;
bool paused = false;
bool cancelled = false;
std::uint64_t active_requests = 0;
std::uint64_t max_connections = 2;
std::wstring status_text = L"Checking for updates.";
std::wstring current_file;

std::atomic<std::uint64_t> total_bytes{0};
std::atomic<std::uint64_t> done_bytes{0};
std::atomic<std::uint64_t> received_bytes{0};
std::atomic<std::uint64_t> total_files{0};
std::atomic<std::uint64_t> finished_files{0};
std::atomic<std::uint64_t> checked_files{0};

std::uint64_t attempt_start_tick = 0;

std::atomic<bool> worker_finished{false};
std::atomic<bool> user_cancelled{false};
std::atomic<bool> retry_requested{false};

bool repair_requested = false;

HWND main_window = nullptr;

std::atomic<std::uint32_t> wait_divisor{1};

std::uint32_t scaled_wait(std::uint32_t milliseconds)
{
    if (milliseconds == 0) {
        return 0;
    }
    const std::uint32_t divisor = wait_divisor.load();
    const std::uint32_t scaled = divisor > 1 ? milliseconds / divisor : milliseconds;
    return scaled == 0 ? 1 : scaled;
}

bool checkpoint_ready()
{
    return !paused || cancelled;
}

bool is_cancelled()
{
    return cancelled;
}

void check_pause_cancel()
{
    std::unique_lock lock(state_mutex);
    state_changed.wait(lock, checkpoint_ready);
    if (cancelled) {
        throw std::runtime_error(cancelled_at_checkpoint_text);
    }
}

void sleep_interruptible(std::uint32_t milliseconds)
{
    check_pause_cancel();
    {
        std::unique_lock lock(state_mutex);
        // Only a cancel ends the wait early; pause is looked at afterwards.
        state_changed.wait_for(lock, std::chrono::milliseconds(scaled_wait(milliseconds)), is_cancelled);
    }
    check_pause_cancel();
}

void request_cancel() noexcept
{
    {
        std::lock_guard lock(state_mutex);
        cancelled = true;
        paused = false;
    }
    state_changed.notify_all();
}

bool request_slot_ready()
{
    if (cancelled) {
        return true;
    }
    if (paused) {
        return false;
    }
    return active_requests < max_connections;
}

request_slot::request_slot()
{
    std::unique_lock lock(state_mutex);
    state_changed.wait(lock, request_slot_ready);
    if (cancelled) {
        throw std::runtime_error(cancelled_at_slot_text);
    }
    ++active_requests;
}

request_slot::~request_slot()
{
    {
        std::lock_guard lock(state_mutex);
        --active_requests;
    }
    state_changed.notify_all();
}

void set_status(const std::wstring& text)
{
    {
        std::lock_guard lock(state_mutex);
        if (text == status_text) {
            return;
        }
        status_text = text;
    }
    // Posted after unlocking: state_mutex is never held across a window message.
    if (main_window != nullptr) {
        PostMessageW(main_window, status_changed_message, /*wparam*/ 0, /*lparam*/ 0);
    }
}

int show_message_box(const wchar_t* text, const wchar_t* caption, std::uint32_t type)
{
    const HWND window = main_window;
    if (window != nullptr && GetWindowThreadProcessId(window, /*process id*/ nullptr) != GetCurrentThreadId()) {
        // The window's thread shows the box under its own title.
        return static_cast<int>(SendMessageW(window, show_message_box_message, static_cast<WPARAM>(type),
                                             reinterpret_cast<LPARAM>(text)));
    }
    return MessageBoxW(window, text, caption, type);
}

void metadata_checkpoint()
{
    check_pause_cancel();
}

void download_checkpoint()
{
    check_pause_cancel();
}

}  // namespace orvek
