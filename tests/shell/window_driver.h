#pragma once
// Drives windows as a user and the program's other threads do.

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace orvek::test {

// The program's window made on this thread with a fresh run state; at the
// end it is destroyed and its WM_QUIT drained.
struct test_window {
    test_window();
    ~test_window();
};

// Handles this thread's messages as the program's loop does; true when a WM_QUIT came.
bool pump_pending();
// Pumps until done() holds or the time is up; returns done().
bool pump_until(const std::function<bool()>& done, DWORD timeout_ms = 10'000);
// Polls without pumping, from threads that own no window.
bool wait_until(const std::function<bool()>& done, DWORD timeout_ms = 20'000);

std::wstring text_of(HWND window);
// A visible top-level window of the process with that class ("#32770" for
// message boxes), or null when none came in time.
HWND wait_for_window(DWORD process_id, const wchar_t* class_name, DWORD timeout_ms = 60'000);
void press(HWND parent, int id);  // a posted BM_CLICK

// Real key presses (SendInput) to the foreground window: chords apart by
// spaces, keys of a chord joined by '+', e.g. "tab shift+tab alt+p space".
void send_keys(std::string_view chords);
// The same, typed into this thread's window; returns once they are handled.
void type(std::string_view chords);
// Makes the program's window the foreground one; false when it did not become it.
bool bring_to_front();

// A started program, ended when the owner goes: its boxes answered, its
// window closed, killed as the last resort. CreateProcessW's error 1359 (the
// child died in Wine's start-up) is retried and reported.
class updater_process {
public:
    updater_process(const std::filesystem::path& program, const std::wstring& arguments);
    ~updater_process();
    DWORD id() const { return id_; }
    DWORD wait(DWORD timeout_ms) const;  // the exit code, or STILL_ACTIVE

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

}  // namespace orvek::test
