#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"

#include <chrono>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orvek::test {

namespace {

void reset_run_state() {
    std::lock_guard lock(state_mutex);
    paused = false;
    cancelled = false;
    status_text = L"Checking for updates.";
    worker_finished = false;
    user_cancelled = false;
    retry_requested = false;
}

struct window_search {
    DWORD process_id;
    const wchar_t* class_name;
    HWND found = nullptr;
};

BOOL CALLBACK match_window(HWND window, LPARAM parameter) {
    auto& search = *reinterpret_cast<window_search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.process_id || !IsWindowVisible(window) || class_of(window) != search.class_name) return TRUE;
    search.found = window;
    return FALSE;
}

}  // namespace

test_window::test_window() {
    reset_run_state();
    create_main_window();
    if (main_window == nullptr) throw std::runtime_error("the window was not created");
    pump_pending();
}

test_window::~test_window() {
    if (IsWindow(main_window)) DestroyWindow(main_window);
    pump_pending();
    reset_run_state();
}

bool pump_pending() {
    bool quit = false;
    MSG message;
    while (PeekMessageW(&message, /*any window*/ nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quit = true;
        } else if (!IsDialogMessageW(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return quit;
}

bool pump_until(const std::function<bool()>& done, DWORD timeout_ms, bool* quit) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pump_pending() && quit != nullptr) *quit = true;
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        MsgWaitForMultipleObjects(0, /*handles*/ nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring window_text(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring class_of(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

HWND find_window(DWORD process_id, const wchar_t* class_name) {
    window_search search{process_id, class_name};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND wait_for_window(DWORD process_id, const wchar_t* class_name, DWORD timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (const HWND found = find_window(process_id, class_name)) return found;
        if (std::chrono::steady_clock::now() > deadline) return nullptr;
        Sleep(50);
    }
}

std::wstring message_box_text(HWND box) {
    // The text of a message box is its static control 0xFFFF.
    return window_text(GetDlgItem(box, 0xFFFF));
}

void press(HWND parent, int id) {
    PostMessageW(GetDlgItem(parent, id), BM_CLICK, 0, 0);
}

updater_process::updater_process(const std::filesystem::path& program, const std::wstring& arguments) {
    std::wstring command = L"\"" + program.native() + L"\" " + arguments;
    int start_up_deaths = 0;
    for (;;) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (CreateProcessW(program.c_str(), command.data(), /*process security*/ nullptr, /*thread security*/ nullptr,
                           FALSE, /*flags*/ 0, /*environment*/ nullptr, program.parent_path().c_str(), &startup,
                           &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
            id_ = process.dwProcessId;
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || ++start_up_deaths == 5)
            throw std::runtime_error("CreateProcessW failed with " + std::to_string(error));
    }
    if (start_up_deaths > 0)
        std::cerr << "CreateProcessW failed with 1359 " << start_up_deaths << " time(s) before "
                  << program.filename().string() << " started\n";
}

updater_process::~updater_process() {
    end();
    CloseHandle(process_);
}

DWORD updater_process::wait(DWORD timeout_ms) const {
    WaitForSingleObject(process_, timeout_ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

void updater_process::end() {
    for (int round = 0; round < 100 && wait(0) == STILL_ACTIVE; ++round) {
        if (const HWND box = find_window(id_, L"#32770")) {
            press(box, GetDlgItem(box, IDOK) != nullptr ? IDOK : IDNO);
        } else if (const HWND window = find_window(id_, L"OrvekUpdaterWindow")) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        wait(200);
    }
    if (wait(0) == STILL_ACTIVE) {
        TerminateProcess(process_, 99);
        wait(10'000);
    }
}

}  // namespace orvek::test
