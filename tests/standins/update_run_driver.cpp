// Runs one update attempt the way the updater does: run_update on a worker
// thread, its message boxes answered by a hidden window on the main thread.
// The switches on the command line reach run_update as they are; the
// driver's own arguments (which run_update ignores) script it:
//   --driver-answers=<letters>  one a box, in order: y Yes, n No, o OK, c OK
//                               and then Cancel; past the end: OK, or No
//                               for a question
//   --driver-record=<file>      every box ("box\t<type>\t<text>"), then the
//                               last status ("status\t<text>") and the result;
//                               meanwhile <file>.status holds each new status
//   --driver-ready=<event>      set once the window stands
//   --driver-wait-divisor=<n>   shortens the waits for the game
//   --driver-unwritable=<file>  a folder in the way of the atomic write of <file>
// The exit code is run_update's result.

#include "command_line.h"
#include "engine/run_state.h"
#include "procedures/update_run.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <thread>

namespace {

std::wstring answers;
std::size_t next_answer = 0;
std::string record;
std::wstring record_file;

std::wstring current_status()
{
    const std::lock_guard lock(orvek::state_mutex);
    return orvek::status_text;
}

std::string escaped(const std::wstring& text)
{
    std::string line = orvek::test::to_utf8(text);
    for (std::size_t at = 0; (at = line.find('\n', at)) != std::string::npos;) line.replace(at, 1, "\\n");
    return line;
}

int answer_box(UINT type, const wchar_t* text)
{
    record += "box\t" + std::to_string(type) + "\t" + escaped(text) + "\n";
    const bool question = (type & 0xF) == MB_YESNO;
    const wchar_t letter = next_answer < answers.size() ? answers[next_answer++] : L' ';
    if (letter == L'c') {
        orvek::user_cancelled = true;
        orvek::request_cancel();
    }
    if (letter == L'y') return IDYES;
    if (letter == L'n') return IDNO;
    return question && letter == L' ' ? IDNO : IDOK;
}

LRESULT CALLBACK driver_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == orvek::show_message_box_message)
        return answer_box(static_cast<UINT>(wparam), reinterpret_cast<const wchar_t*>(lparam));
    if (message == orvek::status_changed_message && !record_file.empty()) {
        std::ofstream((record_file + L".status").c_str(), std::ios::binary | std::ios::trunc) << escaped(current_status());
        return 0;
    }
    if (message == orvek::worker_finished_message) {
        PostQuitMessage(static_cast<int>(wparam));
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring ready_event;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        const auto value = [&](const wchar_t* name) {
            const std::wstring prefix = std::wstring(name) + L"=";
            return argument.starts_with(prefix) ? argument.substr(prefix.size()) : std::wstring();
        };
        if (argument.starts_with(L"--driver-answers=")) answers = value(L"--driver-answers");
        if (argument.starts_with(L"--driver-record=")) record_file = value(L"--driver-record");
        if (argument.starts_with(L"--driver-ready=")) ready_event = value(L"--driver-ready");
        if (argument.starts_with(L"--driver-unwritable="))
            CreateDirectoryW((value(L"--driver-unwritable") + L".tmp." + std::to_wstring(GetCurrentProcessId())).c_str(),
                             /*security*/ nullptr);
        if (argument.starts_with(L"--driver-wait-divisor="))
            orvek::wait_divisor = static_cast<std::uint32_t>(std::stoul(value(L"--driver-wait-divisor")));
    }

    WNDCLASSW window_class{};
    window_class.lpfnWndProc = driver_window;
    window_class.hInstance = GetModuleHandleW(/*this program*/ nullptr);
    window_class.lpszClassName = L"orvek-update-run-driver";
    RegisterClassW(&window_class);
    orvek::main_window = CreateWindowExW(/*extended style*/ 0, window_class.lpszClassName, L"ORVEK Updater",
                                         /*style*/ 0, 0, 0, 0, 0, HWND_MESSAGE, /*menu*/ nullptr,
                                         window_class.hInstance, /*parameter*/ nullptr);
    if (orvek::main_window == nullptr) return 3;
    if (!ready_event.empty()) {
        const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_event.c_str());
        if (ready != nullptr) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }

    std::thread worker([] {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
        const int result = orvek::run_update();
        PostMessageW(orvek::main_window, orvek::worker_finished_message, static_cast<WPARAM>(result), /*lparam*/ 0);
    });
    MSG message;
    int result = 1;
    while (GetMessageW(&message, /*any window*/ nullptr, 0, 0) > 0) DispatchMessageW(&message);
    if (message.message == WM_QUIT) result = static_cast<int>(message.wParam);
    worker.join();

    if (!record_file.empty()) {
        record += "status\t" + escaped(current_status()) + "\n";
        record += "result\t" + std::to_string(result) + "\n";
        const std::wstring temporary = record_file + L".tmp";
        std::ofstream(temporary.c_str(), std::ios::binary) << record;
        MoveFileExW(temporary.c_str(), record_file.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return result;
}
