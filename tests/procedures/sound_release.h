#pragma once

// Test releases on the HTTPS test server, and an installation to update:
// the ground the client package and sound data tests share.

#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/transfer_test.h"

#include <filesystem>
#include <map>
#include <string>

namespace orvek::test {

// A sound release published under <prefix>/data/: the manifest at
// releases/<pointer>/m, each asset beside it, and the pointer at data/v.
struct sound_release {
    std::string prefix;
    std::map<std::string, std::string> assets;  // ID -> bytes
    std::string manifest;
    std::string pointer;

    std::wstring pointer_url() const;
    std::wstring releases_base() const;
    std::string asset_path(const std::string& id) const;  // server path of one asset
};

// `pointer_suffix` follows the pointer in data/v (as a server sends it).
sound_release publish_sound_release(const std::string& prefix, std::map<std::string, std::string> assets,
                                    const std::string& pointer_suffix = "\n");

// An installation with a data folder, a work folder and its own updater
// cache root (ORVEK_UPDATER_CACHE_ROOT) for one test; the previous value
// of the variable is put back when it goes.
class test_installation {
public:
    test_installation();

    std::filesystem::path install() const { return root_ / "install"; }
    std::filesystem::path data() const { return root_ / "install" / "data"; }
    std::filesystem::path work() const { return root_ / "install" / ".orvek_update_test"; }
    std::filesystem::path cache_root() const { return root_ / "cache"; }

private:
    temp_dir root_{"inst"};
    scoped_environment cache_setting_;
};

// Makes `link` a directory symbolic link to its sibling `target_name`.
// Wine's CreateSymbolicLinkW does nothing, so the host's ln makes it (Wine
// starts host programs and shows their links as reparse points).
void make_directory_link(const std::filesystem::path& link, const std::wstring& target_name);

// The game stand-in (bin/standins/orvek.exe) copied into an installation
// and running from there until close() or the owner's end.
class fake_game {
public:
    explicit fake_game(const std::filesystem::path& installation);
    ~fake_game();
    fake_game(const fake_game&) = delete;
    fake_game& operator=(const fake_game&) = delete;
    void close();
    unsigned long pid() const;

private:
    std::filesystem::path installation_;
    void* process_ = nullptr;
};

// Scripted answers of the test server.
response_rule status_rule(int status, int delay_ms = 0, int times = 1);
response_rule delay_rule(int delay_ms);

// Files directly in `folder`: name -> bytes (folders skipped).
std::map<std::string, std::string> files_in(const std::filesystem::path& folder);

}  // namespace orvek::test
