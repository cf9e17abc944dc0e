#include "support/transfer_test.h"

#include "engine/sha256.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace orvek::test {

std::string patterned_bytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed + (i >> 16)) & 0xff);
    return bytes;
}

testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
    if (actual == expected)
        return testing::AssertionSuccess();
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return testing::AssertionFailure() << "got " << actual.size() << " bytes, expected " << expected.size()
                                       << ", first difference at offset " << (mismatch.first - actual.begin());
}

std::string sha256_of(std::string_view bytes) {
    const temp_dir folder("hash");
    write_file(folder / "bytes", bytes);
    return hash_file_sha256(folder / "bytes", nullptr);
}

void transfer_test::SetUp() {
    reset_counters();
    wait_divisor = divisor;
}

void transfer_test::clear_run_state() {
    {
        const std::lock_guard lock(state_mutex);
        paused = false;
        cancelled = false;
        max_connections = 2;
    }
    state_changed.notify_all();
    reset_counters();
}

void transfer_test::TearDown() {
    clear_run_state();
    wait_divisor = 1;
}

testing::AssertionResult transfer_test::cancel_acts_on_a_slow_line(const std::function<void()>& download) {
    using clock = std::chrono::steady_clock;
    std::string error;
    clock::time_point ended;
    std::thread worker([&] {
        error = error_of(download);
        ended = clock::now();
    });
    const clock::time_point deadline = clock::now() + std::chrono::seconds(5);
    while (received_bytes.load() == 0 && clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // A read that waits for its whole buffer would show nothing yet.
    const std::uint64_t seen = received_bytes.load();
    const clock::time_point cancelled_at = clock::now();
    request_cancel();
    worker.join();
    clear_run_state();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(ended - cancelled_at);
    if (seen > 0 && seen < 262'144 && error == cancelled_at_checkpoint_text && took < std::chrono::seconds(5))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << seen << " bytes counted before the cancel; the cancel took "
                                       << took.count() << " ms and ended it with \"" << error << "\"";
}

void transfer_test::reset_counters() {
    total_bytes = 0;
    done_bytes = 0;
    received_bytes = 0;
    total_files = 0;
    finished_files = 0;
    checked_files = 0;
}

void transfer_test::set_max_connections(std::uint64_t count) {
    {
        const std::lock_guard lock(state_mutex);
        max_connections = count;
    }
    state_changed.notify_all();
}

std::wstring transfer_test::current_status() {
    const std::lock_guard lock(state_mutex);
    return status_text;
}

}  // namespace orvek::test
