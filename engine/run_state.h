#pragma once

// The one piece of state that the threads of a run share: pause and cancel,
// the request gate, the status line, progress counters and the message-box
// channel to the window.

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace orvek {

// Window messages of the worker-to-window channel.
inline constexpr UINT worker_finished_message = WM_APP;
inline constexpr UINT status_changed_message = WM_APP + 1;
inline constexpr UINT show_message_box_message = WM_APP + 2;

inline constexpr char cancelled_at_checkpoint_text[] =
    "Update cancelled. Partial sound downloads are retained.";
inline constexpr char cancelled_at_slot_text[] = "Update cancelled.";

// Guarded by state_mutex.
extern std::mutex state_mutex;
extern std::condition_variable state_changed;
extern bool paused;
extern bool cancelled;
extern std::uint64_t active_requests;
extern std::uint64_t max_connections;
extern std::wstring status_text;
extern std::wstring current_file;

// Progress counters of the current attempt.
extern std::atomic<std::uint64_t> total_bytes;
extern std::atomic<std::uint64_t> done_bytes;
extern std::atomic<std::uint64_t> received_bytes;
extern std::atomic<std::uint64_t> total_files;
extern std::atomic<std::uint64_t> finished_files;
extern std::atomic<std::uint64_t> checked_files;

// Touched only on the window's thread.
extern std::uint64_t attempt_start_tick;

extern std::atomic<bool> worker_finished;
extern std::atomic<bool> user_cancelled;
extern std::atomic<bool> retry_requested;

// Written before any other thread of the attempt starts.
extern bool repair_requested;

extern HWND main_window;

// Test seam: sleep_interruptible and the waits for the game divide their
// lengths by this (at least 1 ms remains of a non-zero wait). Only test code
// changes it; the program has no input that reaches it.
extern std::atomic<std::uint32_t> wait_divisor;
std::uint32_t scaled_wait(std::uint32_t milliseconds);

// Blocks while paused; throws cancelled_at_checkpoint_text when cancelled.
void check_pause_cancel();
bool checkpoint_ready();  // call with state_mutex held

// Waits up to `milliseconds` unless cancelled; throws like check_pause_cancel.
void sleep_interruptible(std::uint32_t milliseconds);
bool is_cancelled();  // call with state_mutex held

// Stops the run: sets cancelled, clears paused, wakes every waiter.
void request_cancel() noexcept;

// One of the max_connections request slots, held for a request's whole life.
class request_slot {
public:
    request_slot();
    ~request_slot();
    request_slot(const request_slot&) = delete;
    request_slot& operator=(const request_slot&) = delete;
};
bool request_slot_ready();  // call with state_mutex held

void set_status(const std::wstring& text);

int show_message_box(const wchar_t* text, const wchar_t* caption, std::uint32_t type);

void metadata_checkpoint();
void download_checkpoint();

}  // namespace orvek
