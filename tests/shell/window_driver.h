#pragma once
// Drives windows the way a user and the program's other threads do: messages
// pumped on this thread, windows of other processes found and pressed, and
// the updater itself started as a process.

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

namespace orvek::test {

// The program's window made on this thread for one test, with the run state
// of a fresh attempt; destroyed and its WM_QUIT drained at the end.
class test_window {
public:
    test_window();
    ~test_window();
    test_window(const test_window&) = delete;
    test_window& operator=(const test_window&) = delete;
};

// Handles this thread's messages like the program's loop until `done` holds
// or `timeout_ms` pass; returns whether it held. A WM_QUIT sets *quit.
bool pump_until(const std::function<bool()>& done, DWORD timeout_ms, bool* quit = nullptr);
// Handles what is queued now; returns whether a WM_QUIT came.
bool pump_pending();

std::wstring window_text(HWND window);
std::wstring class_of(HWND window);
// A visible top-level window of that process and class, or null.
HWND find_window(DWORD process_id, const wchar_t* class_name);
HWND wait_for_window(DWORD process_id, const wchar_t* class_name, DWORD timeout_ms);
// The text of a message box.
std::wstring message_box_text(HWND box);
// Presses a button of a dialog or window without waiting for what follows.
void press(HWND parent, int id);

// orvek-updater.exe started with `arguments`, ended when the owner goes.
// CreateProcessW's error 1359 (the child died in Wine's start-up) is
// retried; how often is printed.
class updater_process {
public:
    updater_process(const std::filesystem::path& program, const std::wstring& arguments);
    ~updater_process();
    updater_process(const updater_process&) = delete;
    updater_process& operator=(const updater_process&) = delete;

    DWORD id() const { return id_; }
    // The exit code, or STILL_ACTIVE when it did not end in time.
    DWORD wait(DWORD timeout_ms) const;
    // Answers its boxes and closes its window until it ends; kills it last.
    void end();

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

}  // namespace orvek::test
