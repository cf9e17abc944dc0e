#include "engine/run_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

using orvek::state_mutex;

// Resets what a test may leave behind in the process-wide run state.
class run_state : public testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard lock(state_mutex);
        saved_status_ = orvek::status_text;
    }
    void TearDown() override
    {
        {
            std::lock_guard lock(state_mutex);
            orvek::paused = false;
            orvek::cancelled = false;
            orvek::max_connections = 2;
            orvek::status_text = saved_status_;
        }
        orvek::state_changed.notify_all();
        orvek::main_window = nullptr;
        orvek::wait_divisor = 1;
    }

private:
    std::wstring saved_status_;
};

// What the window's buttons do to the flags.
void press_pause(bool value)
{
    {
        std::lock_guard lock(state_mutex);
        orvek::paused = value;
    }
    orvek::state_changed.notify_all();
}

void start_new_attempt()
{
    {
        std::lock_guard lock(state_mutex);
        orvek::paused = false;
        orvek::cancelled = false;
    }
    orvek::state_changed.notify_all();
}

// Runs `work` on its own thread; the future gives the text of what it threw, or "".
std::future<std::string> run_async(std::function<void()> work)
{
    return std::async(std::launch::async, [work = std::move(work)]() -> std::string {
        try {
            work();
        } catch (const std::exception& error) {
            return error.what();
        }
        return {};
    });
}

bool still_blocked(const std::future<std::string>& future)
{
    return future.wait_for(300ms) == std::future_status::timeout;
}

bool finishes(const std::future<std::string>& future)
{
    return future.wait_for(10s) == std::future_status::ready;
}

std::uint64_t active_requests_now()
{
    std::lock_guard lock(state_mutex);
    return orvek::active_requests;
}

TEST_F(run_state, pause_then_cancel_wakes_every_waiter_with_its_own_text)
{
    EXPECT_NO_THROW(orvek::check_pause_cancel());

    press_pause(true);
    auto checkpoint = run_async([] { orvek::check_pause_cancel(); });
    auto slot = run_async([] { orvek::request_slot held; });
    EXPECT_TRUE(still_blocked(checkpoint));
    EXPECT_TRUE(still_blocked(slot));

    orvek::request_cancel();
    ASSERT_TRUE(finishes(checkpoint));
    ASSERT_TRUE(finishes(slot));
    EXPECT_EQ(checkpoint.get(), "Update cancelled. Partial sound downloads are retained.");
    EXPECT_EQ(slot.get(), "Update cancelled.");
    {
        std::lock_guard lock(state_mutex);
        EXPECT_FALSE(orvek::paused);
    }
    EXPECT_EQ(active_requests_now(), 0u);

    // Paused and cancelled together throws at once.
    press_pause(true);
    EXPECT_THROW(orvek::check_pause_cancel(), std::runtime_error);

    // The next attempt's reset lets checkpoints and slots pass again.
    start_new_attempt();
    EXPECT_NO_THROW(orvek::check_pause_cancel());
    EXPECT_NO_THROW(orvek::request_slot{});
    EXPECT_EQ(active_requests_now(), 0u);
}

TEST_F(run_state, resume_lets_a_paused_checkpoint_continue)
{
    press_pause(true);
    auto checkpoint = run_async([] { orvek::check_pause_cancel(); });
    EXPECT_TRUE(still_blocked(checkpoint));
    press_pause(false);
    ASSERT_TRUE(finishes(checkpoint));
    EXPECT_EQ(checkpoint.get(), "");
}

TEST_F(run_state, sleep_ends_at_once_on_cancel_and_pause_only_holds_its_end)
{
    const auto started = std::chrono::steady_clock::now();
    auto sleeper = run_async([] { orvek::sleep_interruptible(5000); });
    EXPECT_TRUE(still_blocked(sleeper));
    orvek::request_cancel();
    ASSERT_TRUE(finishes(sleeper));
    EXPECT_EQ(sleeper.get(), "Update cancelled. Partial sound downloads are retained.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);

    // Pause and Resume inside the sleep neither end it early nor lengthen it.
    start_new_attempt();
    const auto started2 = std::chrono::steady_clock::now();
    auto sleeper2 = run_async([] { orvek::sleep_interruptible(1500); });
    std::this_thread::sleep_for(200ms);
    press_pause(true);
    std::this_thread::sleep_for(100ms);
    press_pause(false);
    EXPECT_EQ(sleeper2.wait_for(800ms), std::future_status::timeout);
    ASSERT_TRUE(finishes(sleeper2));
    EXPECT_EQ(sleeper2.get(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started2, 2500ms);

    // A pause still standing when the time is up holds the sleeper until Resume.
    auto sleeper3 = run_async([] { orvek::sleep_interruptible(100); });
    std::this_thread::sleep_for(20ms);
    press_pause(true);
    EXPECT_TRUE(still_blocked(sleeper3));
    press_pause(false);
    ASSERT_TRUE(finishes(sleeper3));
    EXPECT_EQ(sleeper3.get(), "");
}

TEST_F(run_state, wait_divisor_shortens_waits_but_keeps_them_non_zero)
{
    EXPECT_EQ(orvek::scaled_wait(5000), 5000u);
    orvek::wait_divisor = 100;
    EXPECT_EQ(orvek::scaled_wait(5000), 50u);
    EXPECT_EQ(orvek::scaled_wait(99), 1u);
    EXPECT_EQ(orvek::scaled_wait(0), 0u);

    orvek::wait_divisor = 1000;
    const auto started = std::chrono::steady_clock::now();
    orvek::sleep_interruptible(120000);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST_F(run_state, request_gate_bounds_concurrent_requests_and_holds_back_while_paused)
{
    {
        std::lock_guard lock(state_mutex);
        orvek::max_connections = 1;
    }
    std::future<std::string> second;
    {
        orvek::request_slot first;
        EXPECT_EQ(active_requests_now(), 1u);
        second = run_async([] { orvek::request_slot held; });
        EXPECT_TRUE(still_blocked(second));
    }
    ASSERT_TRUE(finishes(second));
    EXPECT_EQ(second.get(), "");
    EXPECT_EQ(active_requests_now(), 0u);

    // Free slots do not help while the run is paused.
    {
        std::lock_guard lock(state_mutex);
        orvek::max_connections = 8;
    }
    press_pause(true);
    auto waiting = run_async([] { orvek::request_slot held; });
    EXPECT_TRUE(still_blocked(waiting));
    press_pause(false);
    ASSERT_TRUE(finishes(waiting));
    EXPECT_EQ(waiting.get(), "");

    // A slot is given back while an exception unwinds the request.
    try {
        orvek::request_slot held;
        throw std::runtime_error("request failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(active_requests_now(), 0u);
}

// A hidden window on its own thread with its own message loop, standing in for
// the updater's window.
class test_window {
public:
    static constexpr UINT marker_message = WM_APP + 10;
    static constexpr UINT ask_on_own_thread_message = WM_APP + 11;
    static constexpr UINT quit_message = WM_APP + 12;
    static constexpr int chosen_button = IDRETRY;

    test_window()
    {
        std::promise<void> created;
        auto ready = created.get_future();
        thread_ = std::thread([this, &created] { run(created); });
        ready.wait();
    }
    ~test_window()
    {
        PostMessageW(window_, quit_message, /*wparam*/ 0, /*lparam*/ 0);
        thread_.join();
    }
    test_window(const test_window&) = delete;
    test_window& operator=(const test_window&) = delete;

    HWND handle() const { return window_; }
    DWORD thread_id() const { return thread_id_; }

    // Posted messages arrive in order, so once the marker is seen every
    // earlier post has been handled.
    void drain()
    {
        const int expected = markers_seen_ + 1;
        PostMessageW(window_, marker_message, /*wparam*/ 0, /*lparam*/ 0);
        for (int i = 0; i < 1000 && markers_seen_ < expected; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(markers_seen_, expected);
    }

    std::atomic<int> status_posts{0};
    std::atomic<int> markers_seen_{0};
    std::atomic<DWORD> box_thread{0};
    std::atomic<UINT> box_type{0};
    std::wstring box_text;  // written on the window's thread inside SendMessageW
    std::atomic<int> own_thread_result{0};
    std::atomic<bool> own_thread_done{false};

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        auto* self = reinterpret_cast<test_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr) {
            switch (message) {
            case orvek::status_changed_message:
                ++self->status_posts;
                return 0;
            case marker_message:
                ++self->markers_seen_;
                return 0;
            case orvek::show_message_box_message:
                self->box_thread = GetCurrentThreadId();
                self->box_type = static_cast<UINT>(wparam);
                self->box_text = reinterpret_cast<const wchar_t*>(lparam);
                return chosen_button;
            case ask_on_own_thread_message:
                self->own_thread_result = orvek::show_message_box(L"Asked on the window's thread",
                                                                  L"Own thread caption", MB_OKCANCEL);
                self->own_thread_done = true;
                return 0;
            case quit_message:
                DestroyWindow(window);
                PostQuitMessage(0);
                return 0;
            default:
                break;
            }
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }

    void run(std::promise<void>& created)
    {
        WNDCLASSW window_class{};
        window_class.lpfnWndProc = procedure;
        window_class.hInstance = GetModuleHandleW(/*this program*/ nullptr);
        window_class.lpszClassName = L"orvek-run-state-test";
        RegisterClassW(&window_class);  // fails harmlessly when already registered
        window_ = CreateWindowExW(/*extended style*/ 0, window_class.lpszClassName, L"ORVEK Updater",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100,
                                  /*parent*/ nullptr, /*menu*/ nullptr, window_class.hInstance,
                                  /*param*/ nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        thread_id_ = GetCurrentThreadId();
        created.set_value();
        MSG message;
        while (GetMessageW(&message, /*any window*/ nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    std::thread thread_;
    HWND window_ = nullptr;
    DWORD thread_id_ = 0;
};

TEST_F(run_state, set_status_posts_only_when_the_text_changes)
{
    {
        std::lock_guard lock(state_mutex);
        orvek::status_text = L"Downloading.";
    }
    test_window window;
    ASSERT_NE(window.handle(), nullptr);
    orvek::main_window = window.handle();

    orvek::set_status(L"Downloading.");
    window.drain();
    EXPECT_EQ(window.status_posts, 0);

    orvek::set_status(L"Installing.");
    orvek::set_status(L"Installing.");
    window.drain();
    EXPECT_EQ(window.status_posts, 1);
    {
        std::lock_guard lock(state_mutex);
        EXPECT_EQ(orvek::status_text, L"Installing.");
    }

    // Differs only in letter case: a change.
    orvek::set_status(L"installing.");
    window.drain();
    EXPECT_EQ(window.status_posts, 2);
}

TEST_F(run_state, message_box_from_a_worker_goes_through_the_window_thread)
{
    test_window window;
    ASSERT_NE(window.handle(), nullptr);
    orvek::main_window = window.handle();

    auto answer = std::async(std::launch::async, [] {
        return orvek::show_message_box(L"Install the new release?", L"Caller caption", MB_YESNO | MB_ICONQUESTION);
    });
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get(), test_window::chosen_button);
    EXPECT_EQ(window.box_thread, window.thread_id());
    EXPECT_NE(window.box_thread, GetCurrentThreadId());
    EXPECT_EQ(window.box_type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(window.box_text, L"Install the new release?");
}

// Waits for a message box with this caption, notes its owner and presses Cancel.
std::future<HWND> cancel_box_when_shown(const wchar_t* caption)
{
    return std::async(std::launch::async, [caption]() -> HWND {
        for (int i = 0; i < 1000; ++i) {
            if (const HWND box = FindWindowW(L"#32770", caption)) {
                const HWND owner = GetWindow(box, GW_OWNER);
                PostMessageW(box, WM_COMMAND, IDCANCEL, /*lparam*/ 0);
                return owner;
            }
            std::this_thread::sleep_for(10ms);
        }
        return reinterpret_cast<HWND>(-1);
    });
}

TEST_F(run_state, message_box_is_shown_directly_without_a_window_or_on_its_thread)
{
    // No window yet: the caller's caption and no owner.
    auto closer = cancel_box_when_shown(L"No window caption");
    EXPECT_EQ(orvek::show_message_box(L"Another updater is running.", L"No window caption", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(closer.get(), nullptr);

    // On the window's own thread: shown there, owned by the window.
    test_window window;
    ASSERT_NE(window.handle(), nullptr);
    orvek::main_window = window.handle();
    auto owner_closer = cancel_box_when_shown(L"Own thread caption");
    PostMessageW(window.handle(), test_window::ask_on_own_thread_message, /*wparam*/ 0, /*lparam*/ 0);
    EXPECT_EQ(owner_closer.get(), window.handle());
    for (int i = 0; i < 1000 && !window.own_thread_done; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(window.own_thread_done);
    EXPECT_EQ(window.own_thread_result, IDCANCEL);
    EXPECT_EQ(window.box_thread, 0u);
}

}  // namespace
