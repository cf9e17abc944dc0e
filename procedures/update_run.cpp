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
#include <vector>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr wchar_t commit_marker_name[] = L".orvek-update-committed";
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
    const fs::path sound_rollback = installation / L"data" / L".orvek-sound-rollback";
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

void extract_package(const fs::path& zip, const fs::path& stage, const char* failure) {
    try {
        extract_zip(zip, stage);
    } catch (const std::exception&) {
        throw std::runtime_error(failure);
    }
}

// Downloads, checks and extracts the release into work/stage.
fs::path stage_release(const endpoints& urls, const std::string& id, const fs::path& work) {
    const fs::path core = work / L"core.zip";
    const fs::path libraries = work / L"libraries.zip";
    const fs::path stage = work / L"stage";
    download_client_package(build_release_url(urls.client_releases, id, L"orvek.zip"),
                            build_release_url(urls.client_releases, id, L"client-core.sha256"), "orvek.zip", core);
    download_client_package(build_release_url(urls.client_releases, id, L"client-libraries.zip"),
                            build_release_url(urls.client_releases, id, L"client-libraries.sha256"),
                            "client-libraries.zip", libraries);
    fs::create_directories(stage);
    extract_package(core, stage, "The verified client core ZIP is corrupt or could not be extracted.");
    extract_package(libraries, stage, "The verified client libraries ZIP is corrupt or could not be extracted.");
    if (!fs::is_regular_file(stage / L"orvek.exe") || !fs::is_directory(stage / L"lib"))
        throw std::runtime_error("The downloaded release is incomplete.");
    write_file_atomically(stage / L"version.txt", id);
    return stage;
}

// Undoes the sound install (if its journal remains) and the client install;
// the caller rethrows what went wrong.
void roll_back_client_update(const std::vector<install_record>& client, const fs::path& installation) {
    recover_transaction(installation / L"data", installation / L"data" / L".orvek-sound-rollback");
    rollback_install(client, installation / client_rollback_name);
    remove_own_file(installation / client_rollback_name / L"transaction.journal");
}

// A rollback that cannot write a restore name is stuck, so every name the
// client transaction may need must fit before anything is installed. Its
// journal's temporary is longer than those of version.txt, the commit marker
// and the launch marker.
void refuse_client_names_too_long(const fs::path& stage, const fs::path& installation) {
    own_names names;
    names.add_staged_tree(client_rollback_name, stage);
    for (const wchar_t* obsolete : obsolete_client_files) names.add_restore(client_rollback_name, obsolete);
    names.refuse_too_long(installation);
}

int install_new_release(const endpoints& urls, const std::string& id, const fs::path& installation,
                        const fs::path& work, bool launch) {
    if (show_message_box(L"A new ORVEK release is available. Install it now?", L"Orvek Updater",
                         MB_YESNO | MB_ICONQUESTION) != IDYES)
        return 0;
    wait_for_game_to_close(installation);
    make_work_folder(work);
    const fs::path stage = stage_release(urls, id, work);
    refuse_client_names_too_long(stage, installation);
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
        write_file_atomically(installation / L"version.txt", id);
    } catch (...) {
        roll_back_client_update(client, installation);
        throw;
    }
    write_file_atomically(installation / commit_marker_name, "ok");
    discard_rollback_directory(installation / client_rollback_name);
    discard_rollback_directory(installation / L"data" / L".orvek-sound-rollback");
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
        const std::string installed = read_local_version(installation / L"version.txt");
        work = updater / (L".orvek_update_" + std::to_wstring(GetCurrentProcessId()));
        if (installed == id) return finish_current_release(urls, id, installation, work, switches.launch);
        return install_new_release(urls, id, installation, work, switches.launch);
    } catch (const std::exception& error) {
        return report_update_failure(error, work);
    }
}

}  // namespace orvek
