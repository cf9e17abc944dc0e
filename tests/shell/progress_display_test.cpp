#include "shell/progress_display.h"

#include "engine/run_state.h"
#include "shell/main_window.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>

namespace orvek::test {
namespace {

std::uint64_t fake_now = 0;

std::wstring text_of(HWND control)
{
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

void set_state(bool pause, const std::wstring& status, const std::wstring& file)
{
    const std::lock_guard lock(state_mutex);
    paused = pause;
    status_text = status;
    current_file = file;
}

// The display keeps its last texts for the whole process, so the controls
// live as long as the suite: a fresh edit would miss an unchanged text.
class progress_display : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&classes);
        for (HWND* control : {&status_edit, &details_edit, &progress_bar}) {
            *control = CreateWindowExW(0, control == &progress_bar ? PROGRESS_CLASSW : L"EDIT", L"",
                                       ES_MULTILINE | ES_READONLY, 0, 0, 580, 50, /*parent*/ nullptr,
                                       /*menu*/ nullptr, GetModuleHandleW(nullptr), /*param*/ nullptr);
        }
    }
    void SetUp() override
    {
        ASSERT_NE(progress_bar, nullptr);
        display_clock = [] { return fake_now; };
        ++attempt_start_tick;  // a fresh rate window
    }
    void TearDown() override
    {
        display_clock = [] { return static_cast<std::uint64_t>(GetTickCount64()); };
        set_state(false, L"Checking for updates.", L"");
        for (auto* counter : {&total_bytes, &done_bytes, &received_bytes, &total_files, &finished_files, &checked_files})
            counter->store(0);
    }
};

TEST_F(progress_display, sizes_and_durations)
{
    struct row {
        bool size;
        std::uint64_t value;
        const wchar_t* expected;
    };
    const row rows[] = {
        {true, 0, L"0 bytes"}, {true, 1, L"1 bytes"}, {true, 1023, L"1023 bytes"}, {true, 1024, L"1.00 KB"},
        {true, 1536, L"1.50 KB"}, {true, 1048575, L"1024.00 KB"}, {true, 1048576, L"1.00 MB"},
        {true, 5242880, L"5.00 MB"}, {true, 10485760, L"10.00 MB"}, {true, 1073741824, L"1.00 GB"},
        {true, std::numeric_limits<std::uint64_t>::max(), L"17179869184.00 GB"},
        {false, 0, L"0 seconds"}, {false, 5, L"5 seconds"}, {false, 60, L"1 minutes and 0 seconds"},
        {false, 3599, L"59 minutes and 59 seconds"}, {false, 3600, L"1 hours and 0 minutes"},
        {false, 90061, L"25 hours and 1 minutes"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(r.size ? format_size(r.value) : format_duration(r.value), r.expected) << r.value;
    }
}

// Steps through attempts, one refresh per row. A row's text is the end of
// the details line; the current file is "bank.txt" and 4 files are listed.
TEST_F(progress_display, details_text_rate_window_and_position)
{
    struct row {
        std::uint64_t tick, received, done, total, finished;
        bool new_attempt;
        const wchar_t* expected;
        int position;
    };
    const row rows[] = {
        {1000, 0, 0, 0, 0, false, L"Remaining files: 4. Downloaded: 0 bytes of 0 bytes. 0 percent. "
                                  L"Speed: 0 bytes/s. Remaining time: unavailable", 0},
        // The worked example: a sample exactly 5000 ms old still counts.
        {6000, 5242880, 5242880, 10485760, 2, false,
         L"Current file: bank.txt. Checked files: 0. Remaining files: 2. Downloaded: 5.00 MB of 10.00 MB. 50 percent. "
         L"Speed: 1.00 MB/s. Remaining time: 5 seconds", 50},
        // Nothing received for over 5 s: both older samples leave the window.
        {11001, 5242880, 5242880, 10485760, 2, false, L"50 percent. Speed: 0 bytes/s. Remaining time: unavailable", 50},
        {11500, 100, 5242880, 10485760, 2, false, L"Speed: 0 bytes/s. Remaining time: unavailable", 50},
        // A new attempt starts with one sample, whatever came before.
        {20000, 0, 999500, 1000000, 1, true, L"Downloaded: 976.07 KB of 976.56 KB. 99 percent. Speed: 0 bytes/s. "
                                             L"Remaining time: unavailable", 99},
        {21000, 1000, 999500, 1000000, 1, false, L"Speed: 1000 bytes/s. Remaining time: 0 seconds", 99},
        // Counters read apart may overshoot.
        {22000, 2000, 20, 10, 5, false, L"Remaining files: 0. Downloaded: 20 bytes of 10 bytes. 100 percent. "
                                        L"Speed: 1000 bytes/s. Remaining time: unavailable", 100},
        {23000, 3000, 5, 0, 0, false, L"0 percent. Speed: 1000 bytes/s. Remaining time: unavailable", 0},
    };
    set_state(false, L"Downloading.", L"bank.txt");
    total_files = 4;
    for (const row& r : rows) {
        fake_now = r.tick;
        attempt_start_tick += r.new_attempt;
        received_bytes = r.received;
        done_bytes = r.done;
        total_bytes = r.total;
        finished_files = r.finished;
        refresh_window();
        EXPECT_TRUE(text_of(details_edit).ends_with(r.expected)) << text_of(details_edit);
        EXPECT_EQ(SendMessageW(progress_bar, PBM_GETPOS, 0, 0), r.position) << r.tick;
    }
    // A new attempt with nothing known yet.
    for (auto* counter : {&done_bytes, &received_bytes, &total_files, &finished_files}) counter->store(0);
    set_state(false, L"Downloading.", L"");
    ++attempt_start_tick;
    refresh_window();
    EXPECT_EQ(text_of(details_edit), L"Current file: . Checked files: 0. Remaining files: 0. Downloaded: 0 bytes of 0 "
                                     L"bytes. 0 percent. Speed: 0 bytes/s. Remaining time: unavailable");
}

// Hooks the status edit: every WM_SETTEXT counts and tries a nested refresh.
WNDPROC edit_proc = nullptr;
int status_writes = 0;
LRESULT CALLBACK counting_edit_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_SETTEXT) {
        ++status_writes;
        refresh_window();
    }
    return CallWindowProcW(edit_proc, window, message, wparam, lparam);
}

TEST_F(progress_display, status_line)
{
    edit_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(status_edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counting_edit_proc)));
    const std::wstring long_status(3000, L's');
    struct row {
        bool pause;
        std::wstring status;
        const wchar_t* edit_before;  // null: leave the edit as the last refresh left it
        std::wstring shown;
        int writes;
    };
    const row rows[] = {
        {false, L"Downloading sound data.", nullptr, L"Downloading sound data.", 1},
        {false, L"Downloading sound data.", nullptr, L"Downloading sound data.", 0},
        {true, L"Downloading sound data.", nullptr, L"Paused", 1},
        {true, L"Installing.", nullptr, L"Paused", 0},
        // The edit is compared with what it holds, not with what was written last.
        {false, L"Installing.", nullptr, L"Installing.", 1},
        {false, L"Installing.", L"Installinh.", L"Installing.", 1},
        // Too long to read back whole: written every time.
        {false, long_status, nullptr, long_status, 1},
        {false, long_status, nullptr, long_status, 1},
    };
    for (const row& r : rows) {
        if (r.edit_before != nullptr) {
            CallWindowProcW(edit_proc, status_edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(r.edit_before));
        }
        set_state(r.pause, r.status, L"");
        status_writes = 0;
        refresh_window();
        EXPECT_EQ(text_of(status_edit), r.shown) << r.shown.size();
        EXPECT_EQ(status_writes, r.writes) << r.shown.substr(0, 30);
    }
    SetWindowLongPtrW(status_edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(edit_proc));
}

}  // namespace
}  // namespace orvek::test
