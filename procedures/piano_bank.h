#pragma once
// The optional piano sample bank in a per-user folder: content-addressed
// objects, a staged bank of links to them, verified and swapped into place.

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/verification_cache.h"
#include "procedures/sound_manifest.h"

namespace orvek {

// `piano_data` is the installation's data/piano (holding "v" and "m");
// `piano_releases_base` ends in "piano/releases/".
void update_piano_bank(const std::filesystem::path& piano_data, const std::filesystem::path& bank_root,
                       const std::wstring& piano_releases_base);

// Throws at the first bad line; nothing is returned in part.
manifest_map parse_piano_manifest(std::string_view bytes);

// True when every manifest path below `folder` is a regular file of the
// listed size whose SHA-256 verifies (through the cache of `checks`, whose
// root is the bank root). Counts each file it looks at in checked_files.
struct piano_bank_complete {
    const manifest_map& manifest;
    file_checks& checks;
    bool operator()(const std::filesystem::path& folder) const;
};

}  // namespace orvek
