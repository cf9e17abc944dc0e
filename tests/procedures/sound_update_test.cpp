#include "procedures/sound_update.h"

#include "engine/run_state.h"
#include "engine/win_handle.h"
#include "sound_release.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>
#include <iostream>
#include <set>
#include <thread>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class sound_update : public transfer_test {
protected:
    void SetUp() override {
        transfer_test::SetUp();
        repair_requested = false;
    }

    std::string run(const sound_release& release) const {
        return error_of([&] {
            update_sound_data(release.pointer_url(), release.releases_base(), installation.install(),
                              installation.work());
        });
    }
    // The data folder holds the release and nothing else (no parts, no
    // rollback folder).
    void expect_installed(const sound_release& release, const std::string& pointer_suffix = "\n") const {
        auto expected = release.assets;
        expected["m"] = release.manifest;
        expected["v"] = release.pointer + pointer_suffix;
        const auto actual = files_in(installation.data());
        EXPECT_EQ(actual.size(), expected.size());
        for (const auto& [name, bytes] : expected) {
            ASSERT_TRUE(actual.contains(name)) << name;
            EXPECT_TRUE(same_bytes(actual.at(name), bytes)) << name;
        }
        EXPECT_FALSE(fs::exists(installation.data() / ".orvek-sound-rollback"));
    }
    // IDs fetched from the release since log entry `from`, and the log's size.
    std::set<std::string> fetched_since(const sound_release& release, std::size_t& from) const {
        const std::string base = release.prefix + "/data/releases/" + release.pointer + "/";
        const auto log = request_log(release.prefix);
        std::set<std::string> ids;
        for (std::size_t i = from; i < log.size(); ++i)
            if (log[i].path.starts_with(base)) ids.insert(log[i].path.substr(base.size()));
        from = log.size();
        return ids;
    }
    static void clear_cancel() {
        const std::lock_guard lock(state_mutex);
        cancelled = false;
    }

    const std::string prefix = unique_prefix("sound_update");
    test_installation installation;
};

std::map<std::string, std::string> small_assets(int count, unsigned seed) {
    std::map<std::string, std::string> assets{{"i", patterned_bytes(500, seed)}};
    for (int n = 1; n < count; ++n)
        assets[std::string(1, 'a').append(std::to_string(n))] =
            patterned_bytes(200 + static_cast<std::size_t>(n) * 37, seed + n);
    return assets;
}

TEST_F(sound_update, large_release_installs_then_stays_put_and_refetches_only_what_broke) {
    auto assets = small_assets(297, 11);
    for (int n = 0; n < 3; ++n)
        assets["big" + std::to_string(n)] = patterned_bytes(8'388'608 + static_cast<std::size_t>(n) * 4099, 90 + n);
    const sound_release release = publish_sound_release(prefix, assets);
    write_file(installation.install() / "sounds.dat", "old");

    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(release), "");
    const auto fresh_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    expect_installed(release);
    EXPECT_FALSE(fs::exists(installation.install() / "sounds.dat"));
    EXPECT_EQ(checked_files, 300u);
    EXPECT_EQ(finished_files, 300u);

    // Warm: the verification cache vouches for every asset, so none is read
    // (each is locked against reading) and nothing but the pointer is asked for.
    std::size_t mark = request_log(prefix).size();
    reset_counters();
    std::vector<win_handle> locks;
    for (const auto& [id, bytes] : assets) {
        locks.emplace_back(CreateFileW((installation.data() / id).c_str(), GENERIC_READ, /*share*/ 0,
                                       /*security*/ nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
        ASSERT_TRUE(locks.back()) << id;
    }
    started = std::chrono::steady_clock::now();
    ASSERT_EQ(run(release), "");
    const auto warm_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_EQ(fetched_since(release, mark), std::set<std::string>{});
    EXPECT_EQ(received_bytes, 0u);
    EXPECT_EQ(checked_files, 300u);
    locks.clear();
    std::cout << "300 assets: fresh run " << fresh_ms.count() << " ms, warm run " << warm_ms.count() << " ms\n";
    RecordProperty("fresh_ms", static_cast<int>(fresh_ms.count()));
    RecordProperty("warm_ms", static_cast<int>(warm_ms.count()));

    std::string damaged = assets["a7"];
    damaged[100] ^= 0x55;
    write_file(installation.data() / "a7", damaged);
    fs::remove(installation.data() / "big1");
    ASSERT_EQ(run(release), "");
    EXPECT_EQ(fetched_since(release, mark), (std::set<std::string>{"a7", "big1"}));
    expect_installed(release);
}

TEST_F(sound_update, dropped_assets_are_removed_and_everything_else_stays) {
    auto assets = small_assets(4, 5);
    ASSERT_EQ(run(publish_sound_release(prefix, assets)), "");

    const fs::path data = installation.data();
    for (const char* name : {".hidden", "long12345", "a-b", ".orvek-sound-rollback-note"}) write_file(data / name, name);
    fs::create_directories(data / "dir1");
    fs::create_directories(data / "dir2");
    make_directory_link(data / "lnk1", L"dir2");
    // On this file system "A1" is the listed "a1" under another case.
    // (Through another name: Wine ignores a rename that changes only the case.)
    fs::rename(data / "a1", data / "renaming");
    fs::rename(data / "renaming", data / "A1");

    assets.erase("a3");
    SetFileAttributesW((data / "a3").c_str(), FILE_ATTRIBUTE_READONLY);
    const sound_release second = publish_sound_release(prefix, assets);
    ASSERT_EQ(run(second), "");
    EXPECT_FALSE(fs::exists(data / "a3"));
    EXPECT_EQ(read_file(data / "a1"), assets["a1"]);
    EXPECT_EQ(read_file(data / "m"), second.manifest);
    for (const char* name : {".hidden", "long12345", "a-b", ".orvek-sound-rollback-note", "dir1", "lnk1"})
        EXPECT_NE(GetFileAttributesW((data / name).c_str()), INVALID_FILE_ATTRIBUTES) << name;
    RemoveDirectoryW((data / "lnk1").c_str());  // the link alone, before the folder goes

    // During a client install a removal that cannot be journaled keeps the
    // file and says which asset it was.
    write_file(installation.install() / ".orvek-client-rollback" / "transaction.journal", "ORVEK-TRANSACTION-1\n");
    write_file(data / "zz9", "dropped");
    fs::create_directories(data / ".orvek-sound-rollback" /
                           ("transaction.journal.tmp." + std::to_string(GetCurrentProcessId())));
    EXPECT_EQ(run(second), "Could not remove obsolete sound asset zz9 (Could not write a temporary update file.).");
    EXPECT_EQ(read_file(data / "zz9"), "dropped");
}

TEST_F(sound_update, pointer_and_local_manifest_decide_what_is_fetched) {
    const auto assets = small_assets(3, 21);
    const sound_release release = publish_sound_release(prefix, assets, "\r\n");
    ASSERT_EQ(run(release), "");
    expect_installed(release, "\r\n");

    std::size_t mark = request_log(prefix).size();
    ASSERT_EQ(run(release), "");
    EXPECT_EQ(fetched_since(release, mark), std::set<std::string>{});
    write_file(installation.data() / "m", "damaged");
    // The fetched manifest's check would be written through a name one
    // character too long.
    const std::size_t folder = installation.install().native().size();
    const std::string check = "\\sound-manifest.check.tmp." + std::to_string(GetCurrentProcessId());
    const fs::path long_work = installation.install() / std::wstring(259 - folder - check.size(), L'w');
    EXPECT_EQ(error_of([&] {
                  update_sound_data(release.pointer_url(), release.releases_base(), installation.install(), long_work);
              }),
              "The installation folder path is too long (" + std::to_string(folder) +
                  " characters). Move ORVEK to a shorter path.");
    EXPECT_EQ(read_file(installation.data() / "m"), "damaged");
    EXPECT_FALSE(fs::exists(long_work));
    ASSERT_EQ(run(release), "");
    EXPECT_EQ(fetched_since(release, mark), std::set<std::string>{"m"});
    fs::remove(installation.data() / "m");
    ASSERT_EQ(run(release), "");
    EXPECT_EQ(fetched_since(release, mark), std::set<std::string>{"m"});
    expect_installed(release, "\r\n");

    // Served apart, as the served folder's file system would fold the case.
    sound_release upper = release;
    upper.prefix = unique_prefix("sound_update_upper");
    for (char& c : upper.pointer) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    put_file(upper.prefix + "/data/v", upper.pointer);
    put_file(upper.asset_path("m"), release.manifest);
    EXPECT_EQ(run(upper), "Sound manifest SHA-256 does not match its release pointer.");
    EXPECT_FALSE(fs::exists(installation.work() / "sound-manifest.check"));
    put_file(prefix + "/data/v", release.pointer.substr(1));
    EXPECT_EQ(run(release), "The sound-data release pointer is not a SHA-256 manifest ID.");
    put_file(prefix + "/data/v", "\n");
    EXPECT_EQ(run(release), "The release version is invalid.");
}

TEST_F(sound_update, pool_keeps_within_its_connection_count) {
    const scoped_environment connections(L"ORVEK_UPDATER_CONNECTIONS", L"4");
    const auto assets = small_assets(12, 31);
    const sound_release release = publish_sound_release(prefix, assets);
    for (const auto& [id, bytes] : assets) script(release.asset_path(id), {delay_rule(300)});
    ASSERT_EQ(run(release), "");
    EXPECT_EQ(peak_in_flight(prefix + "/data/releases/"), 4);

    // Nothing to download: the setting still bounds the requests that follow.
    const scoped_environment five(L"ORVEK_UPDATER_CONNECTIONS", L"5");
    ASSERT_EQ(run(release), "");
    const std::lock_guard lock(state_mutex);
    EXPECT_EQ(max_connections, 5u);
}

TEST_F(sound_update, connection_setting_is_read_as_unsigned_and_clamped) {
    const std::pair<const wchar_t*, std::uint64_t> cases[] = {
        {L"0", 1}, {L"20", 8}, {L"abc", 2}, {L"-1", 8}, {L"3x", 3}, {L" 7", 7}, {L"", 2},
        {L"99999999999999999999", 2}, {L"8", 8}, {L"1", 1}};
    for (const auto& [text, count] : cases) EXPECT_EQ(parse_connection_setting(text), count) << text;
}

TEST_F(sound_update, failed_download_stops_the_pool_and_finished_files_wait_for_the_next_run) {
    const auto assets = small_assets(10, 41);
    const sound_release release = publish_sound_release(prefix, assets);
    script(release.asset_path("a5"), {status_rule(404, 500)});

    EXPECT_EQ(run(release), "Update server returned HTTP 404.");
    {
        const std::lock_guard lock(state_mutex);
        EXPECT_TRUE(cancelled);
    }
    std::set<std::string> finished;
    for (const auto& [id, bytes] : assets) {
        EXPECT_FALSE(fs::exists(installation.data() / id)) << id;
        const fs::path part = installation.data() / ("." + id + "." + sha256_of(bytes) + ".part");
        if (fs::exists(part) && fs::file_size(part) == bytes.size()) finished.insert(id);
    }
    EXPECT_GE(finished.size(), 5u);

    clear_cancel();
    std::size_t mark = request_log(prefix).size();
    ASSERT_EQ(run(release), "");
    for (const std::string& id : fetched_since(release, mark)) EXPECT_FALSE(finished.contains(id)) << id;
    expect_installed(release);
}

TEST_F(sound_update, install_waits_for_the_game_to_close) {
    auto assets = small_assets(3, 51);
    const sound_release release = publish_sound_release(prefix, assets);
    const std::wstring waiting = L"Close ORVEK to install verified sound files. Waiting up to two minutes.";
    {
        fake_game game(installation.install());
        auto result = std::async(std::launch::async, [&] { return run(release); });
        for (int i = 0; i < 400 && current_status() != waiting; ++i) std::this_thread::sleep_for(25ms);
        ASSERT_EQ(current_status(), waiting);
        std::this_thread::sleep_for(500ms);
        EXPECT_FALSE(fs::exists(installation.data() / "i"));
        game.close();
        ASSERT_EQ(result.get(), "");
    }
    expect_installed(release);

    // A game that outlasts the wait: nothing installed, the download kept.
    assets["new1"] = "new asset";
    const sound_release second = publish_sound_release(prefix, assets);
    fake_game game(installation.install());
    wait_divisor = 1000;
    EXPECT_EQ(run(second), "ORVEK is still running. Close it and Retry; verified downloads are retained.");
    EXPECT_FALSE(fs::exists(installation.data() / "new1"));
    EXPECT_EQ(read_file(installation.data() / ("." + std::string("new1.") + sha256_of("new asset") + ".part")),
              "new asset");
}

}  // namespace
}  // namespace orvek::test
