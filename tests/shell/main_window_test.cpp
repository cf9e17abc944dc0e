#include "window_driver.h"

#include "engine/run_state.h"
#include "shell/main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <mutex>
#include <string>

using namespace orvek;
using namespace orvek::test;

namespace {

// "1" or "0" per button, Pause to Retry.
std::string enabled_buttons() {
    std::string states;
    for (const HWND button : buttons) states += IsWindowEnabled(button) ? '1' : '0';
    return states;
}

RECT client_rect_of(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(/*screen*/ nullptr, main_window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

}  // namespace

TEST(main_window, creates_its_controls_in_tab_order_with_ids_states_and_timer) {
    const test_window window;
    EXPECT_EQ(class_of(main_window), L"OrvekUpdaterWindow");
    EXPECT_EQ(window_text(main_window), L"ORVEK Updater");
    const LONG frame = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;
    EXPECT_EQ(GetWindowLongW(main_window, GWL_STYLE) & frame, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_TRUE(GetWindowLongW(main_window, GWL_EXSTYLE) & WS_EX_CONTROLPARENT);
    RECT outer{};
    GetWindowRect(main_window, &outer);
    EXPECT_EQ(outer.right - outer.left, 760);
    EXPECT_EQ(outer.bottom - outer.top, 340);

    struct row {
        const wchar_t* class_name;
        const wchar_t* text;
        RECT rect;
        int id;
        HWND handle;  // null: not kept
    };
    const row rows[] = {
        {L"Static", L"&Status:", {20, 12, 600, 32}, 0, nullptr},
        {L"Edit", L"Checking for updates.", {20, 36, 600, 86}, 0, status_edit},
        {L"Static", L"&Progress details:", {20, 90, 600, 110}, 0, nullptr},
        {L"Edit", L"", {20, 114, 600, 204}, 0, details_edit},
        {L"msctls_progress32", L"Update progress", {20, 210, 600, 230}, 0, progress_bar},
        {L"Button", L"&Pause", {20, 245, 150, 275}, pause_command, pause_button},
        {L"Button", L"&Resume", {165, 245, 295, 275}, resume_command, resume_button},
        {L"Button", L"&Cancel", {310, 245, 440, 275}, cancel_command, cancel_button},
        {L"Button", L"C&lose", {455, 245, 585, 275}, close_command, close_button},
        {L"Button", L"&Retry", {600, 245, 730, 275}, retry_command, retry_button},
    };
    HWND child = GetWindow(main_window, GW_CHILD);
    for (const row& expected : rows) {
        SCOPED_TRACE(expected.text);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(_wcsicmp(class_of(child).c_str(), expected.class_name), 0) << class_of(child).c_str();
        EXPECT_EQ(window_text(child), expected.text);
        const RECT rect = client_rect_of(child);
        EXPECT_EQ(rect.left, expected.rect.left);
        EXPECT_EQ(rect.top, expected.rect.top);
        EXPECT_EQ(rect.right, expected.rect.right);
        EXPECT_EQ(rect.bottom, expected.rect.bottom);
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        if (expected.handle != nullptr) {
            EXPECT_EQ(child, expected.handle);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);

    EXPECT_EQ(enabled_buttons(), "10100");
    EXPECT_EQ(GetFocus(), status_edit);
    // Tab goes through the enabled tab stops in creation order.
    const HWND tab_order[] = {details_edit, pause_button, cancel_button, status_edit};
    HWND at = status_edit;
    for (const HWND next : tab_order) EXPECT_EQ(at = GetNextDlgTabItem(main_window, at, FALSE), next);
    EXPECT_EQ(SendMessageW(progress_bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(progress_bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_TRUE(KillTimer(main_window, refresh_timer_id));
}

TEST(main_window, pause_resume_and_cancel_set_the_run_state_buttons_and_focus) {
    const test_window window;
    struct row {
        HWND* button;
        bool paused, cancelled, user_cancelled;
        const wchar_t* shown;
        const char* enabled;
        HWND* focus;
    };
    const wchar_t cancelling[] = L"Cancelling; waiting for the current operation to finish.";
    const row rows[] = {
        {&pause_button, true, false, false, L"Paused", "01100", &resume_button},
        {&resume_button, false, false, false, L"Update resumed.", "10100", &pause_button},
        {&pause_button, true, false, false, L"Paused", "01100", &resume_button},
        // Cancel changes no button; the focus stays where the click put it.
        {&cancel_button, false, true, true, cancelling, "01100", &cancel_button},
        {&resume_button, false, true, true, L"Update resumed.", "10100", &pause_button},
        {&pause_button, true, true, true, L"Paused", "01100", &resume_button},
    };
    // Threads of the run wait on the state the buttons change.
    std::future<void> held_by_pause;
    auto held_until_cancel = std::async(std::launch::async, [] { sleep_interruptible(60'000); });
    for (const row& expected : rows) {
        SCOPED_TRACE(window_text(*expected.button) + L" -> " + expected.shown);
        click(*expected.button);
        {
            std::lock_guard lock(state_mutex);
            EXPECT_EQ(paused, expected.paused);
            EXPECT_EQ(cancelled, expected.cancelled);
        }
        EXPECT_EQ(user_cancelled, expected.user_cancelled);
        EXPECT_EQ(window_text(status_edit), expected.shown);
        EXPECT_EQ(enabled_buttons(), expected.enabled);
        EXPECT_EQ(GetFocus(), *expected.focus);
        if (&expected == &rows[0])
            held_by_pause = std::async(std::launch::async, [] { check_pause_cancel(); });
        if (&expected == &rows[1]) {
            EXPECT_EQ(held_by_pause.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        }
    }
    ASSERT_EQ(held_until_cancel.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_THROW(held_until_cancel.get(), std::runtime_error);
    EXPECT_TRUE(IsWindow(main_window));
}

TEST(main_window, worker_result_closes_the_window_or_offers_close_and_retry) {
    struct row {
        WPARAM result;
        bool user_cancelled;
        HWND* focus_before;
        bool closes;
        HWND* focus_after;
    };
    const row rows[] = {
        {0, false, &status_edit, true, nullptr},
        {1, true, &status_edit, true, nullptr},
        {1, false, &status_edit, false, &status_edit},
        {1, false, &details_edit, false, &details_edit},
        {1, false, &pause_button, false, &retry_button},
        {1, false, &cancel_button, false, &retry_button},
    };
    for (const row& expected : rows) {
        SCOPED_TRACE("result " + std::to_string(expected.result) + (expected.user_cancelled ? ", cancelled" : ""));
        const test_window window;
        user_cancelled = expected.user_cancelled;
        SetFocus(*expected.focus_before);
        PostMessageW(main_window, worker_finished_message, expected.result, 0);
        bool quit = false;
        pump_until([] { return bool(worker_finished); }, 5000, &quit);
        pump_pending();
        EXPECT_TRUE(worker_finished);
        EXPECT_EQ(!IsWindow(main_window), expected.closes);
        EXPECT_EQ(quit, expected.closes);
        if (expected.closes) {
            EXPECT_EQ(automation_provider, nullptr);
            continue;
        }
        EXPECT_EQ(enabled_buttons(), "00011");
        EXPECT_EQ(GetFocus(), *expected.focus_after);
    }
}

TEST(main_window, close_and_retry_act_only_after_the_worker_ended) {
    enum class action { close_message, close_button, retry_button, close_command, retry_command };
    struct row {
        bool failed_first;
        action act;
        bool window_stays, quits, retry, user_cancel;
    };
    const row rows[] = {
        {false, action::close_message, true, false, false, true},
        {false, action::close_command, true, false, false, false},
        {false, action::retry_command, true, false, false, false},
        {true, action::close_message, false, true, false, false},
        {true, action::close_button, false, true, false, false},
        {true, action::retry_button, true, true, true, false},
    };
    for (const row& expected : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(expected.act)) + (expected.failed_first ? " after a failure" : ""));
        const test_window window;
        if (expected.failed_first) {
            PostMessageW(main_window, worker_finished_message, 1, 0);
            pump_until([] { return bool(worker_finished); }, 5000);
        }
        switch (expected.act) {
        case action::close_message: PostMessageW(main_window, WM_CLOSE, 0, 0); break;
        case action::close_button: click(close_button); break;
        case action::retry_button: click(retry_button); break;
        case action::close_command: PostMessageW(main_window, WM_COMMAND, close_command, 0); break;
        case action::retry_command: PostMessageW(main_window, WM_COMMAND, retry_command, 0); break;
        }
        const bool quit = pump_pending();
        EXPECT_EQ(bool(IsWindow(main_window)), expected.window_stays);
        EXPECT_EQ(quit, expected.quits);
        EXPECT_EQ(retry_requested, expected.retry);
        EXPECT_EQ(user_cancelled, expected.user_cancel);
        if (expected.user_cancel) {
            // Closing while running was a Cancel: the window goes when the worker ends.
            EXPECT_EQ(window_text(status_edit), L"Cancelling; waiting for the current operation to finish.");
            PostMessageW(main_window, worker_finished_message, 1, 0);
            EXPECT_TRUE(pump_until([] { return !IsWindow(main_window); }, 5000));
        }
    }
}

TEST(main_window, shows_a_worker_threads_message_box_under_its_own_title) {
    const test_window window;
    auto answer = std::async(std::launch::async, [] {
        return show_message_box(L"A new ORVEK release is available. Install it now?", L"Orvek Updater",
                                MB_YESNO | MB_ICONQUESTION);
    });
    // The box runs on this thread; another one reads it and answers Yes.
    auto seen = std::async(std::launch::async, [] {
        const HWND box = wait_for_window(GetCurrentProcessId(), L"#32770", 20'000);
        if (box == nullptr) return std::wstring(L"no box");
        const std::wstring seen = window_text(box) + L"|" + message_box_text(box) + L"|" +
                                  (GetWindow(box, GW_OWNER) == main_window ? L"owned" : L"not owned");
        press(box, IDYES);
        return seen;
    });
    ASSERT_TRUE(pump_until([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                           30'000));
    EXPECT_EQ(seen.get(), L"ORVEK Updater|A new ORVEK release is available. Install it now?|owned");
    EXPECT_EQ(answer.get(), IDYES);
}
