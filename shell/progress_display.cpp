#include "shell/progress_display.h"

#include "engine/run_state.h"
#include "shell/accessibility.h"
#include "shell/main_window.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <mutex>

namespace orvek {

std::uint64_t (*display_clock)() = [] { return static_cast<std::uint64_t>(GetTickCount64()); };

namespace {

struct speed_sample {
    std::uint64_t tick;
    std::uint64_t received;
};

// Speed is averaged over this window, so a stalled transfer drops to 0.
constexpr std::uint64_t rate_window_ms = 5000;
// Outside the bar's range 0..100, so the first refresh always sends a position.
constexpr std::uint32_t no_position = 101;

bool refresh_in_progress = false;

// Clears the flag on every way out of the refresh, an exception included.
class refresh_guard {
public:
    explicit refresh_guard(bool* flag) noexcept : flag_(flag) { *flag_ = true; }
    ~refresh_guard() { *flag_ = false; }
    refresh_guard(const refresh_guard&) = delete;
    refresh_guard& operator=(const refresh_guard&) = delete;

private:
    bool* flag_;
};

// Kept for the whole process, so a Retry that brings back the same texts
// changes nothing on screen.
std::wstring& last_announced_status()
{
    static std::wstring text;
    return text;
}

std::wstring& last_details_text()
{
    static std::wstring text;
    return text;
}

std::deque<speed_sample>& speed_samples()
{
    static std::deque<speed_sample> samples;
    return samples;
}

std::uint64_t sampled_attempt_start = 0;
std::uint32_t last_progress_position = no_position;

// Writes the status edit only when its text differs, so the timer does not
// make it repaint. A text longer than the read-back buffer never compares
// equal and is written every time.
void show_status(const std::wstring& shown)
{
    if (static_cast<std::size_t>(GetWindowTextLengthW(status_edit)) == shown.size()) {
        std::array<wchar_t, 2048> held{};
        GetWindowTextW(status_edit, held.data(), static_cast<int>(held.size()));
        if (shown == held.data()) {
            return;
        }
    }
    SetWindowTextW(status_edit, shown.c_str());
}

// Bytes per second over the samples of the last five seconds of this attempt.
std::uint64_t transfer_rate()
{
    const std::uint64_t now = display_clock();
    const std::uint64_t received = received_bytes.load();
    auto& samples = speed_samples();
    if (attempt_start_tick != sampled_attempt_start) {
        samples.clear();
        sampled_attempt_start = attempt_start_tick;
    }
    samples.push_back({now, received});
    while (samples.size() > 1 && now - samples.front().tick > rate_window_ms) {
        samples.pop_front();
    }
    const speed_sample& oldest = samples.front();
    const std::uint64_t elapsed = now - oldest.tick;
    if (elapsed == 0 || received < oldest.received) {
        return 0;
    }
    return (received - oldest.received) * 1000 / elapsed;
}

}  // namespace

void refresh_window()
{
    if (refresh_in_progress) {
        return;
    }
    const refresh_guard guard(&refresh_in_progress);

    std::wstring shown;
    std::wstring file;
    {
        const std::lock_guard lock(state_mutex);
        shown = paused ? L"Paused" : status_text;
        file = current_file;
    }
    if (shown != last_announced_status()) {
        last_announced_status() = shown;
        announce_status(shown);
    }
    show_status(shown);

    const std::uint64_t total = total_bytes.load();
    const std::uint64_t done = done_bytes.load();
    const std::uint64_t percent = total == 0 ? 0 : std::min<std::uint64_t>(100, done * 100 / total);

    const std::uint64_t speed = transfer_rate();
    const std::wstring remaining_time =
        speed != 0 && total > done ? format_duration((total - done) / speed) : L"unavailable";

    const std::uint64_t files = total_files.load();
    const std::uint64_t remaining_files = files - std::min(files, finished_files.load());

    std::wstring details = L"Current file: " + file;
    details += L". Checked files: " + std::to_wstring(checked_files.load());
    details += L". Remaining files: " + std::to_wstring(remaining_files);
    details += L". Downloaded: " + format_size(done) + L" of " + format_size(total);
    details += L". " + std::to_wstring(percent) + L" percent. Speed: " + format_size(speed);
    details += L"/s. Remaining time: " + remaining_time;
    if (details != last_details_text()) {
        last_details_text() = details;
        SetWindowTextW(details_edit, details.c_str());
    }

    if (percent != last_progress_position) {
        last_progress_position = static_cast<std::uint32_t>(percent);
        SendMessageW(progress_bar, PBM_SETPOS, static_cast<WPARAM>(percent), /*unused*/ 0);
    }
}

std::wstring format_size(std::uint64_t bytes)
{
    std::array<wchar_t, 64> text{};
    const double value = static_cast<double>(bytes);
    if (bytes >= 1073741824) {
        std::swprintf(text.data(), text.size(), L"%.2f GB", value / 1073741824.0);
    } else if (bytes >= 1048576) {
        std::swprintf(text.data(), text.size(), L"%.2f MB", value / 1048576.0);
    } else if (bytes < 1024) {
        std::swprintf(text.data(), text.size(), L"%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::swprintf(text.data(), text.size(), L"%.2f KB", value / 1024.0);
    }
    return text.data();
}

std::wstring format_duration(std::uint64_t seconds)
{
    std::array<wchar_t, 64> text{};
    const auto hours = static_cast<unsigned long long>(seconds / 3600);
    const auto minutes = static_cast<unsigned long long>(seconds % 3600 / 60);
    if (hours > 0) {
        std::swprintf(text.data(), text.size(), L"%llu hours and %llu minutes", hours, minutes);
    } else if (minutes > 0) {
        std::swprintf(text.data(), text.size(), L"%llu minutes and %llu seconds", minutes,
                      static_cast<unsigned long long>(seconds % 60));
    } else {
        std::swprintf(text.data(), text.size(), L"%llu seconds", static_cast<unsigned long long>(seconds));
    }
    return text.data();
}

}  // namespace orvek
