#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"
#include "support/child_process.h"

#include <cctype>
#include <chrono>
#include <map>
#include <ranges>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvek::test {

namespace {

void reset_run_state() {
    std::lock_guard lock(state_mutex);
    paused = cancelled = false;
    status_text = L"Checking for updates.";
    worker_finished = user_cancelled = retry_requested = false;
}

using window_search = std::pair<std::pair<DWORD, const wchar_t*>, HWND>;

BOOL CALLBACK match_window(HWND window, LPARAM parameter) {
    auto& [wanted, found] = *reinterpret_cast<window_search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (owner != wanted.first || !IsWindowVisible(window) || std::wstring(name) != wanted.second) return TRUE;
    found = window;
    return FALSE;
}

}  // namespace

test_window::test_window() {
    reset_run_state();
    create_main_window();
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
        quit = quit || message.message == WM_QUIT;
        if (message.message != WM_QUIT && !IsDialogMessageW(main_window, &message)) DispatchMessageW(&message);
    }
    return quit;
}

bool pump_until(const std::function<bool()>& done, DWORD timeout_ms) {
    return wait_until([&] { return pump_pending(), done(); }, timeout_ms);
}

bool wait_until(const std::function<bool()>& done, DWORD timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        MsgWaitForMultipleObjects(0, /*handles*/ nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

std::wstring text_of(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

HWND wait_for_window(DWORD process_id, const wchar_t* class_name, DWORD timeout_ms) {
    window_search search{{process_id, class_name}, nullptr};
    wait_until([&] { return EnumWindows(match_window, reinterpret_cast<LPARAM>(&search)), search.second != nullptr; },
               timeout_ms);
    return search.second;
}

void press(HWND parent, int id) { PostMessageW(GetDlgItem(parent, id), BM_CLICK, 0, 0); }

void send_keys(std::string_view chords) {
    const std::map<std::string_view, WORD> names{
        {"tab", VK_TAB}, {"shift", VK_SHIFT}, {"alt", VK_MENU}, {"space", VK_SPACE}, {"enter", VK_RETURN}};
    for (const auto chord : std::views::split(chords, ' ')) {
        std::vector<INPUT> inputs;  // the keys down in order, up in reverse
        for (const auto key : std::views::split(chord, '+')) {
            const std::string_view name(key.begin(), key.end());
            INPUT input{.type = INPUT_KEYBOARD};
            input.ki.wVk = name.size() == 1 ? static_cast<WORD>(std::toupper(name[0])) : names.at(name);
            const auto middle = inputs.insert(inputs.begin() + static_cast<std::ptrdiff_t>(inputs.size() / 2), 2, input);
            middle[1].ki.dwFlags = KEYEVENTF_KEYUP;
        }
        if (SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) != inputs.size())
            throw std::runtime_error("SendInput failed");
    }
}

void type(std::string_view chords) {
    send_keys(chords);
    // The input is queued when SendInput returns; handle all that it brings.
    pump_until([] { return HIWORD(GetQueueStatus(QS_ALLINPUT)) == 0; });
}

bool bring_to_front() {
    SetForegroundWindow(main_window);
    return pump_until([] { return GetForegroundWindow() == main_window; }, 5'000);
}

updater_process::updater_process(const std::filesystem::path& program, const std::wstring& arguments) {
    win_handle process = start_process(program, L"\"" + program.native() + L"\" " + arguments);
    id_ = GetProcessId(process.get());
    process_ = process.release();
}

updater_process::~updater_process() {
    for (int round = 0; round < 50 && wait(0) == STILL_ACTIVE; ++round) {
        if (const HWND box = wait_for_window(id_, L"#32770", 0))
            press(box, GetDlgItem(box, IDOK) != nullptr ? IDOK : IDNO);
        else if (const HWND window = wait_for_window(id_, L"OrvekUpdaterWindow", 0))
            PostMessageW(window, WM_CLOSE, 0, 0);
        wait(200);
    }
    if (wait(0) == STILL_ACTIVE) TerminateProcess(process_, 99);
    wait(10'000);
    CloseHandle(process_);
}

DWORD updater_process::wait(DWORD timeout_ms) const {
    WaitForSingleObject(process_, timeout_ms);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    return code;
}

}  // namespace orvek::test
