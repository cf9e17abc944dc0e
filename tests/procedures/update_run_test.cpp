#include "procedures/update_run.h"

#include "procedures/leftovers.h"

#include "engine/game_process.h"
#include "engine/settings.h"
#include "engine/transaction.h"
#include "engine/verification_cache.h"
#include "engine/win_handle.h"
#include "sound_release.h"
#include "standins/file_tree.h"
#include "support/child_process.h"
#include "support/directory_link.h"
#include "support/standin_path.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <future>
#include <random>
#include <sstream>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

constexpr char old_id[] = "20260101000000-aaaaaaaaaaaa";
constexpr char new_id[] = "20260202000000-0123456789AB";

// Starts of driver processes that Wine lost in its start-up (error 1359)
// and that were tried again.

// The host's name of a file that this Wine prefix shows.
std::string host_path(const fs::path& path) {
    using to_unix = char*(CDECL*)(const wchar_t*);
    static const auto convert = reinterpret_cast<to_unix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = convert(path.c_str());
    std::string text = name;
    HeapFree(GetProcessHeap(), /*flags*/ 0, name);
    return text;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Runs a shell command on the host; throws with its output when it fails.
// Wine cannot wait for a host program, so the script says when it ended.
void run_on_host(const std::string& command) {
    const temp_dir folder("host");
    const std::string done = host_path(folder / "done");
    write_file(folder / "run.sh", command + " >" + quoted(host_path(folder / "out")) + " 2>&1; echo $? >" +
                                      quoted(done + ".tmp") + " && mv " + quoted(done + ".tmp") + " " + quoted(done) + "\n");
    std::wstring line = L"sh \"" + utf8_to_wide(host_path(folder / "run.sh")) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), /*process security*/ nullptr, /*thread security*/ nullptr, FALSE,
                        /*flags*/ 0, /*environment*/ nullptr, /*current folder*/ nullptr, &startup, &process))
        throw std::runtime_error("could not start the host shell");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 1200 && !fs::exists(folder / "done"); ++i) Sleep(50);
    if (!fs::exists(folder / "done") || read_file(folder / "done") != "0\n")
        throw std::runtime_error("host command failed: " + command + "\n" + read_file(folder / "out"));
}

// One client release with its sound data; every file by relative path.
struct release_files {
    std::string id;
    file_tree core, libraries, sounds;
};

// What the release tool publishes for the sound data, as installed into data/.
struct published_sound {
    std::string manifest, pointer_file;
};

void write_tree(const fs::path& folder, const file_tree& files) {
    for (const auto& [name, bytes] : files) write_file(folder / name, bytes);
}

published_sound publish(const std::string& prefix, const release_files& release, bool allow_incomplete = false,
                        const file_tree& piano = {}) {
    const temp_dir input("rel");
    write_tree(input / "core", release.core);
    write_tree(input / "piano", piano);
    write_tree(input / "libraries", release.libraries);
    write_tree(input / "sounds", release.sounds);
    fs::create_directories(input / "libraries");
    const char* state = std::getenv("ORVEK_TEST_STATE_DIR");
    if (state == nullptr) throw std::runtime_error("ORVEK_TEST_STATE_DIR is not set; run through ctest");
    const std::string www = std::string(state) + "/www" + prefix;
    run_on_host("python3 " + quoted(std::string(ORVEK_SOURCE_DIR) + "/tools/make-release") + " " + quoted(www) +
                " --client-dir " + quoted(host_path(input / "core")) + " --libraries-dir " +
                quoted(host_path(input / "libraries")) + " --sound-dir " + quoted(host_path(input / "sounds")) +
                " --release-id " + release.id + (allow_incomplete ? " --allow-incomplete" : "") +
                (piano.empty() ? "" : " --piano-dir " + quoted(host_path(input / "piano"))));
    const fs::path served = fs::path(L"Z:" + utf8_to_wide(www));
    published_sound sound;
    sound.pointer_file = read_file(served / "data" / "v");
    sound.manifest = read_file(served / "data" / "releases" / sound.pointer_file.substr(0, 64) / "m");
    return sound;
}

// The installation a release leaves: its files, version.txt and the sound data.
file_tree installed_tree(const release_files& release, const published_sound& sound) {
    file_tree tree = release.core;
    tree.insert(release.libraries.begin(), release.libraries.end());
    tree["version.txt"] = release.id;
    for (const auto& [name, bytes] : release.sounds) tree["data/" + name] = bytes;
    tree["data/m"] = sound.manifest;
    tree["data/v"] = sound.pointer_file;
    return tree;
}

std::string game_bytes() { return read_file(standin_path(L"orvek.exe")); }

release_files old_release() {
    return {old_id,
            {{"orvek.exe", game_bytes()}, {"readme.txt", "first"}, {"maps/m1.dat", patterned_bytes(5000, 1)},
             {"data/languages/en.lang", "en 1"}, {"data/languages/fa.lang", "fa 1"}},
            {{"lib/a.dll", patterned_bytes(3000, 2)}, {"lib/shared.dll", "shared"}},
            {{"i", "catalog 1"}, {"s1", patterned_bytes(700, 3)}, {"old1", "dropped later"}}};
}

release_files new_release(bool drop_old_asset) {
    release_files release{new_id,
                          {{"orvek.exe", game_bytes()}, {"readme.txt", "second"}, {"maps/m1.dat", patterned_bytes(5000, 4)},
                           {"maps/m2.dat", patterned_bytes(90'000, 5)}, {"data/languages/en.lang", "en 2"},
                           {"data/languages/fa.lang", "fa 2"}},
                          {{"lib/a.dll", patterned_bytes(3100, 6)}, {"lib/b.dll", "b"}, {"lib/shared.dll", "shared"}},
                          {{"i", "catalog 2"}, {"s1", patterned_bytes(700, 3)}, {"s2", patterned_bytes(40'000, 7)}}};
    if (!drop_old_asset) release.sounds["old1"] = "dropped later";
    return release;
}

// Files of the user that no release lists; the old sound file and the three
// obsolete libraries go with the first update.
const file_tree user_files{
    {"user.cfg", "mine"}, {"sounds.dat", "old sounds"}, {"lib/vulkan-1.dll", "v"}, {"lib/ggml-small-q5_1.bin", "g"}};

// An installation with the driver in its "updater" folder (or in the
// installation itself), its own package cache and the test server's endpoints;
// the installation's path has `install_length` characters when that is given.
struct driver_installation {
    driver_installation(const std::string& prefix, bool updater_in_root = false, std::size_t install_length = 0)
        : nest(install_length > 0 ? std::wstring(install_length - (root / "install").native().size() - 1, L'n') : L""),
          updater(updater_in_root ? install() : install() / "updater") {
        fs::create_directories(updater);
        fs::copy_file(standin_path(L"update-run-driver.exe"), updater / "update-run-driver.exe");
        const auto url = [&](const char* path) { return path_to_utf8(server_url(prefix + path)); };
        write_file(install() / "download-endpoints.ini",
                   "ORVEK_CLIENT_VERSION_URL=" + url("/version.txt") + "\nORVEK_CLIENT_RELEASES_URL_BASE=" +
                       url("/releases/") + "\nORVEK_SOUND_VERSION_URL=" + url("/data/v") +
                       "\nORVEK_SOUND_RELEASES_URL_BASE=" + url("/data/releases/") +
                       "\nORVEK_UPDATER_CACHE_ROOT=" + path_to_utf8(root / "cache") + "\n");
    }
    fs::path install() const { return root / nest / "install"; }

    // The installation's files but the driver's folder, the settings, the
    // game stand-in's own notes and the backups a rollback leaves (journals
    // count).
    file_tree files() const {
        file_tree tree = read_tree(install(), updater == install() ? L"" : L"updater");
        for (const char* name : {"download-endpoints.ini", "orvek-started.txt", "orvek-exit", "orvek.launch",
                                 "update-run-driver.exe"})
            tree.erase(name);
        std::erase_if(tree, [](const auto& entry) {
            return (entry.first.starts_with(".orvek-client-rollback/") ||
                    entry.first.starts_with("data/.orvek-sound-rollback/")) &&
                   !entry.first.ends_with("/transaction.journal");
        });
        return tree;
    }
    bool has_work_files() const {
        return fs::exists(install() / ".orvek-client-rollback") || fs::exists(install() / "data/.orvek-sound-rollback") ||
               fs::exists(install() / ".orvek-update-committed");
    }

    temp_dir root{"run"};
    fs::path nest;
    fs::path updater;
};

struct driver_outcome {
    int result = -1;
    std::vector<std::string> boxes;  // "<type>\t<text>"
    std::string status;
};

win_handle start_driver(const driver_installation& place, const std::wstring& arguments) {
    const fs::path program = place.updater / "update-run-driver.exe";
    return start_process(program, L"\"" + program.wstring() + L"\" " + arguments);
}

driver_outcome run_driver(const driver_installation& place, const std::wstring& switches, const std::string& answers,
                          unsigned wait_divisor = 1) {
    const fs::path record = place.root / "record.txt";
    fs::remove(record);
    const win_handle process =
        start_driver(place, switches + L" --driver-answers=" + utf8_to_wide(answers) + L" --driver-wait-divisor=" +
                                std::to_wstring(wait_divisor) + L" \"--driver-record=" + record.wstring() + L"\"");
    if (WaitForSingleObject(process.get(), 240'000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        const fs::path status = record.wstring() + L".status";
        throw std::runtime_error("the driver did not end; its last status: " +
                                 (fs::exists(status) ? read_file(status) : std::string("none")));
    }
    driver_outcome outcome;
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    std::istringstream lines(fs::exists(record) ? read_file(record) : "");
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find('\t');
        const std::string kind = line.substr(0, tab), rest = line.substr(tab + 1);
        if (kind == "box") outcome.boxes.push_back(rest);
        if (kind == "status") outcome.status = rest;
        if (kind == "result") outcome.result = std::stoi(rest);
    }
    if (outcome.result != static_cast<int>(code)) outcome.status += " (exit code " + std::to_string(code) + ")";
    return outcome;
}

// Files a run may leave that no release lists: verified sound downloads,
// kept after a failure for the next run, and the temporary file of an
// atomic write that a kill cut short.
file_tree without_leftovers(file_tree tree) {
    std::erase_if(tree, [](const auto& entry) {
        const std::string& name = entry.first;
        return (name.starts_with("data/.") && name.find(".part") != std::string::npos) ||
               name.find(".tmp.") != std::string::npos;
    });
    return tree;
}

const std::string question = "36\tA new ORVEK release is available. Install it now?";
const std::string files_ready = "64\tORVEK files are ready.";
const std::string failed = "16\tUpdate failed: ";

enum class twist {
    none,
    updater_in_root,
    incomplete_release,   // the new release has no lib folder
    asset_missing,        // a new sound asset answers 404
    obsolete_locked,      // the dropped sound asset cannot be removed
    obsolete_held,        // ... for another program holds it unshared
    sounds_dat_held,      // the old sound file is held so
    library_held,         // an obsolete library is held so
    game_running,         // the game runs from the installation
    committed_cleanup,    // an earlier run was stopped after its commit
    interrupted_install,  // an earlier run was stopped before its commit
    version_unwritable,   // version.txt cannot be written after every removal
    rollback_blocked,     // ... and then readme.txt cannot be restored
    corrupt_libraries,    // the libraries package verifies but is no ZIP
};

struct road_case {
    const char* name;
    twist twist;
    bool current;  // the installation holds the new release already
    const wchar_t* switches;
    const char* answers;
    int result;
    std::vector<std::string> boxes;  // a text ending in "*" matches as a prefix
    std::string status;
    const char* after;  // "old", "new" or "prepared" (as the twist left it)
    bool launched;
    std::size_t install_length = 0;  // of the installation's path, when given
    unsigned wait_divisor = 1;       // shortens the two minutes the game is given
    std::string client_file;         // one more file of the new release
};

TEST(update_run, each_road_ends_with_its_status_boxes_and_files) {
    const std::string cancelled = "Update failed: Update cancelled. Partial sound downloads are retained.";
    const auto too_long = [](int length) {
        return "The installation folder path is too long (" + std::to_string(length) +
               " characters). Move ORVEK to a shorter path.";
    };
    const auto long_folder = [](std::size_t length) { return "maps/" + std::string(length, 'x') + "/a"; };
    const std::vector<road_case> cases = {
        {"declined", twist::none, false, L"", "n", 0, {question}, "Checking for updates.", "old", false},
        {"accepted", twist::none, false, L"", "y", 0, {question, files_ready}, "Update completed successfully.", "new", false},
        {"accepted beside orvek.exe", twist::updater_in_root, false, L"", "y", 0, {question, files_ready},
         "Update completed successfully.", "new", false},
        {"accepted, launch", twist::none, false, L"--check-only --launch-game --repair", "y", 0, {question},
         "Update completed. Starting Orvek.", "new", true},
        {"accepted, check-only wins", twist::none, false, L"--launch-game --check-only", "y", 0,
         {question, files_ready}, "Update completed successfully.", "new", false},
        {"current", twist::none, true, L"--Launch-Game", "", 0, {files_ready}, "Orvek is up to date.", "new", false},
        {"current, launch", twist::none, true, L"--launch-game", "", 0, {}, "All files are ready. Starting Orvek.", "new", true},
        {"stage without lib", twist::incomplete_release, false, L"", "y", 1,
         {question, failed + "The downloaded release is incomplete."},
         "Update failed: The downloaded release is incomplete.", "old", false},
        {"sound download fails after the client install", twist::asset_missing, false, L"", "y", 1,
         {question, failed + "*"}, "Update failed: *", "old", false},
        {"sound clean-up fails after the sound install", twist::obsolete_locked, false, L"", "y", 1,
         {question, failed + "Could not remove obsolete sound asset old1 (*"},
         "Update failed: Could not remove obsolete sound asset old1 (*", "old", false},
        {"obsolete sound asset held unshared", twist::obsolete_held, false, L"", "y", 1,
         {question, failed + "Could not remove obsolete sound asset old1 (*"},
         "Update failed: Could not remove obsolete sound asset old1 (*", "old", false},
        {"sounds.dat held unshared", twist::sounds_dat_held, false, L"", "y", 0, {question, files_ready},
         "Update completed successfully.", "new", false},
        {"obsolete library held unshared", twist::library_held, false, L"", "y", 0, {question, files_ready},
         "Update completed successfully.", "new", false},
        {"game stays open", twist::game_running, false, L"", "yo", 1,
         {question, "64\tPlease close ORVEK before installing the update.", failed + "Orvek did not close within two minutes."},
         "Update failed: Orvek did not close within two minutes.", "old", false, 0, 1000},
        {"a path the update cannot fit is told before the game is waited for", twist::game_running, false, L"", "yo", 1,
         {question, failed + too_long(205)}, "Update failed: " + too_long(205), "old", false, 205, 1000},
        {"cancel while waiting for the game", twist::game_running, false, L"", "yc", 1,
         {question, "64\tPlease close ORVEK before installing the update."}, cancelled, "old", false},
        {"commit marker of a stopped clean-up", twist::committed_cleanup, false, L"", "", 0, {files_ready},
         "Orvek is up to date.", "prepared", false},
        {"long installation path", twist::none, false, L"", "y", 0, {question, files_ready},
         "Update completed successfully.", "new", false, 160},
        {"long installation path, current, launch", twist::none, true, L"--launch-game", "", 0, {},
         "All files are ready. Starting Orvek.", "new", true, 160},
        {"long installation path, journals of a stopped install", twist::interrupted_install, false, L"", "n", 0,
         {question}, "Checking for updates.", "old", false, 160},
        {"a sound download's names cannot fit", twist::none, false, L"", "y", 1, {question, failed + too_long(170)},
         "Update failed: " + too_long(170), "old", false, 170},
        {"a client folder cannot fit in the stage", twist::none, false, L"", "y", 1, {question, failed + too_long(100)},
         "Update failed: " + too_long(100), "old", false, 100, 1, long_folder(150)},
        {"a client folder fits as a file but not as a folder", twist::none, false, L"", "y", 1,
         {question, failed + too_long(100)}, "Update failed: " + too_long(100), "old", false, 100, 1, long_folder(112)},
        {"a new client file needs no restore name", twist::none, false, L"", "y", 0, {question, files_ready},
         "Update completed successfully.", "new", false, 100, 1, "maps/" + std::string(114, 'x') + ".dat"},
        {"the language check's extraction cannot fit", twist::none, true, L"--launch-game", "", 1,
         {failed + too_long(200)}, "Update failed: " + too_long(200), "new", false, 200},
        {"journals of a stopped install", twist::interrupted_install, false, L"", "n", 0, {question},
         "Checking for updates.", "old", false},
        {"version.txt cannot be written", twist::version_unwritable, false, L"", "y", 1,
         {question, failed + "Could not write a temporary update file."},
         "Update failed: Could not write a temporary update file.", "old", false},
        {"rollback cannot restore a file", twist::rollback_blocked, false, L"", "y", 1,
         {question, failed + "Client installation failed and rollback was incomplete; *"},
         "Update failed: Client installation failed and rollback was incomplete; do not launch the game. Recovery "
         "files retained at: *", "", false},
        {"libraries package is no ZIP", twist::corrupt_libraries, false, L"", "y", 1,
         {question, failed + "The verified client libraries ZIP is corrupt or could not be extracted."},
         "Update failed: The verified client libraries ZIP is corrupt or could not be extracted.", "old", false},
    };
    for (const road_case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string prefix = unique_prefix("update_run");
        const release_files before = old_release();
        const published_sound before_sound = publish(prefix, before);
        const bool unwritable = test.twist == twist::version_unwritable || test.twist == twist::rollback_blocked;
        const std::map<twist, const char*> held_files{
            {twist::obsolete_held, "data/old1"}, {twist::sounds_dat_held, "sounds.dat"}, {twist::library_held, "lib/vulkan-1.dll"}};
        const char* const held = held_files.contains(test.twist) ? held_files.at(test.twist) : nullptr;
        release_files after =
            new_release(test.twist == twist::obsolete_locked || test.twist == twist::obsolete_held || unwritable);
        if (!test.client_file.empty()) after.core[test.client_file] = "long";
        release_files served = after;
        if (test.twist == twist::incomplete_release) served.libraries.clear();
        const published_sound after_sound = publish(prefix, served, test.twist == twist::incomplete_release);
        if (test.twist == twist::asset_missing)
            script(prefix + "/data/releases/" + after_sound.pointer_file.substr(0, 64) + "/s2", {status_rule(404, 0, 20)});
        if (test.twist == twist::corrupt_libraries) {
            put_file(prefix + "/releases/" + new_id + "/client-libraries.zip", "no zip");
            put_file(prefix + "/releases/" + new_id + "/client-libraries.sha256", sha256_of("no zip") + " *client-libraries.zip\n");
        }

        const driver_installation place(prefix, test.twist == twist::updater_in_root, test.install_length);
        file_tree old_tree = installed_tree(before, before_sound);
        old_tree.insert(user_files.begin(), user_files.end());
        file_tree new_tree = installed_tree(after, after_sound);
        new_tree["user.cfg"] = "mine";
        // What cannot be removed stays where it was.
        if (held != nullptr && test.result == 0) new_tree[held] = old_tree.at(held);
        write_tree(place.install(), test.current ? new_tree : old_tree);
        const fs::path install = place.install();
        // What a killed run left beside the updater.
        write_file(place.updater / ".orvek_update_4294967292" / "stage" / "orvek.exe", "killed run");
        std::wstring switches = test.switches;
        if (unwritable) switches += L" \"--driver-unwritable=" + (install / "version.txt").wstring() + L"\"";
        if (test.twist == twist::rollback_blocked)
            fs::create_directories(install / ".orvek-client-rollback" / ".orvek-restore" / "readme.txt" / "x");
        if (test.twist == twist::committed_cleanup || test.twist == twist::interrupted_install) {
            // The new release installed through both transactions, as a run
            // stopped between its install and its clean-up leaves it.
            const temp_dir stage("stage");
            file_tree client = after.core;
            client.insert(after.libraries.begin(), after.libraries.end());
            client["version.txt"] = after.id;
            write_tree(stage / "client", client);
            install_staged_tree(stage / "client", install, install / ".orvek-client-rollback");
            write_tree(stage / "sound", {{"i", after.sounds.at("i")}, {"s2", after.sounds.at("s2")},
                                         {"m", after_sound.manifest}, {"v", after_sound.pointer_file}});
            install_staged_tree(stage / "sound", install / "data", install / "data" / ".orvek-sound-rollback");
            if (test.twist == twist::committed_cleanup) write_file(install / ".orvek-update-committed", "ok");
        }
        file_tree prepared = place.files();
        std::erase_if(prepared, [](const auto& entry) { return entry.first.find(".orvek-") != std::string::npos; });
        prepared.erase("sounds.dat");  // every sound update that gets to its end removes it
        win_handle locked;
        if (test.twist == twist::obsolete_locked)
            locked.reset(CreateFileW((install / "data" / "old1").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     /*security*/ nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
        if (held != nullptr)
            locked.reset(CreateFileW((install / held).c_str(), GENERIC_READ, /*share*/ 0, /*security*/ nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
        std::unique_ptr<fake_game> game;
        if (test.twist == twist::game_running) game = std::make_unique<fake_game>(install);

        const driver_outcome outcome = run_driver(place, switches, test.answers, test.wait_divisor);
        locked.reset();
        game.reset();

        EXPECT_EQ(outcome.result, test.result);
        const auto matches = [&](const std::string& actual, const std::string& expected) {
            return expected.ends_with('*') ? actual.starts_with(expected.substr(0, expected.size() - 1)) : actual == expected;
        };
        EXPECT_TRUE(matches(outcome.status, test.status)) << outcome.status;
        EXPECT_EQ(outcome.boxes.size(), test.boxes.size());
        for (std::size_t i = 0; i < std::min(outcome.boxes.size(), test.boxes.size()); ++i)
            EXPECT_TRUE(matches(outcome.boxes[i], test.boxes[i])) << outcome.boxes[i];
        const file_tree& expected = test.after == std::string("old") ? old_tree
                                    : test.after == std::string("new") ? new_tree
                                                                       : prepared;
        // Verified sound downloads stay for the next run; so do the backups of
        // a rollback (but not its journals).
        if (*test.after) {
            EXPECT_EQ(tree_difference(expected, without_leftovers(place.files())), "");
        }
        if (test.result == 0 && test.twist != twist::interrupted_install) {
            EXPECT_FALSE(place.has_work_files());
        }
        // An installed update leaves no package download in the cache.
        if (outcome.result == 0 && !test.current && test.after == std::string("new")) {
            for (const auto& [name, bytes] : read_tree(place.root / "cache")) EXPECT_FALSE(name.ends_with(".part")) << name;
        }
        // No work folder stays behind, beside the driver or in the installation,
        // but the one a recovery note names.
        int work_folders = 0;
        for (const auto& entry : fs::directory_iterator(place.updater))
            work_folders += entry.path().filename().wstring().starts_with(L".orvek_update_");
        EXPECT_EQ(work_folders, test.status.find("Recovery files retained at:") != std::string::npos);

        if (test.launched) {  // the game stand-in notes how it was started; a loaded machine may take a while
            const fs::path started = install / "orvek-started.txt";
            for (int i = 0; i < 1200 && !fs::exists(started); ++i) Sleep(50);
            EXPECT_EQ(fs::exists(started) ? read_file(started) : "not started",
                      "--orvek-updater-launch\n" + path_to_utf8(install) + "\n");
            write_file(install / "orvek-exit", "");
            for (int i = 0; i < 1200 && is_game_running(install); ++i) Sleep(50);
        } else {
            EXPECT_FALSE(fs::exists(install / "orvek.launch"));
        }
    }
}

// One crash worker: its own releases and installation; runs killed at random
// moments of a new-release update, each followed by a run that only
// recovers and by one that installs the update. "" or what went
// wrong.
std::string run_crash_worker(unsigned seed, int worker, int kills) {
    std::string step = "worker " + std::to_string(worker) + ", publishing";
    try {
        std::mt19937 random(seed + static_cast<unsigned>(worker));
        const std::string prefix = unique_prefix("update_run");
        const release_files before = old_release();
        const published_sound before_sound = publish(prefix, before);
        const release_files after = new_release(true);
        const published_sound after_sound = publish(prefix, after);
        file_tree old_tree = installed_tree(before, before_sound);
        file_tree new_tree = installed_tree(after, after_sound);
        old_tree.insert(user_files.begin(), user_files.end());
        new_tree["user.cfg"] = "mine";

        const driver_installation place(prefix);
        const auto reset = [&] {
            for (const auto& entry : fs::directory_iterator(place.install()))
                if (entry.path().filename() != L"updater" && entry.path().filename() != L"download-endpoints.ini")
                    fs::remove_all(entry.path());
            fs::remove_all(place.root / "cache");
            write_tree(place.install(), old_tree);
        };
        const auto installed = [&](const char* when) {
            const driver_outcome outcome = run_driver(place, L"", "y");
            if (outcome.result != 0) return std::string(when) + ": the update failed: " + outcome.status;
            if (const std::string difference = tree_difference(new_tree, without_leftovers(place.files()));
                !difference.empty())
                return std::string(when) + ": after the update " + difference;
            if (place.has_work_files()) return std::string(when) + ": work files left in the installation";
            return std::string();
        };

        reset();
        step = "worker " + std::to_string(worker) + ", undisturbed run";
        const auto started = std::chrono::steady_clock::now();
        if (std::string failure = installed("undisturbed run"); !failure.empty()) return failure;
        const auto run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        std::uniform_int_distribution<long long> delay(0, run_ms * 5 / 4);

        const std::wstring event_name =
            L"orvek-update-run-ready-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(worker);
        const win_handle ready(CreateEventW(/*security*/ nullptr, /*manual reset*/ FALSE, FALSE, event_name.c_str()));
        int ended_new = 0;
        for (int kill = 0; kill < kills; ++kill) {
            const std::string at = "worker " + std::to_string(worker) + ", kill " + std::to_string(kill);
            step = at;
            reset();
            const win_handle process = start_driver(place, L"--driver-answers=y --driver-ready=" + event_name);
            // The kill takes the extractor the driver may have started with it,
            // so nothing of the killed run writes on beside the next run.
            const win_handle job(CreateJobObjectW(/*security*/ nullptr, /*name*/ nullptr));
            if (!job || !AssignProcessToJobObject(job.get(), process.get()))
                return at + ": no job for the driver (Windows error " + std::to_string(GetLastError()) + ")";
            const HANDLE waits[] = {ready.get(), process.get()};
            WaitForMultipleObjects(2, waits, FALSE, 60'000);
            Sleep(static_cast<DWORD>(delay(random)));
            TerminateJobObject(job.get(), 99);
            WaitForSingleObject(process.get(), 60'000);

            // The next run ends at its version check, so nothing but its
            // recovery has touched the installation (a late request of the
            // killed run may meet the rule too).
            step = at + ", recovering run";
            script(prefix + "/version.txt", {status_rule(404, 0, 1000)});
            const driver_outcome recovery = run_driver(place, L"", "");
            script(prefix + "/version.txt", {});
            if (recovery.status != "Update failed: Update server returned HTTP 404.")
                return at + ": the recovering run ended with " + recovery.status;
            const file_tree state = without_leftovers(place.files());
            const std::string as_old = tree_difference(old_tree, state);
            const std::string as_new = tree_difference(new_tree, state);
            if (!as_old.empty() && !as_new.empty()) return at + ": a mix of releases (" + as_old + "; " + as_new + ")";
            ended_new += as_new.empty();
            step = at + ", installing run";
            if (std::string failure = installed(at.c_str()); !failure.empty()) return failure;
        }
        std::printf("worker %d: run %lld ms, %d of %d kills ended with the new release\n", worker,
                    static_cast<long long>(run_ms), ended_new, kills);
        return "";
    } catch (const std::exception& error) {
        return step + ": " + error.what();
    }
}

TEST(update_run, a_run_killed_at_any_moment_leaves_one_whole_release) {
    const char* seed_text = std::getenv("ORVEK_TEST_SEED");
    const unsigned seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set ORVEK_TEST_SEED to repeat)");
    constexpr int workers = 3;
    constexpr int kills_per_worker = 6;
    const root_import_watch watch;
    std::vector<std::future<std::string>> running;
    for (int worker = 0; worker < workers; ++worker)
        running.push_back(std::async(std::launch::async, run_crash_worker, seed, worker, kills_per_worker));
    for (auto& result : running) EXPECT_EQ(result.get(), "");
}

TEST(update_run, piano_bank_mode_checks_the_sound_base_before_the_bank) {
    const std::string prefix = unique_prefix("update_run");
    const driver_installation place(prefix);
    write_file(place.install() / "orvek.exe", "game");
    // A normal run's journal is not this mode's to recover.
    const fs::path journal = place.install() / ".orvek-client-rollback" / "transaction.journal";
    write_file(journal, "ORVEK-TRANSACTION-1\n");
    driver_outcome outcome = run_driver(place, L"--piano-bank", "");
    EXPECT_EQ(outcome.status, "Update failed: Missing piano bank release ID. Update the client first.");
    EXPECT_TRUE(fs::exists(journal));
    fs::remove(journal);

    // The client release brings the bank's manifest and pointer.
    const file_tree piano{{"bank.txt", "bank"}, {"LICENSE", "free"}, {"ATTRIBUTION.txt", "us"},
                          {"source.json", "{}"}, {"Samples/C4.flac", patterned_bytes(3000, 9)}};
    publish(prefix, new_release(false), false, piano);
    EXPECT_EQ(run_driver(place, L"", "y").result, 0);
    outcome = run_driver(place, L"--piano-bank", "");
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.status, "Piano bank ready. Use Enter at the public piano, or F6 for local practice. / "
                              "بانک پیانو آماده است؛ کنار پیانوی عمومی Enter بزنید یا برای تمرین محلی F6 بزنید.");
    EXPECT_TRUE(outcome.boxes.empty());

    write_file(place.install() / "download-endpoints.ini",
               "ORVEK_SOUND_RELEASES_URL_BASE=" + path_to_utf8(server_url(prefix + "/data/sound/")) + "\n");
    outcome = run_driver(place, L"--piano-bank", "");
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.status, "Update failed: Unexpected sound release base path.");
    EXPECT_EQ(outcome.boxes, std::vector<std::string>{failed + "Unexpected sound release base path."});

    const scoped_environment no_local_data(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(run_driver(place, L"--piano-bank", "").status, "Update failed: LOCALAPPDATA is unavailable.");
}

TEST(update_run, leftovers_of_killed_runs_go_and_those_of_running_copies_stay) {
    const temp_dir root("left");
    const fs::path install = root / "install";
    fs::create_directories(install);
    fs::create_directories(root / "guarded");
    const fake_game game(install);  // stands for a running copy of the program
    const fake_game guarded(root / "guarded");  // one that cannot be asked
    {
        const win_handle process(OpenProcess(WRITE_DAC, /*inherit*/ FALSE, guarded.pid()));
        ACL nobody;
        InitializeAcl(&nobody, sizeof nobody, ACL_REVISION);
        SetSecurityInfo(process.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        /*owner*/ nullptr, /*group*/ nullptr, &nobody, /*audit*/ nullptr);
        const win_handle asked(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, /*inherit*/ FALSE, guarded.pid()));
        const DWORD refusal = GetLastError();
        ASSERT_FALSE(asked);
        ASSERT_EQ(refusal, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    const scoped_environment cache_root(L"ORVEK_UPDATER_CACHE_ROOT", (root / "cache").c_str());
    remove_stale_leftovers(root / "updater" / "orvek.exe", install);
    EXPECT_FALSE(fs::exists(root / "cache"));  // the state folder is looked for, not made
    const std::string state = "cache/verification-state/" + path_to_utf8(installation_folder_name(install)) + "/";
    const std::string live = std::to_string(game.pid()), dead = "4294967292", sha(64, 'a');
    const struct {
        std::string name;
        int removed_by;  // 0 never, 1 every run, 2 only by a program of another name than the live one
    } cases[] = {
        {"updater/.orvek_update_" + dead + "/stage/lib/a.dll", 1},
        {"updater/.orvek_update_" + live + "/core.zip", 2},
        {"updater/.orvek_update_" + dead + "x/core.zip", 0},
        {"updater/.orvek_update_old.orvek_update_" + dead + "/core.zip", 0},
        {"updater/.orvek_update_0042/core.zip", 0},
        {"updater/.orvek_update_" + std::to_string(guarded.pid()) + "/core.zip", 0},
        {"linked/kept.txt", 0},  // a link named as a dead run's work folder leads here
        {"install/version.txt.tmp." + dead, 1},
        {"install/.orvek-update-committed.tmp." + live, 2},
        {"install/orvek.launch.tmp." + dead, 1},
        {"install/user.cfg.tmp." + dead, 0},
        {"install/data/.a1." + sha + ".part.resume.tmp." + dead, 1},
        {"install/data/.a1." + sha + ".part.tmp." + dead, 0},
        {"install/data/.a-1." + sha + ".part.resume.tmp." + dead, 0},
        {"install/data/sub/.a1." + sha + ".part.resume.tmp." + dead, 0},
        {state + "sounds.checks.tmp." + dead, 1},
        {state + "languages.manifest.tmp." + live, 2},
        {state + "piano.checks.tmp." + dead, 0},
    };
    for (const auto& test : cases) write_file(root / test.name, "left");
    const directory_link link(root / "updater/.orvek_update_4294967288", root / "linked");
    SetFileAttributesW((root / cases[0].name).c_str(), FILE_ATTRIBUTE_READONLY);
    for (const wchar_t* program : {L"orvek.exe", L"orvek-updater-2.exe"}) {
        remove_stale_leftovers(root / "updater" / program, install);
        for (const auto& test : cases)
            EXPECT_EQ(fs::exists(root / test.name), test.removed_by == 0 || (test.removed_by == 2 && program == std::wstring(L"orvek.exe")))
                << test.name;
    }
    EXPECT_FALSE(fs::exists(root / ("updater/.orvek_update_" + dead)));
}

TEST(update_run, client_release_identifiers) {
    const struct {
        const char* body;
        const char* id;  // nullptr: refused
    } cases[] = {
        {"20260101000000-aaaaaaaaaaaa", "20260101000000-aaaaaaaaaaaa"},
        {"  20260101000000-0123456789AB\r\n", "20260101000000-0123456789AB"},
        {"2026010100000a-aaaaaaaaaaaa", nullptr},
        {"202601010000000aaaaaaaaaaaa", nullptr},
        {"2026010100000-0aaaaaaaaaaaa", nullptr},
        {"20260101000000-aaaaaaaaaaag", nullptr},
        {"20260101000000-aaaaaaaaaaa", nullptr},
        {"20260101000000-aaaaaaaaaaaaa", nullptr},
        {"20260101000000-aaaaaaaaaaa-", nullptr},
    };
    for (const auto& test : cases) {
        std::string id;
        const std::string error = error_of([&] { id = parse_client_release_id(test.body); });
        EXPECT_EQ(error, test.id ? "" : "The active client release identifier is invalid.") << test.body;
        if (test.id) {
            EXPECT_EQ(id, test.id);
        }
    }
}

}  // namespace
}  // namespace orvek::test
