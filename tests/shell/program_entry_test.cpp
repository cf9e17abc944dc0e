#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"
#include "shell/program_entry.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace orvek;
using namespace orvek::test;
namespace fs = std::filesystem;

namespace {

// What an attempt's worker finds when it starts.
struct attempt_view {
    int priority;
    std::uint64_t counters;
    bool paused, cancelled, finished, user_cancel, retry;
    std::string enabled;
    HWND focus, window;
};

// Per attempt: '0' succeeds, '1' fails leaving counters and a pause behind,
// 'c' runs until cancelled.
std::string attempt_script;
std::atomic<std::size_t> attempts_started{0};
std::vector<attempt_view> attempt_views;
std::mutex views_mutex;
DWORD window_thread = 0;

int scripted_update() {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(window_thread, &gui);
    attempt_view view{GetThreadPriority(GetCurrentThread()),
                      total_bytes + done_bytes + received_bytes + total_files + finished_files + checked_files,
                      false, false, worker_finished, user_cancelled, retry_requested, "", gui.hwndFocus, main_window};
    {
        std::lock_guard lock(state_mutex);
        view.paused = paused;
        view.cancelled = cancelled;
    }
    for (const HWND button : buttons) view.enabled += IsWindowEnabled(button) ? '1' : '0';
    {
        std::lock_guard lock(views_mutex);
        attempt_views.push_back(view);
    }
    const char step = attempt_script.at(attempts_started++);
    if (step == '0') return 0;
    if (step == 'c') {
        try {
            for (;;) sleep_interruptible(20);
        } catch (const std::exception&) {
            return 1;
        }
    }
    total_bytes = 9;
    done_bytes = 8;
    received_bytes = 7;
    total_files = 3;
    finished_files = 2;
    checked_files = 1;
    std::lock_guard lock(state_mutex);
    paused = true;
    return 1;
}

bool wait_until(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        Sleep(10);
    }
    return false;
}

fs::path built_program() {
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(/*this program*/ nullptr, module, MAX_PATH);
    return fs::path(module).parent_path() / L"orvek-updater.exe";
}

}  // namespace

TEST(program_entry, piano_switch_and_mutex_names) {
    const struct {
        const wchar_t* command_line;
        bool piano;
    } rows[] = {
        {L"updater.exe", false},
        {L"updater.exe --piano-bank", true},
        {L"updater.exe --check-only \"--piano-bank\" --repair", true},
        {L"updater.exe --Piano-Bank", false},
        {L"updater.exe --piano-bank=1", false},
        {L"updater.exe \"--piano-bank \"", false},
        {L"updater.exe -piano-bank", false},
        {L"--piano-bank", false},
    };
    for (const auto& row : rows) EXPECT_EQ(has_piano_bank_switch(row.command_line), row.piano) << row.command_line;
    EXPECT_FALSE(has_piano_bank_switch());  // the test program's own command line

    EXPECT_STREQ(single_instance_mutex_name(false), L"Local\\ORVEK.Updater.SingleInstance");
    EXPECT_STREQ(single_instance_mutex_name(true), L"Local\\ORVEK.PianoBank.SingleInstance");
    const std::wstring piano_text = piano_bank_refusal_text;
    EXPECT_EQ(piano_text.size(), 115u);
    EXPECT_NE(piano_text.find(L"\x0647\x0654 "), std::wstring::npos);
    EXPECT_EQ(piano_text.find(L'\x06C0'), std::wstring::npos);
}

TEST(program_entry, attempts_reset_the_run_and_retry_in_the_same_window) {
    const struct {
        const char* script;
        const char* actions;  // r: Retry after a failure, l: Close, c: Cancel while running
        int result;
    } rows[] = {
        {"0", "", 0},
        {"10", "r", 0},
        {"1", "l", 1},
        {"c", "c", 1},
    };
    window_thread = GetCurrentThreadId();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        const test_window window;
        const HWND first_window = main_window;
        attempt_script = row.script;
        attempts_started = 0;
        attempt_views.clear();
        std::thread user([&] {
            for (const char* action = row.actions; *action != '\0'; ++action) {
                const HWND button = *action == 'r' ? retry_button : *action == 'l' ? close_button : cancel_button;
                if (*action == 'c')
                    wait_until([] { return attempts_started > 0; });
                else
                    wait_until([button] { return IsWindowEnabled(button) != FALSE; });
                PostMessageW(button, BM_CLICK, 0, 0);
            }
        });
        EXPECT_EQ(run_attempts(scripted_update), row.result);
        user.join();
        EXPECT_FALSE(IsWindow(main_window));
        ASSERT_EQ(attempt_views.size(), std::string(row.script).size());
        for (std::size_t i = 0; i < attempt_views.size(); ++i) {
            const attempt_view& view = attempt_views[i];
            SCOPED_TRACE("attempt " + std::to_string(i + 1));
            EXPECT_EQ(view.priority, THREAD_PRIORITY_BELOW_NORMAL);
            EXPECT_EQ(view.counters, 0u);
            EXPECT_FALSE(view.paused || view.cancelled || view.finished || view.user_cancel || view.retry);
            EXPECT_EQ(view.enabled, "10100");
            EXPECT_EQ(view.window, first_window);
            // Retry had the focus when it was pressed; it is disabled now.
            if (i > 0) {
                EXPECT_EQ(view.focus, status_edit);
            }
        }
    }
}

TEST(program_entry, one_instance_per_mode_beside_the_other_mode_and_cancel_exits_1) {
    // The run keeps asking a server that answers slowly and badly, so it is
    // still busy when the next start comes.
    const std::string prefix = unique_prefix("program_entry");
    response_rule slow_failure;
    slow_failure.status = 503;
    slow_failure.delay_ms = 5000;
    slow_failure.times = 40;
    script(prefix + "/version.txt", {slow_failure});
    const temp_dir installation("entry");
    const fs::path program = installation / L"orvek-updater.exe";
    fs::copy_file(built_program(), program);
    const scoped_environment version(L"ORVEK_CLIENT_VERSION_URL", server_url(prefix + "/version.txt").c_str());
    const scoped_environment sound(L"ORVEK_SOUND_RELEASES_URL_BASE", server_url(prefix + "/data/releases/").c_str());
    const scoped_environment cache(L"ORVEK_UPDATER_CACHE_ROOT", (installation / L"cache").c_str());
    const scoped_environment local(L"LOCALAPPDATA", (installation / L"local").c_str());

    const struct {
        const wchar_t* arguments;
        const wchar_t* other_mode;
        const wchar_t* refusal;
        bool cancel;
    } rows[] = {
        {L"--check-only", L"--check-only --piano-bank", updater_refusal_text, true},
        {L"--piano-bank", L"--check-only", piano_bank_refusal_text, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        updater_process first(program, row.arguments);
        const HWND window = wait_for_window(first.id(), L"OrvekUpdaterWindow", 60'000);
        ASSERT_NE(window, nullptr);
        {
            updater_process second(program, row.arguments);
            const HWND box = wait_for_window(second.id(), L"#32770", 60'000);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(find_window(second.id(), L"OrvekUpdaterWindow"), nullptr);
            EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
            EXPECT_EQ(window_text(box), L"ORVEK Updater");
            EXPECT_EQ(message_box_text(box), row.refusal);
            press(box, IDOK);
            EXPECT_EQ(second.wait(30'000), 1u);
        }
        {
            updater_process other(program, row.other_mode);
            EXPECT_NE(wait_for_window(other.id(), L"OrvekUpdaterWindow", 60'000), nullptr);
        }
        if (row.cancel) {
            press(window, cancel_command);
            EXPECT_EQ(first.wait(30'000), 1u);
        }
    }
}
