#include "engine/updater_cache.h"

#include "engine/settings.h"
#include "engine/transaction.h"
#include "engine/verification_cache.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace orvek {

namespace fs = std::filesystem;

namespace {

// A partial download or one of its companions: 64 hex digits and a suffix.
bool is_migrated_name(std::wstring_view name)
{
    constexpr std::array<std::wstring_view, 4> suffixes = {L".part", L".part.resume", L".part.range0", L".part.range1"};
    if (name.size() <= 68) return false;
    if (!std::all_of(name.begin(), name.begin() + 64, is_cache_name_hex_digit)) return false;
    const std::wstring_view suffix = name.substr(64);
    return std::find(suffixes.begin(), suffixes.end(), suffix) != suffixes.end();
}

}  // namespace

bool is_cache_name_hex_digit(wchar_t character)
{
    return (character >= L'0' && character <= L'9') || (character >= L'a' && character <= L'f') ||
           (character >= L'A' && character <= L'F');
}

fs::path updater_cache_dir(const fs::path& work_folder)
{
    const std::wstring configured = get_setting(L"ORVEK_UPDATER_CACHE_ROOT", L"");
    const fs::path base = configured.empty()
                              ? local_app_data_folder("Cannot locate the Windows updater cache directory.") /
                                    L"kelvor" / L"orvek" / L"updater-cache"
                              : fs::path(configured);
    const fs::path key_folder = work_folder.parent_path();
    const fs::path cache = base / installation_folder_name(key_folder);
    refuse_reparse_points(cache);
    fs::create_directories(cache);

    const fs::path old_cache = key_folder / old_package_cache_name;
    refuse_reparse_points(old_cache);
    if (!fs::is_directory(old_cache)) return cache;

    // Listed first, so the moves do not disturb the listing.
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(old_cache)) {
        if (is_migrated_name(entry.path().filename().native())) entries.push_back(entry.path());
    }
    for (const auto& entry : entries) {
        refuse_reparse_points(entry);
        const fs::path destination = cache / entry.filename();
        refuse_reparse_points(destination);
        if (fs::exists(destination)) continue;  // never overwrite what the cache already holds
        if (!MoveFileExW(entry.c_str(), destination.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
            throw std::runtime_error("Cannot migrate the existing updater cache.");
        }
    }
    if (fs::is_empty(old_cache)) fs::remove(old_cache);
    return cache;
}

}  // namespace orvek
