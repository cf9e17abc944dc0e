#include "engine/zip_extraction.h"

#include "engine/run_state.h"
#include "engine/win_handle.h"

#include <windows.h>
#include <shellapi.h>

#include <stdexcept>

namespace orvek {

std::wstring quote_powershell_literal(std::wstring_view text)
{
    // PowerShell ends a single-quoted string at any of these; doubled, each
    // stands for itself.
    constexpr std::wstring_view quotes = L"'\u2018\u2019\u201a\u201b";
    std::wstring quoted;
    quoted.reserve(text.size());
    for (const wchar_t c : text) {
        if (quotes.find(c) != std::wstring_view::npos) quoted += c;
        quoted += c;
    }
    return quoted;
}

std::wstring extractor_parameters(const std::filesystem::path& zip, const std::filesystem::path& destination)
{
    return L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"Add-Type -AssemblyName "
           L"System.IO.Compression.FileSystem; [IO.Compression.ZipFile]::ExtractToDirectory('" +
           quote_powershell_literal(zip.native()) + L"','" + quote_powershell_literal(destination.native()) + L"')\"";
}

void extract_zip(const std::filesystem::path& zip, const std::filesystem::path& destination)
{
    check_pause_cancel();
    const std::wstring parameters = extractor_parameters(zip, destination);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;    // no owner window
    info.lpVerb = nullptr;  // default verb
    info.lpFile = L"powershell.exe";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;  // inherit the current folder
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info);
    win_handle process(started ? info.hProcess : nullptr);
    if (!process) throw std::runtime_error("Could not start the ZIP extractor.");

    try {
        while (WaitForSingleObject(process.get(), 100) == WAIT_TIMEOUT) {
            const std::lock_guard lock(state_mutex);
            if (cancelled) throw std::runtime_error("Extraction cancelled.");
        }
    } catch (...) {
        // Never leave a half-finished extractor writing into the stage.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
        throw;
    }

    DWORD exit_code = 1;
    GetExitCodeProcess(process.get(), &exit_code);
    process.reset();
    if (exit_code != 0) throw std::runtime_error("Could not extract the update package.");
    check_pause_cancel();
}

}  // namespace orvek
