#pragma once

// The per-user cache of client package downloads, one folder per installation.

#include <filesystem>

namespace orvek {

// Where earlier versions kept the package cache, beside the updater.
inline constexpr wchar_t old_package_cache_name[] = L".orvek-package-cache";

// The cache folder of the installation whose updater runs in the parent of
// `work_folder`, created; partial downloads left in the old folder beside
// the updater are moved into it first.
std::filesystem::path updater_cache_dir(const std::filesystem::path& work_folder);

bool is_cache_name_hex_digit(wchar_t character);

}  // namespace orvek
