#pragma once

#include "engine/win_handle.h"

#include <filesystem>
#include <string>

namespace orvek::test {

// Starts a program through CreateProcessW and returns its process handle.
// Wine now and then loses a new process in its own start-up, before any of
// the program's code runs (error 1359): such a start is tried again a few
// times. Throws, naming the last Windows error, when the start keeps failing.
win_handle start_process(const std::filesystem::path& program, const std::wstring& command_line,
                         const std::filesystem::path& folder = {});

}  // namespace orvek::test
