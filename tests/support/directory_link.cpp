#include "support/directory_link.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace orvek::test {

namespace {

// Wine's own export: the Unix path of a Windows path (freed by the caller).
std::wstring unix_path(const std::filesystem::path& path)
{
    using converter = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<converter>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) throw std::runtime_error("test needs Wine to make a folder link");
    char* text = convert(std::filesystem::absolute(path).c_str());
    if (!text) throw std::runtime_error("test could not map a path to Unix");
    const std::string narrow(text);
    HeapFree(GetProcessHeap(), 0, text);
    return std::wstring(narrow.begin(), narrow.end());  // test paths are ASCII
}

// Starts a Unix program; Wine cannot wait for it, so callers poll its effect.
void run_unix(const wchar_t* program, std::wstring command)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, command.data(), /*process security*/ nullptr, /*thread security*/ nullptr, FALSE, 0,
                        /*environment*/ nullptr, /*current folder*/ nullptr, &startup, &process)) {
        throw std::runtime_error("test could not start a Unix helper");
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

bool is_link(const std::filesystem::path& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Also true for a link whose target is gone.
bool entry_exists(const std::filesystem::path& path)
{
    WIN32_FIND_DATAW data;
    const HANDLE found = FindFirstFileW(path.c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) return false;
    FindClose(found);
    return true;
}

}  // namespace

directory_link::directory_link(const std::filesystem::path& link, const std::filesystem::path& target) : link_(link)
{
    run_unix(L"Z:\\bin\\ln", L"/bin/ln -s \"" + unix_path(target) + L"\" \"" + unix_path(link) + L"\"");
    for (int i = 0; i < 250; ++i) {
        if (is_link(link)) return;
        Sleep(20);
    }
    throw std::runtime_error("test could not make a folder link");
}

directory_link::~directory_link()
{
    try {
        run_unix(L"Z:\\bin\\rm", L"/bin/rm -f \"" + unix_path(link_) + L"\"");
        for (int i = 0; i < 250 && entry_exists(link_); ++i) Sleep(20);
    } catch (...) {
    }
}

}  // namespace orvek::test
