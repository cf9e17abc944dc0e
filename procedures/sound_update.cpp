#include "procedures/sound_update.h"

#include "engine/game_process.h"
#include "engine/http_client.h"
#include "engine/own_file_removal.h"
#include "engine/ranged_download.h"
#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/sha256.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/verification_cache.h"
#include "engine/worker_group.h"
#include "procedures/game_wait.h"
#include "procedures/path_limit.h"
#include "procedures/sound_manifest.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

namespace orvek {

namespace fs = std::filesystem;

void worker_group::start_sound_worker(const sound_download_worker_closure& closure) {
    start_thread(sound_download_thread_closure{closure});
}

void sound_download_thread_closure::operator()() const { run_sound_download_thread(work); }

void run_sound_download_thread(const sound_download_worker_closure& work) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    sound_download_worker(work);
}

fs::path sound_part_path(const fs::path& data_dir, const sound_download_item& item) {
    return data_dir / utf8_to_wide("." + item.id + "." + item.sha256 + ".part");
}

void sound_download_worker(const sound_download_worker_closure& work) noexcept {
    while (!work.stop_requested) {
        const std::uint64_t index = work.next_index.fetch_add(1);
        if (index >= work.items.size()) break;
        const sound_download_item& item = work.items[index];
        try {
            check_pause_cancel();
            {
                const std::lock_guard lock(state_mutex);
                current_file = utf8_to_wide(item.id);
            }
            set_status(L"Downloading files and verifying SHA-256.");
            const std::wstring url = work.releases_base + utf8_to_wide(work.manifest_id) + L"/" + utf8_to_wide(item.id);
            download_multipart(url, sound_part_path(work.data_dir, item), item.size, item.sha256);
            finished_files += 1;
        } catch (...) {
            {
                const std::lock_guard lock(work.pool_mutex);
                if (!work.first_error) work.first_error = std::current_exception();
            }
            work.stop_requested = true;
            // The other workers fail fast at their next checkpoint or request.
            request_cancel();
            break;
        }
    }
    {
        const std::lock_guard lock(work.pool_mutex);
        work.finished_workers += 1;
    }
    work.workers_done.notify_one();
}

std::uint64_t parse_connection_setting(const std::wstring& value) {
    std::uint64_t count = 2;
    try {
        // The standard unsigned conversion: blanks, a sign, digits, rest ignored.
        count = std::stoull(value, /*index*/ nullptr, 10);
    } catch (const std::exception&) {
        return 2;
    }
    return std::clamp<std::uint64_t>(count, 1, 8);
}

namespace {

// In the work folder: the fetched manifest's check and the install's stage.
constexpr wchar_t manifest_check_name[] = L"sound-manifest.check";
constexpr wchar_t stage_name[] = L"sound-stage";
// In the data folder: the installed manifest and the pointer that names it.
constexpr char manifest_name[] = "m";
constexpr char pointer_name[] = "v";

std::string as_bytes(const std::vector<char>& body) { return std::string(body.begin(), body.end()); }

// The release pointer exactly as received, and its trimmed form.
struct release_pointer {
    std::string response;
    std::string id;
};

release_pointer fetch_release_pointer(const std::wstring& pointer_url) {
    release_pointer pointer;
    pointer.response = as_bytes(fetch_metadata_with_retry(pointer_url));
    pointer.id = parse_release_version(pointer.response);
    if (pointer.id.size() != 64 || !is_pointer_hex_digit(pointer.id))
        throw std::runtime_error("The sound-data release pointer is not a SHA-256 manifest ID.");
    return pointer;
}

struct manifest_text {
    std::string bytes;
    bool fetched = false;  // a new manifest that must be installed
};

// The local manifest when it is the one the pointer names,
// else the server's, checked against the pointer.
manifest_text current_manifest(const release_pointer& pointer, const std::wstring& releases_base,
                               const fs::path& data, const fs::path& work, own_names& names) {
    manifest_text local{read_small_file(data / manifest_name), false};
    bool needed = read_local_version(data / pointer_name) != pointer.id || local.bytes.empty();
    std::error_code type_error;
    if (!needed && fs::is_regular_file(data / manifest_name, type_error)) {
        try {
            verify_file_sha256(data / manifest_name, pointer.id, check_pause_cancel);
        } catch (const std::exception&) {
            needed = true;
        }
    }
    if (!needed) return local;

    manifest_text fresh{as_bytes(fetch_metadata_with_retry(releases_base + utf8_to_wide(pointer.id) + L"/m")), true};
    const fs::path check_file = work / manifest_check_name;
    names.add_temporary(check_file);
    names.refuse_too_long();
    write_file_atomically(check_file, fresh.bytes);
    std::error_code ignored;
    try {
        verify_file_sha256(check_file, pointer.id, check_pause_cancel);
    } catch (...) {
        remove_own_file(check_file, ignored);
        throw std::runtime_error("Sound manifest SHA-256 does not match its release pointer.");
    }
    remove_own_file(check_file, ignored);
    return fresh;
}

// A file name as the manifest would write it; names outside ASCII cannot be
// asset IDs, so they never come back.
std::optional<std::string> ascii_name(const fs::path& name) {
    std::string narrow;
    for (const wchar_t c : name.native()) {
        if (c >= 0x80) return std::nullopt;
        narrow += static_cast<char>(c);
    }
    return narrow;
}

// A regular file in its own right: links and other reparse points are not
// followed and never count.
bool is_plain_file(const fs::path& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Asset files in the data folder that the manifest no longer lists. Names
// are compared without regard to case: on this file system a file "ab" is
// the listed asset "AB" (or "M" the manifest), and removing it would remove
// that asset.
std::vector<fs::path> find_obsolete_assets(const fs::path& data, const manifest_map& manifest) {
    std::unordered_set<std::string> kept{upper_case_id(manifest_name), upper_case_id(pointer_name)};
    for (const auto& [id, entry] : manifest) kept.insert(upper_case_id(id));

    std::vector<fs::path> obsolete;
    for (const fs::directory_entry& entry : fs::directory_iterator(data)) {
        if (!is_plain_file(entry.path())) continue;
        const std::optional<std::string> name = ascii_name(entry.path().filename());
        if (!name || !is_sound_asset_id(*name) || kept.contains(upper_case_id(*name))) continue;
        obsolete.push_back(entry.path());
    }
    return obsolete;
}

// Every listed asset that is missing, of the wrong size or fails
// verification goes on the download list.
std::vector<sound_download_item> find_assets_to_download(const fs::path& data, const manifest_map& manifest,
                                                         file_checks& checks) {
    std::vector<sound_download_item> items;
    for (const auto& [id, entry] : manifest) {
        check_pause_cancel();
        checked_files += 1;
        const fs::path file = data / utf8_to_wide(id);
        std::error_code error;
        const bool good = fs::is_regular_file(file, error) && fs::file_size(file, error) == entry.size && !error &&
                          verify_file_cached(checks, file, entry.sha256);
        if (good) continue;
        total_files += 1;
        total_bytes += entry.size;
        items.push_back(sound_download_item{id, entry.sha256, entry.size});
    }
    return items;
}

// The connection setting bounds every later request of the run, also when
// nothing is to be downloaded.
std::uint64_t apply_connection_setting() {
    const std::uint64_t count = parse_connection_setting(get_setting(L"ORVEK_UPDATER_CONNECTIONS", L"2"));
    {
        const std::lock_guard lock(state_mutex);
        max_connections = count;
    }
    return count;
}

// Downloads the list with min(connections, items) threads; the first
// failure is rethrown once every thread has been joined.
void run_download_pool(const std::vector<sound_download_item>& items, std::uint64_t connections,
                       const fs::path& data, const std::wstring& releases_base, const std::string& manifest_id) {
    std::atomic<bool> stop_requested{false};
    std::atomic<std::uint64_t> next_index{0};
    std::mutex pool_mutex;
    std::exception_ptr first_error;
    std::atomic<std::uint64_t> finished_workers{0};
    std::condition_variable workers_done;
    std::uint64_t started_workers = 0;
    // Declared after everything the threads refer to: it joins them first.
    worker_group workers;

    const sound_download_worker_closure closure{stop_requested, next_index,  items,           data,
                                                releases_base,  manifest_id, pool_mutex,      first_error,
                                                finished_workers, workers_done};
    const std::uint64_t count = std::min<std::uint64_t>(connections, items.size());
    for (std::uint64_t i = 0; i < count; ++i) {
        workers.start_sound_worker(closure);
        ++started_workers;
    }
    {
        std::unique_lock lock(pool_mutex);
        workers_done.wait(lock, all_workers_finished{finished_workers, started_workers});
    }
    workers.join_all();
    if (first_error) std::rethrow_exception(first_error);
}

// The verified downloads, the new manifest and the pointer go in
// through one transaction.
std::vector<install_record> install_sound_files(const std::vector<sound_download_item>& items,
                                                const manifest_text& manifest, const release_pointer& pointer,
                                                bool client_install, const fs::path& data, const fs::path& work) {
    set_status(L"Installing verified sound files.");
    const fs::path stage = work / stage_name;
    fs::create_directories(stage);
    for (const sound_download_item& item : items) {
        check_pause_cancel();
        // Under Wine CopyFileW looks the new name up twice (is it the source?
        // then the create), and each lookup reads the whole stage folder.
        const fs::path part = sound_part_path(data, item);
        const fs::path staged = stage / utf8_to_wide(item.id);
        if (!CopyFileW(part.c_str(), staged.c_str(), /*fail if exists*/ FALSE))
            throw fs::filesystem_error("cannot copy a verified sound file to the stage", part, staged,
                                       std::error_code(static_cast<int>(GetLastError()), std::system_category()));
    }
    if (manifest.fetched) write_file_atomically(stage / manifest_name, manifest.bytes);
    write_file_atomically(stage / pointer_name, pointer.response);

    const fs::path rollback = data / sound_rollback_name;
    std::vector<install_record> records = install_staged_tree(stage, data, rollback);
    // During a client install the update run commits or rolls back both
    // transactions together; otherwise this one is done.
    if (!client_install) discard_rollback_directory(rollback);
    return records;
}

std::string system_message(const std::error_code& error) {
    std::string text = error.message();
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Before the client install commits, each goes through the sound
// transaction, so that a rollback brings it back.
void remove_obsolete_assets(const std::vector<fs::path>& obsolete, bool client_install,
                            std::vector<install_record>& records, const fs::path& data) {
    for (const fs::path& file : obsolete) {
        check_pause_cancel();
        const auto refused = [&](const std::string& reason) {
            return std::runtime_error("Could not remove obsolete sound asset " + file.filename().string() + " (" +
                                      reason + ").");
        };
        std::error_code error;
        if (!client_install) {
            remove_own_file(file, error);
        } else {
            try {
                error = remove_in_transaction(records, file, data, data / sound_rollback_name);
            } catch (const std::exception& failure) {
                throw refused(failure.what());
            }
        }
        if (error) throw refused(system_message(error));
    }
}

// Before anything is written into the data folder: each download's names,
// the install's and the backups of a removal inside the client transaction.
// Every asset's backup is counted without looking the asset up: under Wine a
// lookup of a missing name reads the whole folder, and the backup's names are
// shorter than the download's anyway.
void refuse_names_too_long(own_names& names, const fs::path& data, const fs::path& work,
                           const std::vector<sound_download_item>& items, const manifest_text& manifest,
                           const std::vector<fs::path>& obsolete, bool client_install) {
    const transaction_paths rollback{data, data / sound_rollback_name};
    const fs::path stage = work / stage_name;
    for (const sound_download_item& item : items) {
        const fs::path part = sound_part_path(data, item);
        names.add_file(part);  // the range parts' suffixes are shorter than the state's temporary
        names.add_temporary(range_state_path(part));
        const fs::path id = utf8_to_wide(item.id);
        names.add_file(stage / id);
        names.add_file(data / id);
        names.add_backup(rollback, id);
    }
    if (!items.empty() || manifest.fetched) {
        for (const char* name : {manifest_name, pointer_name}) {
            names.add_temporary(stage / name);
            names.add_install(rollback, name);
        }
        names.add_journal(rollback);
    }
    if (client_install && !obsolete.empty()) {
        for (const fs::path& file : obsolete) names.add_backup(rollback, file.filename());
        names.add_journal(rollback);
    }
    names.refuse_too_long();
}

}  // namespace

void update_sound_data(const std::wstring& pointer_url, const std::wstring& releases_base,
                       const fs::path& installation, const fs::path& work) {
    const release_pointer pointer = fetch_release_pointer(pointer_url);

    const fs::path data = installation / L"data";
    recover_transaction(data, data / sound_rollback_name);
    file_checks checks = load_file_checks(installation, L"sounds");

    own_names names(installation);
    const manifest_text manifest = current_manifest(pointer, releases_base, data, work, names);

    set_status(L"Checking installed files. / بررسی فایلهای نصبشده.");
    const manifest_map assets = parse_sound_manifest(manifest.bytes);
    fs::create_directories(data);
    // The obsolete scan removes files, so the folder must be the real one.
    refuse_reparse_points(data);

    const std::vector<fs::path> obsolete = find_obsolete_assets(data, assets);
    const std::vector<sound_download_item> items = find_assets_to_download(data, assets, checks);
    const bool client_install = fs::exists(transaction_journal_path(installation / client_rollback_name));
    refuse_names_too_long(names, data, work, items, manifest, obsolete, client_install);

    download_checkpoint();
    const std::uint64_t connections = apply_connection_setting();
    run_download_pool(items, connections, data, releases_base, pointer.id);
    check_pause_cancel();

    if ((!items.empty() || !obsolete.empty()) && is_game_running(installation)) {
        set_status(L"Close ORVEK to install verified sound files. Waiting up to two minutes.");
        if (!game_closed_within_wait(installation, game_poll::interruptible_sleep))
            throw std::runtime_error("ORVEK is still running. Close it and Retry; verified downloads are retained.");
    }

    std::vector<install_record> records;
    if (!items.empty() || manifest.fetched)
        records = install_sound_files(items, manifest, pointer, client_install, data, work);

    for (const sound_download_item& item : items) {
        if (!verify_file_cached(checks, data / utf8_to_wide(item.id), item.sha256))
            throw std::runtime_error("Installed sound file changed after verification.");
        std::error_code ignored;
        const fs::path part = sound_part_path(data, item);
        remove_own_file(part, ignored);
        remove_own_file(range_state_path(part), ignored);
    }

    remove_obsolete_assets(obsolete, client_install, records, data);

    save_file_checks(checks);
    // During a client install the update run removes it with its own files.
    std::error_code ignored;
    if (!client_install) remove_own_file(installation / L"sounds.dat", ignored);
}

}  // namespace orvek
