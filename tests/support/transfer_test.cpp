#include "support/transfer_test.h"

#include "engine/sha256.h"
#include "support/temp_dir.h"

#include <algorithm>

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

void transfer_test::TearDown() {
    {
        const std::lock_guard lock(state_mutex);
        paused = false;
        cancelled = false;
        max_connections = 2;
    }
    state_changed.notify_all();
    wait_divisor = 1;
    reset_counters();
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
