#pragma once

#include "engine/win_handle.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace orvek::test {

// Starts a program through CreateProcessW and returns its process handle.
// Wine now and then loses a new process in its own start-up, before any of
// the program's code runs (error 1359): such a start is tried again a few
// times. Throws, naming the last Windows error, when the start keeps failing.
win_handle start_process(const std::filesystem::path& program, const std::wstring& command_line,
                         const std::filesystem::path& folder = {});

// Wine's crypt32 lets the first process that checks a certificate import the
// host's root certificates while every other process waits on the semaphore
// "crypt32_root_semaphore"; a process killed during that import (or between
// its wait and its release) leaves the count at 0 and every later TLS
// connection in the prefix waits for ever. While a test kills processes that
// talk TLS, this keeps the semaphore alive and gives its count back when it
// stays taken for seconds, saying so on stderr. The test CA lies in the
// prefix's own ROOT store, so a skipped import of the host's roots is harmless.
class root_import_watch {
public:
    root_import_watch();
    ~root_import_watch();
    root_import_watch(const root_import_watch&) = delete;
    root_import_watch& operator=(const root_import_watch&) = delete;

private:
    win_handle semaphore_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

}  // namespace orvek::test
