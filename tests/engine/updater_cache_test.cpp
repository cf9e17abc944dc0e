#include "engine/updater_cache.h"

#include "engine/verification_cache.h"
#include "support/directory_link.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

const std::string hex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string upper_hex64 = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

// An updater folder with its run's work folder, and a cache root of its own.
struct cache_setup {
    temp_dir t{"cache"};
    scoped_environment cache_root{L"ORVEK_UPDATER_CACHE_ROOT", (t / "cache").c_str()};
    fs::path updater = t / "Games/Test";
    fs::path work = updater / ".orvek_update_42";
    fs::path old_cache = updater / ".orvek-package-cache";
    fs::path cache = t / "cache" / installation_folder_name(updater);
};

TEST(updater_cache, the_folder_is_named_for_the_updater_folder_and_placed_by_the_setting)
{
    cache_setup s;
    EXPECT_EQ(updater_cache_dir(s.work), s.cache);
    EXPECT_TRUE(fs::is_directory(s.cache));
    EXPECT_EQ(verification_state_dir(s.updater), s.t / "cache/verification-state" / installation_folder_name(s.updater));

    // Without the setting: the per-user folder.
    const scoped_environment unset(L"ORVEK_UPDATER_CACHE_ROOT", L"");
    const fs::path per_user = updater_cache_dir(s.work);
    EXPECT_EQ(per_user, local_app_data_folder("unused") / "kelvor/orvek/updater-cache" / installation_folder_name(s.updater));
    EXPECT_TRUE(fs::is_directory(per_user));
    fs::remove(per_user);
}

TEST(updater_cache, partial_downloads_move_over_from_the_old_folder_once)
{
    cache_setup s;
    write_file(s.old_cache / (hex64 + ".part"), "partial");
    write_file(s.old_cache / (hex64 + ".part.resume"), "resume state");
    write_file(s.old_cache / (upper_hex64 + ".part.range0"), "range");
    write_file(s.old_cache / ("fedcba9876543210" + hex64.substr(16) + ".part.range1/inside"), "a folder moves whole");

    ASSERT_EQ(updater_cache_dir(s.work), s.cache);
    EXPECT_FALSE(fs::exists(s.old_cache));
    EXPECT_EQ(read_file(s.cache / (hex64 + ".part")), "partial");
    EXPECT_EQ(read_file(s.cache / (hex64 + ".part.resume")), "resume state");
    EXPECT_EQ(read_file(s.cache / (upper_hex64 + ".part.range0")), "range");
    EXPECT_EQ(read_file(s.cache / ("fedcba9876543210" + hex64.substr(16) + ".part.range1/inside")), "a folder moves whole");

    // Other names stay, and so does what the cache already holds.
    const std::vector<std::string> kept = {hex64.substr(1) + ".part", hex64 + ".tmp", hex64 + ".partx", "notes.txt",
                                           hex64 + ".part"};
    for (const auto& name : kept) write_file(s.old_cache / name, "old " + name);
    updater_cache_dir(s.work);
    for (const auto& name : kept) EXPECT_EQ(read_file(s.old_cache / name), "old " + name);
    EXPECT_EQ(read_file(s.cache / (hex64 + ".part")), "partial");
    EXPECT_FALSE(fs::exists(s.cache / "notes.txt"));

    // An entry that cannot be moved stops the migration; the next call goes on.
    const std::string busy = std::string(64, 'e') + ".part";
    write_file(s.old_cache / busy, "busy");
    {
        const HANDLE held = CreateFileW((s.old_cache / busy).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        /*security*/ nullptr, OPEN_EXISTING, 0, /*template*/ nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(error_of([&] { updater_cache_dir(s.work); }), "Cannot migrate the existing updater cache.");
        CloseHandle(held);
    }
    updater_cache_dir(s.work);
    EXPECT_EQ(read_file(s.cache / busy), "busy");
}

TEST(updater_cache, links_on_its_paths_are_refused)
{
    cache_setup s;
    const std::string refused = "Updater refuses a symbolic link or junction in an installation path.";
    fs::create_directories(s.t / "elsewhere");
    fs::create_directories(s.updater);

    {
        const directory_link linked_root(s.t / "cache-link", s.t / "elsewhere");
        const scoped_environment root(L"ORVEK_UPDATER_CACHE_ROOT", (s.t / "cache-link").c_str());
        EXPECT_EQ(error_of([&] { updater_cache_dir(s.work); }), refused);
    }
    {
        const directory_link linked_old(s.old_cache, s.t / "elsewhere");
        EXPECT_EQ(error_of([&] { updater_cache_dir(s.work); }), refused);
    }
    write_file(s.t / "elsewhere/inside", "x");
    fs::create_directories(s.old_cache);
    {
        const directory_link linked_entry(s.old_cache / (hex64 + ".part"), s.t / "elsewhere");
        EXPECT_EQ(error_of([&] { updater_cache_dir(s.work); }), refused);
    }
    EXPECT_EQ(read_file(s.t / "elsewhere/inside"), "x");
}

}  // namespace
}  // namespace orvek::test
