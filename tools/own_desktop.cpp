// Runs a program in a Wine desktop of its own and returns its exit code:
//   own-desktop <program> [arguments]
// Wine keeps the foreground window per desktop, not per X display: on the
// shared desktop any window that comes up in another test (a console, a
// message box) takes the keyboard focus from a test that checks it. The
// program and everything it starts live on the new desktop, and in a job that
// ends with this process, so a time-out that kills the runner leaves no test
// behind.

#include "engine/win_handle.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct desktop_closer {
    void operator()(HDESK desktop) const { CloseDesktop(desktop); }
};
using desktop_owner = std::unique_ptr<std::remove_pointer_t<HDESK>, desktop_closer>;

// Our own command line less our own program's name: the program's, as it came.
std::wstring program_command_line() {
    const std::wstring_view line = GetCommandLineW();
    std::size_t at = line.starts_with(L'"') ? line.find(L'"', 1) : line.find_first_of(L" \t");
    if (at != std::wstring_view::npos && line[at] == L'"') ++at;
    at = line.find_first_not_of(L" \t", at);
    return std::wstring(at == std::wstring_view::npos ? std::wstring_view() : line.substr(at));
}

// wine-run names the program by its host path; CreateProcessW needs Windows'.
std::wstring windows_path(const wchar_t* program) {
    using to_windows = wchar_t*(CDECL*)(const char*);
    const auto convert = reinterpret_cast<to_windows>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (program[0] != L'/' || convert == nullptr) return program;
    const int size = WideCharToMultiByte(CP_UTF8, /*flags*/ 0, program, -1, /*out*/ nullptr, 0, /*default*/ nullptr,
                                         /*default used*/ nullptr);
    std::string host(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, /*flags*/ 0, program, -1, host.data(), size, /*default*/ nullptr,
                        /*default used*/ nullptr);
    wchar_t* const converted = convert(host.c_str());
    const std::wstring path = converted != nullptr ? converted : program;
    HeapFree(GetProcessHeap(), /*flags*/ 0, converted);
    return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: own-desktop <program> [arguments]\n", stderr);
        return 2;
    }
    std::wstring name = L"orvek-test-" + std::to_wstring(GetCurrentProcessId());
    // Inherited, the handle makes the desktop the program's default one, that
    // of all its threads; lpDesktop alone reaches only its first thread.
    SECURITY_ATTRIBUTES inherited{.nLength = sizeof(SECURITY_ATTRIBUTES), .bInheritHandle = TRUE};
    const desktop_owner desktop(CreateDesktopW(name.c_str(), /*device*/ nullptr, /*mode*/ nullptr, /*flags*/ 0,
                                               GENERIC_ALL, &inherited));
    if (!desktop) {
        std::fprintf(stderr, "own-desktop: no desktop (Windows error %lu)\n", GetLastError());
        return 2;
    }
    const orvek::win_handle job(CreateJobObjectW(/*security*/ nullptr, /*name*/ nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    const std::wstring program = windows_path(argv[1]);
    PROCESS_INFORMATION started{};
    // Wine now and then loses a new process in its start-up (error 1359).
    for (int attempt = 1;; ++attempt) {
        std::wstring command = program_command_line();  // CreateProcessW may write into it
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.lpDesktop = name.data();
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        if (CreateProcessW(program.c_str(), command.data(), /*process security*/ nullptr, /*thread security*/ nullptr,
                           TRUE, CREATE_SUSPENDED, /*environment*/ nullptr, /*current folder*/ nullptr, &startup,
                           &started))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
            std::fprintf(stderr, "own-desktop: could not start the program (Windows error %lu)\n", error);
            return 2;
        }
        std::fprintf(stderr, "own-desktop: start %d failed with Windows error 1359\n", attempt);
        Sleep(static_cast<DWORD>(100 * attempt));
    }
    const orvek::win_handle process(started.hProcess);
    const orvek::win_handle thread(started.hThread);
    // In the job before it runs, so whatever it starts is in it too.
    AssignProcessToJobObject(job.get(), process.get());
    ResumeThread(thread.get());
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}
