#pragma once
// The optional piano sample bank in a per-user folder: content-addressed
// objects, a staged bank of links to them, verified and swapped into place.

#include <filesystem>
#include <string>
#include <string_view>

#include "procedures/sound_manifest.h"

namespace orvek {

// `piano_data` is the installation's data/piano (holding "v" and "m");
// `piano_releases_base` ends in "piano/releases/".
void update_piano_bank(const std::filesystem::path& piano_data, const std::filesystem::path& bank_root,
                       const std::wstring& piano_releases_base);

manifest_map parse_piano_manifest(std::string_view bytes);

}  // namespace orvek
