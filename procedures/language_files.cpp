#include "procedures/language_files.h"

#include "engine/game_process.h"
#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/sha256.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/updater_cache.h"
#include "engine/verification_cache.h"
#include "engine/zip_extraction.h"
#include "procedures/client_packages.h"
#include "procedures/game_wait.h"
#include "procedures/path_limit.h"

#include <fstream>
#include <stdexcept>
#include <unordered_set>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr char language_checks_magic[] = "ORVEK-LANGUAGE-CHECKS-1";
constexpr std::uintmax_t max_language_checks_bytes = 1'048'576;
// In the work folder: the core package, its extraction and the repair's stage.
constexpr wchar_t package_name[] = L"language-core.zip";
constexpr wchar_t extraction_name[] = L"language-core";
constexpr wchar_t repair_stage_name[] = L"language-repair";
const fs::path languages_folder = fs::path(L"data") / L"languages";

fs::path installed_language_file(const fs::path& installation, const fs::path& name) {
    return installation / languages_folder / name;
}

bool is_language_file_name(const fs::path& name) { return name.extension() == L".lang"; }

// Beside the "languages" state's own .checks file; empty when that state has
// no place, so nothing is remembered between runs.
fs::path language_checks_path(const file_checks& checks) {
    return checks.loaded ? checks.checks_path.parent_path() / L"languages.manifest" : fs::path();
}

bool language_checks_current(const fs::path& checks_file, const std::string& key,
                             file_checks& checks, const fs::path& installation) {
    if (repair_requested || checks_file.empty()) return false;
    std::vector<language_file_entry> entries;
    if (!read_language_checks(checks_file, key, entries)) return false;
    for (const language_file_entry& entry : entries) {
        checked_files += 1;
        if (!verify_file_cached(checks, installed_language_file(installation, entry.name), entry.sha256))
            return false;
    }
    return true;
}

// Hashes every language file of the package; the names of those the
// installation lacks or holds damaged.
std::vector<fs::path> find_language_repairs(const fs::path& package_folder, const fs::path& installation,
                                            file_checks& checks, std::vector<language_file_entry>& entries) {
    std::vector<fs::path> repairs;
    for (const fs::directory_entry& item : fs::directory_iterator(package_folder)) {
        check_pause_cancel();
        if (!item.is_regular_file() || !is_language_file_name(item.path())) continue;
        checked_files += 1;
        const fs::path name = checked_transaction_path(relative_utf8(item.path(), package_folder));
        const fs::path target = installed_language_file(installation, name);
        refuse_reparse_points(target);
        std::string sha256 = hash_file_sha256(item.path(), check_pause_cancel);
        entries.push_back({name, sha256});
        if (!verify_file_cached(checks, target, sha256)) repairs.push_back(name);
    }
    return repairs;
}

}  // namespace

void repair_language_files(const std::wstring& releases_base, const std::string& release_id,
                           const fs::path& installation, const fs::path& work) {
    set_status(L"Checking language files.");
    file_checks checks = load_file_checks(installation, L"languages");
    const fs::path checks_file = language_checks_path(checks);
    const std::string key = make_language_cache_key(releases_base, release_id);

    if (language_checks_current(checks_file, key, checks, installation)) {
        // Only for its move of the old package cache out of the installation.
        if (fs::is_directory(work.parent_path() / old_package_cache_name)) updater_cache_dir(work);
        save_file_checks(checks);
        return;
    }

    // Each name is known to fit before it is written: the package's, then
    // its entries', then the repair's.
    own_names names(installation);
    const fs::path package = work / package_name;
    names.add_file(package);
    names.refuse_too_long();
    download_client_package(build_release_url(releases_base, release_id, L"orvek.zip"),
                            build_release_url(releases_base, release_id, L"client-core.sha256"), "orvek.zip",
                            package);
    const fs::path extracted = work / extraction_name;
    names.add_folder(extracted);
    names.add_extraction(read_zip_entries(package), extracted);
    names.refuse_too_long();
    extract_zip(package, extracted);

    const fs::path package_folder = extracted / languages_folder;
    for (const wchar_t* required : {L"en.lang", L"fa.lang"}) {
        if (!fs::is_regular_file(package_folder / required))
            throw std::runtime_error("The verified client package is missing required language files.");
    }

    std::vector<language_file_entry> entries;
    const std::vector<fs::path> repairs = find_language_repairs(package_folder, installation, checks, entries);
    if (!repairs.empty()) {
        const fs::path stage = work / repair_stage_name;
        const fs::path rollback = installation / client_rollback_name;
        const transaction_paths transaction{installation, rollback};
        for (const fs::path& name : repairs) {
            names.add_file(stage / languages_folder / name);
            names.add_install(transaction, languages_folder / name);
        }
        names.add_journal(transaction);
        names.refuse_too_long();
        for (const fs::path& name : repairs) {
            const fs::path staged = stage / languages_folder / name;
            fs::create_directories(staged.parent_path());
            fs::copy_file(package_folder / name, staged);
        }
        if (is_game_running(installation)) {
            set_status(L"Close ORVEK to repair language files. Waiting up to two minutes.");
            if (!game_closed_within_wait(installation, game_poll::interruptible_sleep))
                throw std::runtime_error("Close ORVEK and Retry to repair language files.");
        }
        set_status(L"Repairing missing or damaged language files.");
        install_staged_tree(stage, installation, rollback);
        discard_rollback_directory(rollback);
    }
    finish_language_check(entries, checks, installation, checks_file, key);
}

std::string make_language_cache_key(const std::wstring& releases_base, const std::string& release_id) {
    return release_id + ":" + std::to_string(fnv1a_utf16le(releases_base));
}

bool read_language_checks(const fs::path& path, const std::string& key,
                          std::vector<language_file_entry>& entries) noexcept {
    try {
        refuse_reparse_points(path);
        if (!fs::is_regular_file(path) || fs::file_size(path) > max_language_checks_bytes) return false;
        std::ifstream in(path, std::ios::binary);
        std::string line;
        if (!std::getline(in, line) || line != language_checks_magic) return false;
        if (!std::getline(in, line) || line != key) return false;
        std::unordered_set<std::string> names;
        while (std::getline(in, line)) {
            const std::size_t tab = line.find('\t');
            if (tab == std::string::npos) return false;
            std::string name = line.substr(0, tab);
            const fs::path name_path = checked_transaction_path(name);
            std::string sha256 = line.substr(tab + 1);
            if (name_path.has_parent_path() || !is_language_file_name(name_path) || !names.insert(name).second ||
                !is_sha256_text(sha256))
                return false;
            entries.push_back({name_path, std::move(sha256)});
        }
        return in.eof() && !in.bad() && names.contains("en.lang") && names.contains("fa.lang");
    } catch (...) {
        return false;
    }
}

void write_language_checks(const fs::path& path, const std::string& key,
                           const std::vector<language_file_entry>& entries) noexcept {
    try {
        refuse_reparse_points(path);
        std::string text = std::string(language_checks_magic) + "\n" + key + "\n";
        for (const language_file_entry& entry : entries) text += path_to_utf8(entry.name) + "\t" + entry.sha256 + "\n";
        write_file_atomically(path, text);
    } catch (...) {
        // The next run takes the slow path again.
    }
}

void finish_language_check(std::vector<language_file_entry>& entries, file_checks& checks,
                           const fs::path& installation, const fs::path& checks_file, const std::string& key) {
    for (const language_file_entry& entry : entries) {
        if (!verify_file_cached(checks, installed_language_file(installation, entry.name), entry.sha256))
            throw std::runtime_error("Installed language file changed after verification.");
    }
    save_file_checks(checks);
    if (!checks_file.empty()) write_language_checks(checks_file, key, entries);
}

}  // namespace orvek
