#include "procedures/leftovers.h"

#include "engine/game_process.h"
#include "engine/own_file_removal.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/verification_cache.h"
#include "engine/win_handle.h"
#include "procedures/sound_manifest.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <stdexcept>
#include <string>

namespace orvek {

namespace fs = std::filesystem;

namespace {

// Whether the process may be a copy of this program that still uses what it
// made. Pids are reused, so only a process that is gone, or runs another
// program, gives its leftovers up; one that cannot be asked keeps them.
bool owner_may_run(DWORD pid, const fs::path& program) {
    if (pid == GetCurrentProcessId()) return true;
    const win_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*inherit*/ FALSE, pid));
    if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE) return false;
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), /*win32 path form*/ 0, image.data(), &size)) return true;
    const std::wstring name = fs::path(image.substr(0, size)).filename().wstring();
    return _wcsicmp(name.c_str(), program.filename().c_str()) == 0 || _wcsicmp(name.c_str(), L"orvek-updater.exe") == 0;
}

bool is_lower_hex(std::wstring_view text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); });
}

// "." + asset ID + "." + SHA-256 + ".part.resume": a sound download's state.
bool is_sound_resume_state(std::wstring_view name) {
    constexpr std::wstring_view suffix = L".part.resume";
    if (!name.starts_with(L'.') || !name.ends_with(suffix) || name.size() < 1 + 1 + 65 + suffix.size()) return false;
    const std::wstring_view inner = name.substr(1, name.size() - 1 - suffix.size());
    const std::wstring_view id = inner.substr(0, inner.size() - 65);
    if (inner[id.size()] != L'.' || !is_lower_hex(inner.substr(id.size() + 1))) return false;
    if (std::any_of(id.begin(), id.end(), [](wchar_t c) { return c >= 0x80; })) return false;
    return is_sound_asset_id(std::string(id.begin(), id.end()));
}

// The process id at the end of a name, written as this program writes one:
// decimal, without leading zeros. 0 when `digits` is anything else.
DWORD written_process_id(std::wstring_view digits) {
    if (digits.empty() || digits.size() > 10 || digits.front() == L'0' ||
        !std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
        return 0;
    const unsigned long long pid = std::stoull(std::wstring(digits));
    return pid <= 0xFFFFFFFFull ? static_cast<DWORD>(pid) : 0;
}

// Removes the "<name>.tmp.<pid>" files directly in `folder` whose <name>
// `made_here` accepts.
template <typename Accept>
void remove_stale_temporaries(const fs::path& folder, const fs::path& program, Accept made_here) {
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::wstring name = entry->path().filename().wstring();
        const std::size_t at = name.rfind(temporary_infix);
        if (at == std::wstring::npos) continue;
        const DWORD pid = written_process_id(std::wstring_view(name).substr(at + temporary_infix.size()));
        if (pid == 0 || !made_here(std::wstring_view(name).substr(0, at))) continue;
        std::error_code ignored;
        if (entry->is_regular_file(ignored) && !owner_may_run(pid, program)) remove_own_file(entry->path(), ignored);
    }
}

template <std::size_t count>
auto one_of(const std::array<std::wstring_view, count>& names) {
    return [&names](std::wstring_view name) { return std::find(names.begin(), names.end(), name) != names.end(); };
}

constexpr std::array<std::wstring_view, 3> installation_files{version_file_name, commit_marker_name, launch_marker_name};
// The atomic writes into the installation's verification-state folder.
constexpr std::array<std::wstring_view, 3> state_files{L"sounds.checks", L"languages.checks", L"languages.manifest"};

}  // namespace

void remove_stale_leftovers(const fs::path& program, const fs::path& installation) noexcept {
    try {
        std::error_code error;
        const fs::path updater = program.parent_path();
        for (fs::directory_iterator entry(updater, error), end; !error && entry != end; entry.increment(error)) {
            const std::wstring name = entry->path().filename().wstring();
            if (!name.starts_with(work_folder_prefix)) continue;
            const DWORD pid = written_process_id(std::wstring_view(name).substr(work_folder_prefix.size()));
            // A link is never followed: only a real folder of ours goes.
            const DWORD attributes = GetFileAttributesW(entry->path().c_str());
            if (pid == 0 || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || owner_may_run(pid, program))
                continue;
            try {
                remove_tree(entry->path());
            } catch (const std::exception&) {
                // Tried again by the next run.
            }
        }
        remove_stale_temporaries(installation, program, one_of(installation_files));
        remove_stale_temporaries(installation / L"data", program, is_sound_resume_state);
        // Looked for where it is, never made.
        const fs::path state = verification_state_path(installation);
        refuse_reparse_points(state);
        remove_stale_temporaries(state, program, one_of(state_files));
    } catch (const std::exception&) {
        // Leftovers are only clutter; the run goes on.
    }
}

}  // namespace orvek
