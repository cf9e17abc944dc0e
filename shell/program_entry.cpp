#include "shell/program_entry.h"

#include "engine/run_state.h"
#include "engine/win_handle.h"
#include "procedures/update_run.h"
#include "shell/main_window.h"

#include <objbase.h>

#include <algorithm>
#include <exception>
#include <thread>

namespace orvek {

namespace {

constexpr wchar_t window_title[] = L"ORVEK Updater";

// Ends COM on the window's thread when it was started there.
class com_apartment {
public:
    com_apartment() : result_(CoInitializeEx(/*reserved*/ nullptr, COINIT_APARTMENTTHREADED)) {}
    ~com_apartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    com_apartment(const com_apartment&) = delete;
    com_apartment& operator=(const com_apartment&) = delete;

private:
    HRESULT result_;
};

void reset_run_state() {
    retry_requested = false;
    worker_finished = false;
    user_cancelled = false;
    {
        // No other thread of the run is alive yet, so nobody waits to be told.
        std::lock_guard lock(state_mutex);
        paused = false;
        cancelled = false;
    }
    attempt_start_tick = GetTickCount64();
    received_bytes = 0;
    done_bytes = 0;
    total_bytes = 0;
    finished_files = 0;
    total_files = 0;
    checked_files = 0;
}

void reset_buttons() {
    // Retry is about to be disabled; the focus must not stay on it.
    if (GetFocus() == retry_button) SetFocus(status_edit);
    EnableWindow(pause_button, TRUE);
    EnableWindow(resume_button, FALSE);
    EnableWindow(cancel_button, TRUE);
    EnableWindow(close_button, FALSE);
    EnableWindow(retry_button, FALSE);
}

void pump_messages() {
    MSG message;
    // 0 is WM_QUIT, -1 an error: both end the attempt's loop.
    while (GetMessageW(&message, /*any window*/ nullptr, /*all messages*/ 0, 0) > 0) {
        if (!IsDialogMessageW(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

}  // namespace

bool has_piano_bank_switch(const wchar_t* command_line) {
    const std::vector<std::wstring> arguments = program_arguments(command_line);
    return std::find(arguments.begin(), arguments.end(), L"--piano-bank") != arguments.end();
}

bool has_piano_bank_switch() { return has_piano_bank_switch(GetCommandLineW()); }

const wchar_t* single_instance_mutex_name(bool piano) {
    return piano ? piano_bank_mutex_name : updater_mutex_name;
}

void run_worker(int& result, update_function update) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    const int r = update();
    result = r;
    PostMessageW(main_window, worker_finished_message, static_cast<WPARAM>(static_cast<INT_PTR>(r)), /*unused*/ 0);
}

int run_attempts(update_function update) {
    int result = 1;
    do {
        reset_run_state();
        reset_buttons();
        std::thread worker;
        try {
            worker = std::thread(worker_closure{result, update});
        } catch (const std::exception&) {
            // The window shows the failed state, with Retry.
            set_status(L"Could not create the update worker. Close other programs and Retry.");
            PostMessageW(main_window, worker_finished_message, 1, /*unused*/ 0);
        }
        pump_messages();
        if (worker.joinable()) worker.join();
    } while (retry_requested);
    return result;
}

int run_program() {
    const bool piano = has_piano_bank_switch();
    SetLastError(ERROR_SUCCESS);
    win_handle mutex(CreateMutexW(/*security*/ nullptr, /*owned*/ FALSE, single_instance_mutex_name(piano)));
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
        mutex.reset();
        show_message_box(piano ? piano_bank_refusal_text : updater_refusal_text, window_title, MB_ICONINFORMATION);
        return 1;
    }

    int result = 1;
    {
        const com_apartment com;
        attempt_start_tick = GetTickCount64();
        create_main_window();
        if (main_window == nullptr) {
            // Every attempt needs the window to end its message loop; without
            // it the program would wait for ever, unseen.
            show_message_box(window_failure_text, window_title, MB_ICONERROR);
        } else {
            result = run_attempts(run_update);
        }
        mutex.reset();
    }
    return result;
}

}  // namespace orvek
