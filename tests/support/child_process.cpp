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

}  // namespace orvek::test
