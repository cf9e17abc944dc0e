// Helper of the release tool's end-to-end test: installs the client release
// and the sound data that a release tree on the test server points at, the
// way the update run's new-release road does, into an installation folder.
//
// usage: install-release <origin URL ending in "/"> <installation folder>
// Prints the failure's message and exits 1 when any step fails.

#include "engine/http_client.h"
#include "engine/settings.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/zip_extraction.h"
#include "procedures/client_packages.h"
#include "procedures/sound_update.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 2;
    const std::wstring origin = argv[1];
    const fs::path install = argv[2];
    const fs::path work = install / L".orvek_update_test";
    const fs::path stage = work / L"stage";
    try {
        const auto body = orvek::fetch_metadata_with_retry(origin + L"version.txt");
        const std::string id = orvek::parse_release_version(std::string_view(body.data(), body.size()));
        const std::wstring release = origin + L"releases/" + orvek::utf8_to_wide(id) + L"/";
        fs::create_directories(stage);
        orvek::download_client_package(release + L"orvek.zip", release + L"client-core.sha256", "orvek.zip",
                                       work / L"core.zip");
        orvek::download_client_package(release + L"client-libraries.zip", release + L"client-libraries.sha256",
                                       "client-libraries.zip", work / L"libraries.zip");
        orvek::extract_zip(work / L"core.zip", stage);
        orvek::extract_zip(work / L"libraries.zip", stage);
        orvek::write_file_atomically(stage / L"version.txt", id);
        orvek::install_staged_tree(stage, install, install / L".orvek-client-rollback");
        orvek::update_sound_data(origin + L"data/v", origin + L"data/releases/", install, work);
        orvek::discard_rollback_directory(install / L".orvek-client-rollback");
        orvek::discard_rollback_directory(install / L"data" / L".orvek-sound-rollback");
        fs::remove_all(work);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
