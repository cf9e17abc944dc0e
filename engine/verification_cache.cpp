#include "engine/verification_cache.h"

#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/sha256.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/win_handle.h"

#include <windows.h>
#include <shlobj.h>
#include <winternl.h>

#include <algorithm>
#include <charconv>
#include <cwchar>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t max_checks_file_bytes = 16'777'216;

// Throws when no digit can be read; false when characters are left over.
bool parse_verified_at(std::string_view text, std::uint64_t& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{}) throw std::runtime_error("unreadable verification time");
    return end == text.data() + text.size();
}

// Fills `entries` from the state file, or leaves it empty when the file is
// damaged in any way: one bad line discards the whole file.
void read_checks_file(const fs::path& file, std::unordered_map<std::string, check_entry>& entries)
{
    std::error_code error;
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > max_checks_file_bytes || error) return;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line) || line != file_checks_magic) return;
    while (std::getline(in, line)) {
        const auto first = line.find('\t');
        const auto second = first == std::string::npos ? first : line.find('\t', first + 1);
        const auto third = second == std::string::npos ? second : line.find('\t', second + 1);
        if (third == std::string::npos) {
            entries.clear();
            return;
        }
        std::string key = line.substr(0, first);
        checked_transaction_path(key);
        check_entry entry{line.substr(first + 1, second - first - 1), line.substr(second + 1, third - second - 1), 0};
        if (!is_sha256_text(entry.sha256) || entry.identity.empty() || entries.contains(key) ||
            !parse_verified_at(std::string_view(line).substr(third + 1), entry.verified_at)) {
            entries.clear();
            return;
        }
        entries.emplace(std::move(key), std::move(entry));
    }
    if (!in.eof()) entries.clear();
}

// The serial of the volume that holds `file`, open as `handle`. A volume's
// serial does not change while the program runs, and under Wine every query
// of it is a round trip to the mount manager, so each volume, found by the
// volume path of the file, is asked once.
std::optional<DWORD> volume_serial(const fs::path& file, HANDLE handle)
{
    static std::mutex mutex;
    static std::map<std::wstring, DWORD> serials;
    // A volume path is never longer than the full path and its separator.
    std::wstring volume(std::max<std::size_t>(MAX_PATH, file.native().size()) + 2, L'\0');
    const bool named = GetVolumePathNameW(file.c_str(), volume.data(), static_cast<DWORD>(volume.size())) != 0;
    if (named) {
        volume.resize(std::wcslen(volume.c_str()));
        const std::lock_guard lock(mutex);
        if (const auto known = serials.find(volume); known != serials.end()) return known->second;
    }
    DWORD serial = 0;
    if (!GetVolumeInformationByHandleW(handle, /*name*/ nullptr, /*name size*/ 0, &serial,
                                       /*longest component*/ nullptr, /*flags*/ nullptr,
                                       /*file system name*/ nullptr, /*file system name size*/ 0)) {
        return std::nullopt;
    }
    if (named) {
        const std::lock_guard lock(mutex);
        serials.emplace(std::move(volume), serial);
    }
    return serial;
}

}  // namespace

bool is_checks_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_sha256_text(std::string_view text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), is_checks_hex_digit);
}

std::uint64_t fnv1a_utf16le(std::wstring_view text)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const wchar_t unit : text) {
        const auto code = static_cast<std::uint16_t>(unit);
        for (const std::uint8_t byte : {static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>(code >> 8)}) {
            hash ^= byte;
            hash *= 1099511628211ULL;
        }
    }
    return hash;
}

std::wstring installation_folder_name(const fs::path& folder)
{
    std::wstring text = fs::absolute(folder).lexically_normal().native();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return std::to_wstring(fnv1a_utf16le(text));
}

fs::path local_app_data_folder(const char* error_text)
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(/*owner*/ nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, /*token*/ nullptr,
                                SHGFP_TYPE_CURRENT, folder)) ||
        folder[0] == L'\0') {
        throw std::runtime_error(error_text);
    }
    return fs::path(folder);
}

fs::path verification_state_path(const fs::path& root)
{
    const std::wstring configured = get_setting(L"ORVEK_UPDATER_CACHE_ROOT", L"");
    const fs::path base = configured.empty()
                              ? local_app_data_folder("Cannot locate updater verification state.") / L"kelvor" /
                                    L"orvek" / L"updater-checks"
                              : fs::path(configured) / L"verification-state";
    return base / installation_folder_name(root);
}

fs::path verification_state_dir(const fs::path& root)
{
    const fs::path folder = verification_state_path(root);
    refuse_reparse_points(folder);
    fs::create_directories(folder);
    return folder;
}

std::uint64_t current_filetime()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string get_file_identity(const fs::path& file)
{
    refuse_reparse_points(file);
    const file_handle handle(CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*security*/ nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, /*template*/ nullptr));
    if (!handle) return {};
    // The fields of the by-handle information, asked for one by one so that
    // the volume is not asked for its serial once per file.
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    FILE_INTERNAL_INFORMATION internal{};
    IO_STATUS_BLOCK status{};
    if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(handle.get(), FileStandardInfo, &standard, sizeof(standard)) ||
        NtQueryInformationFile(handle.get(), &status, &internal, sizeof(internal), FileInternalInformation) < 0) {
        return {};
    }
    if (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return {};
    const std::optional<DWORD> serial = volume_serial(file, handle.get());
    if (!serial) return {};
    const auto high = [](LARGE_INTEGER value) { return std::to_string(static_cast<DWORD>(value.HighPart)); };
    return std::to_string(*serial) + ":" + high(internal.IndexNumber) + ":" +
           std::to_string(internal.IndexNumber.LowPart) + ":" + high(standard.EndOfFile) + ":" +
           std::to_string(standard.EndOfFile.LowPart) + ":" + std::to_string(basic.LastWriteTime.QuadPart) + ":" +
           std::to_string(basic.ChangeTime.QuadPart);
}

file_checks load_file_checks(const fs::path& root, const std::wstring& name)
{
    file_checks checks;
    checks.root = fs::absolute(root).lexically_normal();
    try {
        checks.checks_path = verification_state_dir(checks.root) / (name + L".checks");
        refuse_reparse_points(checks.checks_path);
        checks.loaded = true;
        read_checks_file(checks.checks_path, checks.entries);
    } catch (...) {
        checks.entries.clear();
    }
    return checks;
}

bool verify_file_cached(file_checks& checks, const fs::path& file, const std::string& expected)
{
    check_pause_cancel();
    const std::string key = relative_utf8(fs::absolute(file).lexically_normal(), checks.root);
    checked_transaction_path(key);

    const std::string before = get_file_identity(file);
    const std::uint64_t now = current_filetime();
    if (!before.empty() && !repair_requested) {
        const auto cached = checks.entries.find(key);
        if (cached != checks.entries.end() && cached->second.sha256 == expected && cached->second.identity == before &&
            now >= cached->second.verified_at && now - cached->second.verified_at < check_lifetime) {
            return true;
        }
    }

    try {
        verify_file_sha256(file, expected, [] { check_pause_cancel(); });
    } catch (...) {
        check_pause_cancel();
        checks.entries.erase(key);
        checks.dirty = true;
        return false;
    }

    const std::string after = get_file_identity(file);
    if (before.empty() || after.empty()) {
        checks.entries.erase(key);
        checks.dirty = true;
        std::error_code ignored;
        return fs::is_regular_file(file, ignored);
    }
    // Changed while it was hashed: the hash may describe neither version.
    if (before != after) return false;
    checks.entries[key] = check_entry{expected, after, now};
    checks.dirty = true;
    return true;
}

void save_file_checks(file_checks& checks) noexcept
{
    if (!checks.loaded || !checks.dirty) return;
    try {
        refuse_reparse_points(checks.checks_path);
        std::string text = std::string(file_checks_magic) + "\n";
        for (const auto& [key, entry] : checks.entries) {
            text += key + "\t" + entry.sha256 + "\t" + entry.identity + "\t" + std::to_string(entry.verified_at) + "\n";
        }
        write_file_atomically(checks.checks_path, text);
        checks.dirty = false;
    } catch (...) {
    }
}

}  // namespace orvek
