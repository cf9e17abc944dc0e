#pragma once
// Keeps the installation's data/languages/*.lang files identical to those of
// the installed release's core package.

#include <filesystem>
#include <string>
#include <vector>

namespace orvek {

struct file_checks;

struct language_file_entry {
    std::filesystem::path name;  // one component, "<x>.lang"
    std::string sha256;
};

void repair_language_files(const std::wstring& releases_base, const std::string& release_id,
                           const std::filesystem::path& installation, const std::filesystem::path& work);

// "<release id>:<FNV-1a of the releases base>".
std::string make_language_cache_key(const std::wstring& releases_base, const std::string& release_id);

// Never throws; fills `entries` only as far as it read.
bool read_language_checks(const std::filesystem::path& path, const std::string& key,
                          std::vector<language_file_entry>& entries) noexcept;
// Never throws.
void write_language_checks(const std::filesystem::path& path, const std::string& key,
                           const std::vector<language_file_entry>& entries) noexcept;

void finish_language_check(std::vector<language_file_entry>& entries, file_checks& checks,
                           const std::filesystem::path& installation, const std::filesystem::path& checks_file,
                           const std::string& key);

}  // namespace orvek
