#pragma once

// The small text files beside the installation and in the caches.

#include <filesystem>
#include <string>
#include <string_view>

namespace orvek {

// Trims trailing CR/LF/blanks and leading blanks, then demands 1..64
// characters of [A-Za-z0-9._-]; throws "The release version is invalid.".
std::string parse_release_version(std::string_view bytes);

// The version text in a file of at most 128 bytes; "" when missing or invalid.
std::string read_local_version(const std::filesystem::path& file);

// The whole file when it has at most 16 MiB; "" when missing or larger.
std::string read_small_file(const std::filesystem::path& file);

// Forces the file's bytes to disk; false when it cannot be opened or flushed.
bool flush_to_disk(const std::filesystem::path& file);

// Whether an atomic write forces the bytes to disk before the replace. A
// reader sees the old or the new file either way; only after a power cut can
// an unforced file be found with its new name but without its bytes.
enum class disk_flush { none, forced };

// The installed client release's identifier, in the installation folder.
inline constexpr wchar_t version_file_name[] = L"version.txt";

// Between a temporary's target and the process id that writes it.
inline constexpr std::wstring_view temporary_infix = L".tmp.";

// "<file>.tmp.<pid>": where an atomic write of `file` by this process puts
// the bytes before the replace.
std::filesystem::path temporary_path(const std::filesystem::path& file);

// Writes through its temporary and MoveFileExW(REPLACE_EXISTING|WRITE_THROUGH).
void write_file_atomically(const std::filesystem::path& file, std::string_view bytes,
                           disk_flush flush = disk_flush::none);

}  // namespace orvek
