#include "procedures/update_run.h"

#include "engine/game_process.h"
#include "engine/http_client.h"
#include "engine/own_file_removal.h"
#include "engine/run_state.h"
#include "engine/settings.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/zip_extraction.h"
#include "procedures/client_packages.h"
#include "procedures/game_wait.h"
#include "procedures/language_files.h"
#include "procedures/leftovers.h"
#include "procedures/partial_downloads.h"
#include "procedures/path_limit.h"
#include "procedures/piano_bank.h"
#include "procedures/sound_update.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace orvek {

namespace fs = std::filesystem;

namespace {

// In the work folder: the verified packages and the release they extract to.
constexpr wchar_t core_package_name[] = L"core.zip";
constexpr wchar_t libraries_package_name[] = L"libraries.zip";
constexpr wchar_t stage_name[] = L"stage";
constexpr char core_zip_failure[] = "The verified client core ZIP is corrupt or could not be extracted.";
constexpr char libraries_zip_failure[] = "The verified client libraries ZIP is corrupt or could not be extracted.";
// Removed after an update, inside the client transaction.
constexpr const wchar_t* obsolete_client_files[] = {L"sounds.dat", L"lib/ggml-base.bin", L"lib/ggml-small-q5_1.bin",
                                                    L"lib/vulkan-1.dll"};
constexpr char recovery_note[] = "Recovery files retained at:";
constexpr wchar_t piano_ready_text[] =
    L"Piano bank ready. Use Enter at the public piano, or F6 for local practice. / "
    L"بانک پیانو آماده است؛ کنار پیانوی عمومی Enter بزنید یا برای تمرین محلی F6 بزنید.";

struct run_switches {
    bool launch = false;
    bool piano = false;
};

run_switches read_switches() {
    run_switches switches;
    repair_requested = false;
    for (const std::wstring& argument : program_arguments(GetCommandLineW())) {
        if (argument == L"--launch-game") switches.launch = true;
        else if (argument == L"--check-only") switches.launch = false;
        else if (argument == L"--repair") repair_requested = true;
        else if (argument == L"--piano-bank") switches.piano = true;
    }
    return switches;
}

fs::path own_program() {
    // Grown until the whole name fits: a cut-off name would point elsewhere.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(/*this program*/ nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) return fs::path(buffer.substr(0, length));
        buffer.resize(buffer.size() * 2);
    }
}

fs::path find_installation(const fs::path& updater) {
    if (!fs::is_regular_file(updater / L"orvek.exe") && fs::is_regular_file(updater.parent_path() / L"orvek.exe"))
        return updater.parent_path();
    return updater;
}

int run_piano_bank_mode(const fs::path& installation) {
    const std::wstring local_data = get_setting(L"LOCALAPPDATA", L"");
    if (local_data.empty()) throw std::runtime_error("LOCALAPPDATA is unavailable.");
    const std::wstring sound_base =
        read_release_base_url(L"ORVEK_SOUND_RELEASES_URL_BASE", build_origin_url() + L"/data/releases/");
    constexpr std::wstring_view releases = L"releases/";
    if (sound_base.size() < releases.size() || !sound_base.ends_with(releases))
        throw std::runtime_error("Unexpected sound release base path.");
    const std::wstring piano_base = sound_base.substr(0, sound_base.size() - releases.size()) + L"piano/releases/";
    update_piano_bank(installation / L"data/piano", fs::path(local_data) / L"kelvor/orvek/piano-banks/salamander-light",
                      piano_base);
    report_status(piano_ready_text);
    return 0;
}

// Drops a committed update's backups, then rolls back whatever an
// interrupted install left.
void recover_earlier_runs(const fs::path& installation) {
    const fs::path sound_rollback = installation / L"data" / sound_rollback_name;
    if (fs::exists(installation / commit_marker_name)) {
        discard_rollback_directory(installation / client_rollback_name);
        discard_rollback_directory(sound_rollback);
        remove_own_file(installation / commit_marker_name);
    }
    recover_transaction(installation, installation / client_rollback_name);
    recover_transaction(installation / L"data", sound_rollback);
}

struct endpoints {
    std::wstring client_version = read_endpoint_url(L"ORVEK_CLIENT_VERSION_URL", build_origin_url() + L"/version.txt");
    std::wstring client_releases =
        read_release_base_url(L"ORVEK_CLIENT_RELEASES_URL_BASE", build_origin_url() + L"/releases/");
    std::wstring sound_pointer = read_endpoint_url(L"ORVEK_SOUND_VERSION_URL", build_origin_url() + L"/data/v");
    std::wstring sound_releases =
        read_release_base_url(L"ORVEK_SOUND_RELEASES_URL_BASE", build_origin_url() + L"/data/releases/");
};

void make_work_folder(const fs::path& work) {
    fs::remove_all(work);
    fs::create_directories(work);
}

// The names of a run on the current release known before it starts; its
// flows count the rest.
void refuse_current_release_names(const fs::path& installation, const fs::path& work) {
    own_names names(installation);
    names.add_folder(work);
    names.add_temporary(installation / launch_marker_name);
    names.refuse_too_long();
}

// The closing text, then the game or the box that tells the files are ready.
int finish_run(const fs::path& installation, bool launch, const wchar_t* starting, const wchar_t* done) {
    if (launch) {
        report_status(starting);
        launch_game(installation);
    } else {
        report_status(done);
        show_message_box(L"ORVEK files are ready.", L"ORVEK Updater", MB_ICONINFORMATION);
    }
    return 0;
}

int finish_current_release(const endpoints& urls, const std::string& id, const fs::path& installation,
                           const fs::path& work, bool launch) {
    refuse_current_release_names(installation, work);
    make_work_folder(work);
    repair_language_files(urls.client_releases, id, installation, work);
    update_sound_data(urls.sound_pointer, urls.sound_releases, installation, work);
    fs::remove_all(work);
    return finish_run(installation, launch, L"All files are ready. Starting Orvek.", L"Orvek is up to date.");
}

void wait_for_game_to_close(const fs::path& installation) {
    if (!is_game_running(installation)) return;
    show_message_box(L"Please close ORVEK before installing the update.", L"ORVEK Updater", MB_ICONINFORMATION);
    if (!game_closed_within_wait(installation, game_poll::checkpoint_then_sleep))
        throw std::runtime_error("Orvek did not close within two minutes.");
}

// Runs one step on a package; any failure becomes the package's message.
template <typename Step>
auto with_package_failure(const char* failure, Step&& step) {
    try {
        return std::forward<Step>(step)();
    } catch (const std::exception&) {
        throw std::runtime_error(failure);
    }
}

transaction_paths client_transaction(const fs::path& installation) {
    return {installation, installation / client_rollback_name};
}

// What a client update writes of the run's own files, known before the
// packages are downloaded.
void add_client_update_names(own_names& names, const fs::path& installation, const fs::path& work) {
    const transaction_paths transaction = client_transaction(installation);
    names.add_folder(work);
    names.add_file(work / core_package_name);
    names.add_file(work / libraries_package_name);
    names.add_folder(work / stage_name);
    names.add_temporary(work / stage_name / version_file_name);
    names.add_install(transaction, version_file_name);
    for (const wchar_t* obsolete : obsolete_client_files) names.add_removal(transaction, obsolete);
    names.add_journal(transaction);
    names.add_temporary(installation / version_file_name);
    names.add_temporary(installation / commit_marker_name);
    names.add_temporary(installation / launch_marker_name);
}

// What extracting and installing the packages' `entries` writes. A rollback
// that cannot write a restore name is stuck, so those count too.
void add_client_package_names(own_names& names, const fs::path& installation, const fs::path& work,
                              const std::vector<zip_entry>& entries) {
    names.add_extraction(entries, work / stage_name);
    const transaction_paths transaction = client_transaction(installation);
    for (const zip_entry& entry : entries)
        if (!entry.folder) names.add_install(transaction, entry.name);
}

// Downloads and checks the release, then extracts it into work/stage once
// the packages' names are known to fit beside the run's own in `names`.
fs::path stage_release(const endpoints& urls, const std::string& id, const fs::path& installation,
                       const fs::path& work, own_names& names) {
    make_work_folder(work);
    const fs::path core = work / core_package_name;
    const fs::path libraries = work / libraries_package_name;
    const fs::path stage = work / stage_name;
    download_client_package(build_release_url(urls.client_releases, id, L"orvek.zip"),
                            build_release_url(urls.client_releases, id, L"client-core.sha256"), "orvek.zip", core);
    download_client_package(build_release_url(urls.client_releases, id, L"client-libraries.zip"),
                            build_release_url(urls.client_releases, id, L"client-libraries.sha256"),
                            "client-libraries.zip", libraries);
    std::vector<zip_entry> entries = with_package_failure(core_zip_failure, [&] { return read_zip_entries(core); });
    const std::vector<zip_entry> library_entries =
        with_package_failure(libraries_zip_failure, [&] { return read_zip_entries(libraries); });
    entries.insert(entries.end(), library_entries.begin(), library_entries.end());
    add_client_package_names(names, installation, work, entries);
    names.refuse_too_long();

    fs::create_directories(stage);
    with_package_failure(core_zip_failure, [&] { extract_zip(core, stage); });
    with_package_failure(libraries_zip_failure, [&] { extract_zip(libraries, stage); });
    if (!fs::is_regular_file(stage / L"orvek.exe") || !fs::is_directory(stage / L"lib"))
        throw std::runtime_error("The downloaded release is incomplete.");
    write_file_atomically(stage / version_file_name, id);
    return stage;
}

// Undoes the sound install (if its journal remains) and the client install;
// the caller rethrows what went wrong.
void roll_back_client_update(const std::vector<install_record>& client, const fs::path& installation) {
    recover_transaction(installation / L"data", installation / L"data" / sound_rollback_name);
    rollback_install(client, installation / client_rollback_name);
    remove_own_file(transaction_journal_path(installation / client_rollback_name));
}

int install_new_release(const endpoints& urls, const std::string& id, const fs::path& installation,
                        const fs::path& work, bool launch) {
    if (show_message_box(L"A new ORVEK release is available. Install it now?", L"Orvek Updater",
                         MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 0;
    // The run's own names ask nothing of the server: a path they cannot fit
    // in is told before the user is asked to close the game.
    own_names names(installation);
    add_client_update_names(names, installation, work);
    names.refuse_too_long();
    wait_for_game_to_close(installation);
    const fs::path stage = stage_release(urls, id, installation, work, names);
    std::vector<install_record> client =
        install_staged_tree(stage, installation, installation / client_rollback_name);
    try {
        update_sound_data(urls.sound_pointer, urls.sound_releases, installation, work);
        // Removed inside the client transaction, so a rollback brings them
        // back; what cannot be removed stays.
        for (const wchar_t* obsolete : obsolete_client_files) {
            try {
                remove_in_transaction(client, installation / obsolete, installation, installation / client_rollback_name);
            } catch (const std::exception&) {
            }
        }
        write_file_atomically(installation / version_file_name, id);
    } catch (...) {
        roll_back_client_update(client, installation);
        throw;
    }
    write_file_atomically(installation / commit_marker_name, "ok");
    discard_rollback_directory(installation / client_rollback_name);
    discard_rollback_directory(installation / L"data" / sound_rollback_name);
    remove_own_file(installation / commit_marker_name);
    remove_partial_downloads();
    fs::remove_all(work);
    return finish_run(installation, launch, L"Update completed. Starting Orvek.", L"Update completed successfully.");
}

int report_update_failure(const std::exception& error, const fs::path& work) {
    const std::string message = error.what();
    const bool note = message.find(recovery_note) != std::string::npos;
    if (!work.empty() && !note) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    const std::wstring text = utf8_to_wide("Update failed: " + message);
    set_status(text);
    if (!user_cancelled || note) show_message_box(text.c_str(), L"Orvek Updater", MB_ICONERROR);
    return 1;
}

}  // namespace

void report_status(const std::wstring& text) { set_status(text); }

std::vector<std::wstring> program_arguments(const wchar_t* command_line) {
    struct local_freer {
        void operator()(wchar_t** arguments) const { LocalFree(arguments); }
    };
    int count = 0;
    const std::unique_ptr<wchar_t*, local_freer> arguments(CommandLineToArgvW(command_line, &count));
    if (!arguments) return {};
    return std::vector<std::wstring>(arguments.get() + std::min(count, 1), arguments.get() + count);
}

std::string parse_client_release_id(std::string_view body) {
    const std::string text = parse_release_version(body);
    const auto invalid = [] { throw std::runtime_error("The active client release identifier is invalid."); };
    if (text.size() != 27 || text[14] != '-') invalid();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (i < 14 ? !std::isdigit(c) : i > 14 && !std::isxdigit(c)) invalid();
    }
    return text;
}

int run_update() {
    partial_downloads.clear();
    fs::path work;
    try {
        const fs::path program = own_program();
        const fs::path updater = program.parent_path();
        const fs::path installation = find_installation(updater);
        load_ini_settings(installation / L"download-endpoints.ini");
        const run_switches switches = read_switches();
        if (switches.piano) return run_piano_bank_mode(installation);

        recover_earlier_runs(installation);
        remove_stale_leftovers(program, installation);
        const endpoints urls;
        set_status(L"Checking for updates.");
        const std::vector<char> body = fetch_metadata_with_retry(urls.client_version);
        const std::string id = parse_client_release_id(std::string_view(body.data(), body.size()));
        const std::string installed = read_local_version(installation / version_file_name);
        work = updater / (std::wstring(work_folder_prefix) + std::to_wstring(GetCurrentProcessId()));
        if (installed == id) return finish_current_release(urls, id, installation, work, switches.launch);
        return install_new_release(urls, id, installation, work, switches.launch);
    } catch (const std::exception& error) {
        return report_update_failure(error, work);
    }
}

}  // namespace orvek
