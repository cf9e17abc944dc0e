#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"
#include "shell/program_entry.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace orvek;
using namespace orvek::test;
namespace fs = std::filesystem;

namespace {

// Per attempt: '0' succeeds, '1' fails leaving counters and a pause behind,
// 'c' runs until cancelled. Each attempt records what it finds at its start.
std::string attempt_script;
std::vector<std::wstring> attempt_views;
std::atomic<bool> attempt_started;
DWORD window_thread = 0;

int scripted_update() {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(window_thread, &gui);
    std::wstring view = std::to_wstring(GetThreadPriority(GetCurrentThread())) + L" " +
                        std::to_wstring(total_bytes + done_bytes + received_bytes + total_files + finished_files +
                                        checked_files) +
                        (paused || cancelled || worker_finished || user_cancelled || retry_requested ? L" set " : L" ");
    for (const HWND button : buttons) view += IsWindowEnabled(button) ? L'1' : L'0';
    view += gui.hwndFocus == status_edit ? L" status" : L"";
    const char step = attempt_script.at(attempt_views.size());
    attempt_views.push_back(view);
    attempt_started = true;
    try {
        while (step == 'c') sleep_interruptible(20);
    } catch (const std::exception&) {
        return 1;
    }
    if (step == '0') return 0;
    total_bytes = done_bytes = received_bytes = total_files = finished_files = checked_files = 1;
    std::lock_guard lock(state_mutex);
    paused = true;
    return 1;
}

// A copy of the program in a folder of the test's own.
fs::path copy_program(const temp_dir& folder) {
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(/*this program*/ nullptr, module, MAX_PATH);
    fs::copy_file(fs::path(module).parent_path() / L"orvek-updater.exe", folder / L"orvek-updater.exe");
    return folder / L"orvek-updater.exe";
}

}  // namespace

TEST(program_entry, piano_switch_mutex_names_and_refusal_texts) {
    for (const auto& [command_line, piano] : std::initializer_list<std::pair<const wchar_t*, bool>>{
             {L"u.exe", false}, {L"u.exe --check-only \"--piano-bank\" --repair", true}, {L"u.exe --Piano-Bank", false},
             {L"u.exe --piano-bank=1", false}, {L"u.exe \"--piano-bank \"", false}, {L"--piano-bank", false}})
        EXPECT_EQ(has_piano_bank_switch(command_line), piano) << command_line;
    EXPECT_STREQ(single_instance_mutex_name(false), L"Local\\ORVEK.Updater.SingleInstance");
    EXPECT_STREQ(single_instance_mutex_name(true), L"Local\\ORVEK.PianoBank.SingleInstance");
    const std::wstring piano_text = piano_bank_refusal_text;
    EXPECT_EQ(piano_text.size(), 115u);
    EXPECT_NE(piano_text.find(L"\x0647\x0654 "), std::wstring::npos);
}

TEST(program_entry, attempts_reset_the_run_and_retry_in_the_same_window) {
    const struct {
        const char* script;
        int action;  // pressed after the first attempt failed (or, for Cancel, started)
        int result;
    } rows[] = {{"0", 0, 0}, {"10", retry_command, 0}, {"1", close_command, 1}, {"c", cancel_command, 1}};
    window_thread = GetCurrentThreadId();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        const test_window window;
        const HWND first_window = main_window;
        attempt_script = row.script;
        attempt_views.clear();
        attempt_started = false;
        std::thread user([&] {
            if (row.action == 0) return;
            const HWND button = GetDlgItem(main_window, row.action);
            if (wait_until([&] { return attempt_started && IsWindowEnabled(button); }))
                PostMessageW(button, BM_CLICK, 0, 0);
        });
        EXPECT_EQ(run_attempts(scripted_update), row.result);
        user.join();
        EXPECT_FALSE(IsWindow(first_window));  // one window for every attempt
        // Below-normal priority, counters at 0, flags clear, Pause and Cancel
        // on; after Retry the focus left the disabled Retry.
        const std::vector<std::wstring> expected{L"-1 0 10100 status", L"-1 0 10100 status"};
        EXPECT_EQ(attempt_views, std::vector(expected.begin(), expected.begin() + std::string(row.script).size()));
    }
}

TEST(program_entry, one_instance_per_mode_beside_the_other_mode_and_cancel_exits_1) {
    // A server that answers slowly and badly keeps the real update run busy.
    const std::string prefix = unique_prefix("program_entry");
    response_rule slow_failure;
    slow_failure.status = 503;
    slow_failure.delay_ms = 5000;
    slow_failure.times = 40;
    script(prefix + "/version.txt", {slow_failure});
    const temp_dir folder("entry");
    const fs::path program = copy_program(folder);
    const scoped_environment version(L"ORVEK_CLIENT_VERSION_URL", server_url(prefix + "/version.txt").c_str());
    const scoped_environment cache(L"ORVEK_UPDATER_CACHE_ROOT", (folder / L"cache").c_str());
    const scoped_environment local(L"LOCALAPPDATA", (folder / L"local").c_str());
    const std::pair<const wchar_t*, const wchar_t*> modes[] = {{L"--check-only", updater_refusal_text},
                                                               {L"--piano-bank", piano_bank_refusal_text}};
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(modes[mode].first);
        const updater_process first(program, modes[mode].first);
        const HWND window = wait_for_window(first.id(), L"OrvekUpdaterWindow");
        ASSERT_NE(window, nullptr);
        {
            const updater_process second(program, modes[mode].first);
            const HWND box = wait_for_window(second.id(), L"#32770");
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(wait_for_window(second.id(), L"OrvekUpdaterWindow", 0), nullptr);
            EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
            EXPECT_EQ(text_of(box) + L"|" + text_of(GetDlgItem(box, 0xFFFF)), std::wstring(L"ORVEK Updater|") + modes[mode].second);
            press(box, IDOK);
            EXPECT_EQ(second.wait(30'000), 1u);
        }
        const updater_process other(program, modes[1 - mode].first);
        EXPECT_NE(wait_for_window(other.id(), L"OrvekUpdaterWindow"), nullptr);
        if (mode == 0) {
            press(window, cancel_command);
            EXPECT_EQ(first.wait(30'000), 1u);
        }
    }
}

TEST(program_entry, retry_after_the_server_is_fixed_runs_in_the_same_window) {
    const std::string prefix = unique_prefix("program_entry_retry");
    const temp_dir folder("entry-retry");
    const fs::path program = copy_program(folder);
    const scoped_environment version(L"ORVEK_CLIENT_VERSION_URL", server_url(prefix + "/version.txt").c_str());
    const scoped_environment cache(L"ORVEK_UPDATER_CACHE_ROOT", (folder / L"cache").c_str());
    // Nothing published yet: the check fails and says so.
    const updater_process updater(program, L"--check-only");
    const HWND window = wait_for_window(updater.id(), L"OrvekUpdaterWindow");
    const HWND failure = wait_for_window(updater.id(), L"#32770");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(text_of(GetDlgItem(failure, 0xFFFF)).rfind(L"Update failed: ", 0), 0u);
    press(failure, IDOK);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(GetDlgItem(window, retry_command)) != FALSE; }));
    // A new release appears; Retry asks about it from the same window, and No ends the run well.
    put_file(prefix + "/version.txt", "20260101000000-0123456789ab\n");
    press(window, retry_command);
    HWND question = nullptr;
    ASSERT_TRUE(wait_until([&] {
        question = wait_for_window(updater.id(), L"#32770", 0);
        return question != nullptr && text_of(GetDlgItem(question, 0xFFFF)).find(L"Install it now?") != std::wstring::npos;
    }));
    EXPECT_EQ(GetWindow(question, GW_OWNER), window);
    press(question, IDNO);
    EXPECT_EQ(updater.wait(60'000), 0u);
}
