#pragma once

// The sound manifest: one "ID|sha256|size" line per content-addressed asset
// in the installation's data folder. The piano bank keeps its own manifest in
// the same map and record.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvek {

struct manifest_entry {
    std::string line;    // the whole line as read, without its line end
    std::string sha256;  // 64 lower-case hex characters
    std::uint64_t size = 0;
};

// Keyed by asset ID as written (sound) or by relative path (piano).
using manifest_map = std::unordered_map<std::string, manifest_entry>;

// The ID of the sound catalog, which every sound manifest must list.
inline constexpr char sound_catalog_id[] = "i";

// Throws at the first bad line; nothing is returned in part.
manifest_map parse_sound_manifest(std::string_view text);

// 1 to 8 ASCII letters or digits. Reserved names are not tested here.
bool is_sound_asset_id(std::string_view name);

// True when every byte passes (ASCII classes only).
bool is_id_alnum(std::string_view text);
bool is_size_digit(std::string_view text);
bool is_pointer_hex_digit(std::string_view text);

// ASCII letters upper-cased byte by byte; every other byte kept.
std::string upper_case_id(std::string_view id);

// M, V and the device names (CON, COM1, ...), after upper-casing.
bool is_reserved_sound_id(std::string_view upper_id);

}  // namespace orvek
