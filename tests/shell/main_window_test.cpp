#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>

using namespace orvek;
using namespace orvek::test;

namespace {

const wchar_t cancelling[] = L"Cancelling; waiting for the current operation to finish.";

std::string enabled_buttons() {  // '1' or '0' per button, Pause to Retry
    std::string states;
    for (const HWND button : buttons) states += IsWindowEnabled(button) ? '1' : '0';
    return states;
}

void click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

}  // namespace

TEST(main_window, starts_with_pause_and_cancel_the_focus_on_the_status_and_its_timer) {
    const test_window window;
    RECT outer{};
    GetWindowRect(main_window, &outer);
    EXPECT_EQ(std::make_pair(outer.right - outer.left, outer.bottom - outer.top), std::make_pair(760L, 340L));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(GetDlgItem(main_window, pause_command + i), buttons[i]);
    EXPECT_EQ(enabled_buttons(), "10100");
    EXPECT_EQ(GetFocus(), status_edit);
    HWND at = status_edit;  // Tab order: the enabled tab stops in creation order
    for (const HWND next : {details_edit, pause_button, cancel_button, status_edit})
        EXPECT_EQ(at = GetNextDlgTabItem(main_window, at, FALSE), next);
    EXPECT_EQ(SendMessageW(progress_bar, PBM_GETRANGE, FALSE, /*parts*/ 0), 100);
    EXPECT_TRUE(KillTimer(main_window, refresh_timer_id));
}

// Wine keeps the foreground per desktop: on a shared one, a window that a
// test running beside this one shows takes the focus that these tests check.
TEST(main_window, runs_on_a_desktop_of_its_own_in_every_thread) {
    const auto desktop_name = [] {
        wchar_t name[64] = {};
        GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof name,
                                  /*needed*/ nullptr);
        return std::wstring(name);
    };
    const std::wstring desktop = desktop_name();
    EXPECT_NE(desktop, L"Default");
    EXPECT_EQ(std::async(std::launch::async, desktop_name).get(), desktop);
}

TEST(main_window, pause_resume_and_cancel_change_the_run_buttons_and_focus) {
    const test_window window;
    const struct {
        HWND* button;
        bool paused, cancelled;
        const wchar_t* shown;
        const char* enabled;
        HWND* focus;  // Cancel moves none: it stays where the click put it
    } rows[] = {
        {&pause_button, true, false, L"Paused", "01100", &resume_button},
        {&resume_button, false, false, L"Update resumed.", "10100", &pause_button},
        {&pause_button, true, false, L"Paused", "01100", &resume_button},
        {&cancel_button, false, true, cancelling, "01100", &cancel_button},
        {&resume_button, false, true, L"Update resumed.", "10100", &pause_button},
        {&pause_button, true, true, L"Paused", "01100", &resume_button},
    };
    auto waiting_run = std::async(std::launch::async, [] { sleep_interruptible(60'000); });
    for (const auto& row : rows) {
        SCOPED_TRACE(text_of(*row.button) + L" -> " + row.shown);
        click(*row.button);
        std::unique_lock lock(state_mutex);
        EXPECT_EQ(std::make_pair(paused, cancelled), std::make_pair(row.paused, row.cancelled));
        lock.unlock();
        EXPECT_EQ(user_cancelled, row.cancelled);
        EXPECT_EQ(text_of(status_edit), row.shown);
        EXPECT_EQ(enabled_buttons(), row.enabled);
        EXPECT_EQ(GetFocus(), *row.focus);
    }
    // Cancel woke the run's waits.
    ASSERT_EQ(waiting_run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_THROW(waiting_run.get(), std::runtime_error);
}

TEST(main_window, worker_result_closes_the_window_or_offers_close_and_retry) {
    const struct {
        WPARAM result;
        bool user_cancelled;
        HWND* focus_before;
        HWND* focus_after;  // null: the window is gone
    } rows[] = {
        {0, false, &status_edit, nullptr},       {1, true, &status_edit, nullptr},
        {1, false, &details_edit, &details_edit}, {1, false, &pause_button, &retry_button},
        {1, false, &cancel_button, &retry_button},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.result << row.user_cancelled << text_of(*row.focus_before));
        const test_window window;
        user_cancelled = row.user_cancelled;
        SetFocus(*row.focus_before);
        KillTimer(main_window, refresh_timer_id);  // the failure shows its status itself
        std::unique_lock lock(state_mutex);
        status_text = L"Update failed.";
        lock.unlock();
        PostMessageW(main_window, worker_finished_message, row.result, 0);
        EXPECT_EQ(pump_pending(), row.focus_after == nullptr);  // WM_QUIT after the window went
        EXPECT_TRUE(worker_finished);
        EXPECT_EQ(IsWindow(main_window) != FALSE, row.focus_after != nullptr);
        if (row.focus_after == nullptr) continue;
        EXPECT_EQ(enabled_buttons(), "00011");
        EXPECT_EQ(GetFocus(), *row.focus_after) << text_of(GetFocus());
        EXPECT_EQ(text_of(status_edit), L"Update failed.");
    }
}

TEST(main_window, close_and_retry_act_only_after_the_worker_ended) {
    const struct {
        bool failed_first;
        UINT message;
        WPARAM command;
        bool stays, quits, retry, cancels;
    } rows[] = {
        {false, WM_CLOSE, 0, true, false, false, true},  // closing a running window is a Cancel
        {false, WM_COMMAND, close_command, true, false, false, false},
        {false, WM_COMMAND, retry_command, true, false, false, false},
        {true, WM_CLOSE, 0, false, true, false, false},
        {true, WM_COMMAND, close_command, false, true, false, false},
        {true, WM_COMMAND, retry_command, true, true, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.failed_first << " " << row.message << " " << row.command);
        const test_window window;
        if (row.failed_first) PostMessageW(main_window, worker_finished_message, 1, 0);
        PostMessageW(main_window, row.message, row.command, 0);
        EXPECT_EQ(pump_pending(), row.quits);
        EXPECT_EQ(IsWindow(main_window) != FALSE, row.stays);
        EXPECT_EQ(retry_requested, row.retry);
        EXPECT_EQ(user_cancelled, row.cancels);
        if (!row.cancels) continue;
        EXPECT_EQ(text_of(status_edit), cancelling);
        PostMessageW(main_window, worker_finished_message, 1, 0);  // the cancelled worker ends
        EXPECT_TRUE(pump_pending());
        EXPECT_FALSE(IsWindow(main_window));
    }
}

TEST(main_window, shows_a_worker_threads_message_box_under_its_own_title) {
    const test_window window;
    auto answer = std::async(std::launch::async, [] {
        return show_message_box(L"Install it now?", L"Orvek Updater", MB_YESNO | MB_ICONQUESTION);
    });
    auto seen = std::async(std::launch::async, [] {  // the box runs on this thread; another one answers it
        const HWND box = wait_for_window(GetCurrentProcessId(), L"#32770", 20'000);
        const std::wstring seen = text_of(box) + L"|" + text_of(GetDlgItem(box, 0xFFFF)) +
                                  (GetWindow(box, GW_OWNER) == main_window ? L"|owned" : L"");
        press(box, IDYES);
        return seen;
    });
    ASSERT_TRUE(pump_until([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(seen.get(), L"ORVEK Updater|Install it now?|owned");
    EXPECT_EQ(answer.get(), IDYES);
}

TEST(main_window, keys_move_the_focus_and_press_the_buttons) {
    const test_window window;
    ASSERT_TRUE(bring_to_front());
    const struct {
        const char* keys;
        HWND* focus;
        bool paused, cancelled;
    } steps[] = {
        {"tab", &details_edit, false, false},           {"tab", &pause_button, false, false},
        {"tab", &cancel_button, false, false},          {"tab", &status_edit, false, false},
        {"shift+tab", &cancel_button, false, false},    {"shift+tab", &pause_button, false, false},
        {"shift+tab", &details_edit, false, false},     {"shift+tab", &status_edit, false, false},
        // "&Progress details:" and "&Pause" share Alt+P: it goes to the next of the two.
        {"alt+p", &details_edit, false, false},         {"alt+p", &resume_button, true, false},
        {"alt+r", &pause_button, false, false},         {"space", &resume_button, true, false},
        {"shift+tab shift+tab", &status_edit, true, false}, {"tab tab", &resume_button, true, false},
        {"space", &pause_button, false, false},         {"alt+s", &status_edit, false, false},
        {"alt+c", &cancel_button, false, true},  // the click put the focus there
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.keys);
        type(step.keys);
        EXPECT_EQ(GetFocus(), *step.focus) << text_of(GetFocus());
        if (*step.focus == status_edit)  // an edit is entered with all its text selected
            EXPECT_EQ(SendMessageW(status_edit, EM_GETSEL, 0, 0), MAKELONG(0, text_of(status_edit).size()));
        std::lock_guard lock(state_mutex);
        EXPECT_EQ(std::make_pair(paused, cancelled), std::make_pair(step.paused, step.cancelled));
    }
}

TEST(main_window, after_the_failure_box_the_focus_is_back_and_close_and_retry_take_keys) {
    const struct {
        const char* keys_before;
        HWND* focus_after;  // the focus on a run button goes to Retry
        const char* keys_after;
        bool retry;
    } rows[] = {
        {"tab tab tab", &retry_button, "space", true},
        {"tab tab", &retry_button, "alt+l", false},
        {"", &status_edit, "alt+r", true},
        {"tab", &details_edit, "shift+tab shift+tab space", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keys_before);
        const test_window window;
        ASSERT_TRUE(bring_to_front());
        type(row.keys_before);
        auto worker = std::async(std::launch::async, [] {
            show_message_box(L"Update failed: no connection.", L"ORVEK Updater", MB_ICONERROR);
            PostMessageW(main_window, worker_finished_message, 1, 0);
        });
        auto user = std::async(std::launch::async, [] {  // dismisses the box as a user does
            const HWND box = wait_for_window(GetCurrentProcessId(), L"#32770", 20'000);
            const bool in_front = wait_until([&] { return GetForegroundWindow() == box; });
            if (in_front) send_keys("enter");
            else press(box, IDOK);  // else the worker would wait on it for ever
            return in_front;
        });
        // The user gives up on the box after 40 s at most.
        ASSERT_TRUE(pump_until([&] { return IsWindowEnabled(retry_button) != FALSE; }, 45'000));
        EXPECT_TRUE(user.get()) << "the box never came to the front";
        worker.get();
        EXPECT_EQ(GetFocus(), *row.focus_after) << text_of(GetFocus());
        type(row.keys_after);
        EXPECT_EQ(retry_requested, row.retry);
        EXPECT_EQ(IsWindow(main_window) != FALSE, row.retry);
    }
}
