#pragma once

// One client release package (a ZIP), fetched and verified against the
// checksum manifest published beside it.

#include <filesystem>
#include <string>

namespace orvek {

// Leaves `dest` holding the package whose SHA-256 the manifest at
// `manifest_url` names for `entry_name`. When the server reports the size,
// the package goes through the per-user cache file "<sha256>.part" (resumed,
// two connections from 8 MiB, reused when complete) and is copied to `dest`;
// otherwise it is downloaded straight into `dest`. Failures carry one of the
// prefixes "Could not download package checksum manifest: ", "Package
// checksum manifest error: ", "Package download failed: " and "Package
// checksum verification failed: ".
void download_client_package(const std::wstring& package_url, const std::wstring& manifest_url,
                             const std::string& entry_name, const std::filesystem::path& dest);

}  // namespace orvek
