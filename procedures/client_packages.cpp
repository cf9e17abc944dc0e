#include "procedures/client_packages.h"

#include "engine/http_client.h"
#include "engine/own_file_removal.h"
#include "engine/ranged_download.h"
#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/sha256.h"
#include "engine/transaction.h"
#include "engine/updater_cache.h"
#include "procedures/partial_downloads.h"

#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace orvek {
namespace {

namespace fs = std::filesystem;

// Runs one stage; a failure becomes the stage's prefix followed by its text.
template <typename Stage>
auto in_stage(const char* prefix, Stage&& stage) {
    try {
        return std::forward<Stage>(stage)();
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string(prefix) + error.what());
    }
}

void download_through_cache(const std::wstring& package_url, const std::string& sha256, std::uint64_t size,
                            const fs::path& dest) {
    const fs::path cache_file = updater_cache_dir(dest.parent_path()) / utf8_to_wide(sha256 + ".part");
    refuse_reparse_points(cache_file);
    fs::create_directories(cache_file.parent_path());

    total_bytes += size;
    total_files += 1;
    set_status(L"Downloading and verifying client package.");
    download_multipart(package_url, cache_file, size, sha256);
    fs::copy_file(cache_file, dest, fs::copy_options::overwrite_existing);
    finished_files += 1;
    partial_downloads.push_back(cache_file);
}

}  // namespace

void download_client_package(const std::wstring& package_url, const std::wstring& manifest_url,
                             const std::string& entry_name, const fs::path& dest) {
    const std::vector<char> manifest = in_stage("Could not download package checksum manifest: ",
                                                [&] { return fetch_metadata_with_retry(manifest_url); });

    const std::string sha256 = in_stage("Package checksum manifest error: ", [&] {
        return parse_checksum_manifest(std::string_view(manifest.data(), manifest.size()), entry_name);
    });

    in_stage("Package download failed: ", [&] {
        // 0: the server gave no usable size, so no cache file can be named
        // and resumed; the package comes straight into dest.
        const std::uint64_t size = probe_package_size(package_url);
        if (size != 0)
            download_through_cache(package_url, sha256, size, dest);
        else
            download_file_with_retry(package_url, dest, /*counted*/ false);
    });

    try {
        verify_file_sha256(dest, sha256, check_pause_cancel);
    } catch (const std::exception& error) {
        // No checkpoint first: a cancel here removes dest too.
        std::error_code ignored;
        remove_own_file(dest, ignored);
        throw std::runtime_error(std::string("Package checksum verification failed: ") + error.what());
    }
}

}  // namespace orvek
