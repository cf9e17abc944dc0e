#include "procedures/sound_manifest.h"

#include "engine/transaction.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_set>

namespace orvek {
namespace {

constexpr char invalid_manifest_text[] = "The sound manifest is invalid.";

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_ascii_hex(unsigned char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

template <typename Predicate>
bool all_bytes(std::string_view text, Predicate predicate) {
    return std::all_of(text.begin(), text.end(), [&](char c) { return predicate(static_cast<unsigned char>(c)); });
}

std::string lower_case_hex(std::string_view hex) {
    std::string lower(hex);
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Digits only (checked by the caller); false when the value needs more than 64 bits.
bool parse_u64(std::string_view digits, std::uint64_t& value) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

bool is_id_alnum(std::string_view text) {
    return all_bytes(text, [](unsigned char c) { return is_ascii_letter(c) || is_ascii_digit(c); });
}

bool is_size_digit(std::string_view text) { return all_bytes(text, is_ascii_digit); }

bool is_pointer_hex_digit(std::string_view text) { return all_bytes(text, is_ascii_hex); }

bool is_sound_asset_id(std::string_view name) { return !name.empty() && name.size() <= 8 && is_id_alnum(name); }

std::string upper_case_id(std::string_view id) {
    std::string upper(id);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

bool is_reserved_sound_id(std::string_view upper_id) {
    // "m" and "v" are the manifest and its pointer, beside the assets.
    return upper_id == "M" || upper_id == "V" || is_device_name(upper_id);
}

manifest_map parse_sound_manifest(std::string_view text) {
    manifest_map manifest;
    std::unordered_set<std::string> upper_ids;

    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t end = std::min(text.find('\n', position), text.size());
        std::string_view line = text.substr(position, end - position);
        position = end + 1;

        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) continue;

        const std::size_t first_bar = line.find('|');
        const std::size_t second_bar = first_bar == std::string_view::npos ? first_bar : line.find('|', first_bar + 1);
        if (second_bar == std::string_view::npos) throw std::runtime_error(invalid_manifest_text);

        const std::string_view id = line.substr(0, first_bar);
        const std::string_view sha256 = line.substr(first_bar + 1, second_bar - first_bar - 1);
        const std::string_view size_text = line.substr(second_bar + 1);

        if (id.empty() || id.size() > 8 || sha256.size() != 64 || size_text.empty())
            throw std::runtime_error(invalid_manifest_text);
        if (!is_id_alnum(id) || !is_pointer_hex_digit(sha256)) throw std::runtime_error(invalid_manifest_text);
        if (!is_size_digit(size_text)) throw std::runtime_error("Invalid manifest file size.");

        std::uint64_t size = 0;
        if (!parse_u64(size_text, size)) throw std::runtime_error(invalid_manifest_text);

        std::string upper = upper_case_id(id);
        if (is_reserved_sound_id(upper)) throw std::runtime_error("Reserved sound asset identifier.");
        if (!upper_ids.insert(std::move(upper)).second)
            throw std::runtime_error("Sound manifest contains case-colliding identifiers.");
        if (size == 0) throw std::runtime_error(invalid_manifest_text);

        manifest.emplace(std::string(id), manifest_entry{std::string(line), lower_case_hex(sha256), size});
    }

    if (!manifest.contains(sound_catalog_id)) throw std::runtime_error("The sound catalog is missing.");
    return manifest;
}

}  // namespace orvek
