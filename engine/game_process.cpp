#include "engine/game_process.h"

#include "engine/own_file_removal.h"
#include "engine/small_files.h"
#include "engine/win_handle.h"

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>
#include <stdexcept>
#include <vector>

namespace orvek {

namespace fs = std::filesystem;

namespace {

// True when the process is the game at `expected`, or cannot be inspected.
bool is_game_process(DWORD process_id, const fs::path& expected)
{
    const win_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*inherit*/ FALSE, process_id));
    if (!process) return true;
    std::vector<wchar_t> image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), /*win32 path form*/ 0, image.data(), &size)) return true;
    const fs::path image_path = fs::path(std::wstring(image.data(), size)).lexically_normal();
    std::error_code error;
    if (fs::equivalent(expected, image_path, error) && !error) return true;
    return _wcsicmp(expected.c_str(), image_path.c_str()) == 0;
}

}  // namespace

bool is_game_running(const fs::path& installation)
{
    const fs::path expected = fs::absolute(installation / L"orvek.exe").lexically_normal();
    const win_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, /*all processes*/ 0));
    if (!snapshot) {
        throw std::runtime_error("Cannot check whether ORVEK is running; installation was stopped safely.");
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"orvek.exe") != 0) continue;
        if (is_game_process(entry.th32ProcessID, expected)) return true;
    }
    return false;
}

void launch_game(const fs::path& installation)
{
    const fs::path marker = installation / launch_marker_name;
    write_file_atomically(marker, "ok");
    const fs::path game = installation / L"orvek.exe";
    const auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(/*owner*/ nullptr, L"open", game.c_str(),
                                                                L"--orvek-updater-launch", installation.c_str(),
                                                                SW_SHOWNORMAL));
    if (result <= 32) {
        std::error_code ignored;
        remove_own_file(marker, ignored);
        throw std::runtime_error("Could not start Orvek.");
    }
}

}  // namespace orvek
