#include "support/child_process.h"

#include "engine/transaction.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

namespace orvek::test {

win_handle start_process(const std::filesystem::path& program, const std::wstring& command_line,
                         const std::filesystem::path& folder)
{
    constexpr int attempts = 5;
    DWORD error = 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        std::wstring command = command_line;  // CreateProcessW may write into it
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(program.c_str(), command.data(), /*process security*/ nullptr, /*thread security*/ nullptr,
                           FALSE, 0, /*environment*/ nullptr, folder.empty() ? /*inherit*/ nullptr : folder.c_str(),
                           &startup, &process)) {
            CloseHandle(process.hThread);
            return win_handle(process.hProcess);
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) break;
        std::fprintf(stderr, "start %d of %s failed with Windows error 1359\n", attempt, path_to_utf8(program).c_str());
        Sleep(static_cast<DWORD>(100 * attempt));
    }
    throw std::runtime_error("could not start " + path_to_utf8(program) + " (Windows error " + std::to_string(error) +
                             ")");
}

root_import_watch::root_import_watch()
    : semaphore_(CreateSemaphoreW(/*security*/ nullptr, 1, 1, L"crypt32_root_semaphore"))
{
    if (!semaphore_) throw std::runtime_error("could not open crypt32's root import semaphore");
    watcher_ = std::thread([this] {
        int taken_polls = 0;
        while (!stop_) {
            Sleep(250);
            if (WaitForSingleObject(semaphore_.get(), 0) == WAIT_OBJECT_0) {
                ReleaseSemaphore(semaphore_.get(), 1, /*previous count*/ nullptr);
                taken_polls = 0;
            } else if (++taken_polls == 40) {
                std::fprintf(stderr, "crypt32's root import semaphore stayed taken for 10 s; given back\n");
                ReleaseSemaphore(semaphore_.get(), 1, /*previous count*/ nullptr);
                taken_polls = 0;
            }
        }
    });
}

root_import_watch::~root_import_watch()
{
    stop_ = true;
    watcher_.join();
}

}  // namespace orvek::test
