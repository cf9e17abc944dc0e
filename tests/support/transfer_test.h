#pragma once

// Shared ground of the transfer tests: a fixture that gives each test a clean
// run state with short retry waits, and small helpers.

#include "engine/run_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace orvek::test {

// The error text of `action`, or "" when it does not throw.
template <typename Action>
std::string error_of(Action&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

// Equal bytes; on a difference reports the sizes and the first differing
// offset instead of printing megabytes.
testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected);

// Bytes that differ from position to position, so misplaced ranges show.
std::string patterned_bytes(std::size_t count, unsigned seed = 7);

// The SHA-256 text of bytes, through a file in the temporary folder.
std::string sha256_of(std::string_view bytes);

// Clears the run state and the progress counters and shortens the retry
// waits by `divisor`; everything is put back afterwards.
class transfer_test : public testing::Test {
public:
    static constexpr std::uint32_t divisor = 20;

protected:
    void SetUp() override;
    void TearDown() override;

    static void reset_counters();
    // Runs `download` of a body that trickles in on a thread of its own,
    // cancels the run once the first bytes are counted and checks that the
    // cancel ends it within 5 s. Leaves the run state cleared.
    static testing::AssertionResult cancel_acts_on_a_slow_line(const std::function<void()>& download);
    static void set_max_connections(std::uint64_t count);
    static std::wstring current_status();

private:
    static void clear_run_state();
};

}  // namespace orvek::test
