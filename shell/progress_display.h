#pragma once
// The window's texts and progress bar, drawn from the shared run state.

#include <cstdint>
#include <string>

namespace orvek {

// UI thread only; a call made while one runs returns at once.
void refresh_window();

std::wstring format_size(std::uint64_t bytes);
std::wstring format_duration(std::uint64_t seconds);

// Test seam: the millisecond clock of the transfer rate (GetTickCount64).
// Only test code changes it; the program has no input that reaches it.
extern std::uint64_t (*display_clock)();

}  // namespace orvek
