#include "sound_release.h"

#include "support/child_process.h"
#include "support/host_path.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace orvek::test {

namespace fs = std::filesystem;

std::wstring sound_release::pointer_url() const { return server_url(prefix + "/data/v"); }

std::wstring sound_release::releases_base() const { return server_url(prefix + "/data/releases/"); }

std::string sound_release::asset_path(const std::string& id) const {
    return prefix + "/data/releases/" + pointer + "/" + id;
}

sound_release publish_sound_release(const std::string& prefix, std::map<std::string, std::string> assets,
                                    const std::string& pointer_suffix) {
    sound_release release{prefix, std::move(assets), {}, {}};
    for (const auto& [id, bytes] : release.assets)
        release.manifest += id + "|" + sha256_of(bytes) + "|" + std::to_string(bytes.size()) + "\n";
    release.pointer = sha256_of(release.manifest);
    for (const auto& [id, bytes] : release.assets) put_file(release.asset_path(id), bytes);
    put_file(release.asset_path("m"), release.manifest);
    put_file(prefix + "/data/v", release.pointer + pointer_suffix);
    return release;
}

test_installation::test_installation()
    : cache_setting_(L"ORVEK_UPDATER_CACHE_ROOT", (root_ / "cache").c_str()) {
    fs::create_directories(data());
    fs::create_directories(work());
    fs::create_directories(cache_root());
}

void make_directory_link(const fs::path& link, const std::wstring& target_name) {
    std::wstring command = L"Z:\\bin\\ln -s " + target_name + L" " + link.filename().wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), /*process security*/ nullptr, /*thread security*/ nullptr,
                        FALSE, /*flags*/ 0, /*environment*/ nullptr, link.parent_path().c_str(), &startup, &process))
        throw std::runtime_error("could not start ln for a test link");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a host program does not tell when it ended.
    for (int i = 0; i < 100 && GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    if ((GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw std::runtime_error("the test link did not appear");
}

fake_game::fake_game(const fs::path& installation) : installation_(installation) {
    fs::remove(installation / "orvek-exit");
    fs::remove(installation / "orvek-started.txt");
    fs::copy_file(host_folder("ORVEK_BUILD_DIR") / "bin" / "standins" / "orvek.exe", installation / "orvek.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path program = installation / "orvek.exe";
    process_ = start_process(program, L"\"" + program.wstring() + L"\"", installation).release();
    for (int i = 0; i < 200 && !fs::exists(installation / "orvek-started.txt"); ++i) Sleep(25);
}

fake_game::~fake_game() { close(); }

unsigned long fake_game::pid() const { return GetProcessId(process_); }

void fake_game::close() {
    if (process_ == nullptr) return;
    write_file(installation_ / "orvek-exit", "");
    WaitForSingleObject(process_, 10'000);
    CloseHandle(process_);
    process_ = nullptr;
}

response_rule status_rule(int status, int delay_ms, int times) {
    response_rule rule;
    rule.status = status;
    rule.delay_ms = delay_ms;
    rule.times = times;
    return rule;
}

response_rule delay_rule(int delay_ms) { return status_rule(0, delay_ms); }

std::map<std::string, std::string> files_in(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) files[entry.path().filename().string()] = read_file(entry.path());
    return files;
}

}  // namespace orvek::test
