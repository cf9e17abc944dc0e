// Test stand-in for the game, orvek.exe. It writes its parameters and its
// working folder to "orvek-started.txt" beside itself (through a temporary
// file, so a reader never sees half of it) and runs until "orvek-exit"
// appears beside it, or three minutes have passed so it never lingers.

#include "command_line.h"

#include <windows.h>

#include <fstream>
#include <string>

using orvek::test::parameters_of;
using orvek::test::to_utf8;

int wmain()
{
    wchar_t module[32768];
    const DWORD length = GetModuleFileNameW(nullptr, module, 32768);
    std::wstring folder(module, length);
    folder.erase(folder.find_last_of(L'\\'));

    wchar_t current[32768];
    const DWORD current_length = GetCurrentDirectoryW(32768, current);

    const std::wstring record = folder + L"\\orvek-started.txt";
    {
        std::ofstream out((record + L".tmp").c_str(), std::ios::binary | std::ios::trunc);
        out << to_utf8(parameters_of(GetCommandLineW())) << '\n' << to_utf8(std::wstring(current, current_length)) << '\n';
    }
    MoveFileExW((record + L".tmp").c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING);

    const std::wstring exit_file = folder + L"\\orvek-exit";
    const ULONGLONG deadline = GetTickCount64() + 180'000;
    while (GetTickCount64() < deadline && GetFileAttributesW(exit_file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(50);
    }
    return 0;
}
