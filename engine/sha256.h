#pragma once

// SHA-256 of files through CNG, and the one-entry package checksum manifest.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace orvek {

using progress_callback = std::function<void()>;

// 64 lower-case hex characters. `progress` runs before each 1 MiB block.
std::string hash_file_sha256(const std::filesystem::path& file, const progress_callback& progress);

// Throws "Downloaded package SHA-256 does not match its checksum manifest."
void verify_file_sha256(const std::filesystem::path& file, const std::string& expected,
                        const progress_callback& progress);

// The lower-cased SHA-256 of the manifest's single entry for `expected_name`.
std::string parse_checksum_manifest(std::string_view manifest, const std::string& expected_name);

}  // namespace orvek
