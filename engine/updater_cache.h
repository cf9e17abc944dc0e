#pragma once

// The per-user cache of client package downloads, one folder per installation.

#include <filesystem>

namespace orvek {

// The cache folder of the installation whose updater runs in the parent of
// `work_folder`, created; partial downloads left in the installation's old
// ".orvek-package-cache" folder are moved into it first.
std::filesystem::path updater_cache_dir(const std::filesystem::path& work_folder);

bool is_cache_name_hex_digit(wchar_t character);

}  // namespace orvek
