#pragma once

// Per-folder memory of verified files: a file whose identity is unchanged,
// whose expected SHA-256 is the same and whose check is under seven days old
// is trusted without hashing it again.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvek {

inline constexpr char file_checks_magic[] = "ORVEK-FILE-CHECKS-1";
// Seven days in FILETIME units (100 ns).
inline constexpr std::uint64_t check_lifetime = 6'048'000'000'000ULL;

struct check_entry {
    std::string sha256;
    std::string identity;
    std::uint64_t verified_at = 0;  // FILETIME, taken just before hashing
};

struct file_checks {
    std::filesystem::path root;         // absolute, lexically normal
    std::filesystem::path checks_path;  // "<state folder>\<name>.checks"; empty when unknown
    std::unordered_map<std::string, check_entry> entries;  // key: root-relative UTF-8, "/" separated
    bool loaded = false;  // saving is allowed
    bool dirty = false;
};

// Only errors in making `root` absolute propagate; everything else leaves an
// empty map (and `loaded` false when the state file cannot be placed).
file_checks load_file_checks(const std::filesystem::path& root, const std::wstring& name);

// True when `file` may be used as having SHA-256 `expected`. Hashes unless the
// cache holds a fresh entry for the same identity and hash.
bool verify_file_cached(file_checks& checks, const std::filesystem::path& file, const std::string& expected);

// Writes the state file when loaded and dirty; never throws.
void save_file_checks(file_checks& checks) noexcept;

// The verification-state folder of `root`, created.
std::filesystem::path verification_state_dir(const std::filesystem::path& root);
// Where that folder is; nothing is created.
std::filesystem::path verification_state_path(const std::filesystem::path& root);

// "volume:index-high:index-low:size-high:size-low:last-write:change"; "" when none.
std::string get_file_identity(const std::filesystem::path& file);

std::uint64_t current_filetime();

// 0-9, a-f, A-F.
bool is_checks_hex_digit(char c);
// 64 hexadecimal digits, either case.
bool is_sha256_text(std::string_view text);

// 64-bit FNV-1a over the UTF-16LE bytes of `text`, low byte first.
std::uint64_t fnv1a_utf16le(std::wstring_view text);

// Name of the per-installation folder of `folder`: decimal 64-bit FNV-1a of
// the lower-cased, absolute, lexically normal path's UTF-16LE bytes.
std::wstring installation_folder_name(const std::filesystem::path& folder);

// The per-user local application data folder; throws `error_text` when the
// shell cannot give it.
std::filesystem::path local_app_data_folder(const char* error_text);

}  // namespace orvek
