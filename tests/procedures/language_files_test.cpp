#include "procedures/language_files.h"

#include "engine/run_state.h"
#include "engine/verification_cache.h"
#include "sound_release.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <optional>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

const std::string release_id = "20260101000000-0123456789ab";

class language_files : public transfer_test {
protected:
    void TearDown() override {
        repair_requested = false;
        transfer_test::TearDown();
    }

    // A core package whose data/languages holds `files`.
    void publish(const std::map<std::string, std::string>& files) const {
        std::vector<std::pair<std::string, std::string>> entries{{"orvek.exe", "game"}};
        for (const auto& [name, bytes] : files) entries.emplace_back("data/languages/" + name, bytes);
        const std::string zip = make_zip(entries);
        put_file(prefix + "/releases/" + release_id + "/orvek.zip", zip);
        put_file(prefix + "/releases/" + release_id + "/client-core.sha256", sha256_of(zip) + " *orvek.zip\n");
    }
    std::string repair() const {
        fs::remove_all(installation.work());
        fs::create_directories(installation.work());
        return error_of([&] { repair_language_files(base, release_id, installation.install(), installation.work()); });
    }
    fs::path languages() const { return installation.data() / "languages"; }
    fs::path checks_file() const { return verification_state_dir(installation.install()) / "languages.manifest"; }
    std::size_t requests() const { return request_log(prefix).size(); }

    const std::string prefix = unique_prefix("language_files");
    const std::wstring base = server_url(prefix + "/releases/");
    test_installation installation;
};

TEST_F(language_files, damaged_files_are_repaired_and_a_current_check_sends_no_request) {
    publish({{"en.lang", "english"}, {"fa.lang", "farsi"}, {"de.lang", "deutsch"}, {"notes.txt", "skip"},
             {"sub/x.lang", "skip"}});
    fs::create_directories(languages());
    write_file(languages() / "en.lang", "english");
    write_file(languages() / "fa.lang", "damaged");
    write_file(languages() / "old.lang", "kept");

    ASSERT_EQ(repair(), "");
    EXPECT_EQ(files_in(languages()), (std::map<std::string, std::string>{
                                         {"de.lang", "deutsch"}, {"en.lang", "english"},
                                         {"fa.lang", "farsi"}, {"old.lang", "kept"}}));
    EXPECT_EQ(checked_files, 3u);
    EXPECT_FALSE(fs::exists(installation.install() / ".orvek-client-rollback"));
    std::vector<language_file_entry> listed;
    EXPECT_TRUE(read_language_checks(checks_file(), make_language_cache_key(base, release_id), listed));

    // The fast path still moves an old package cache from beside the
    // updater, here in a folder below the installation.
    const fs::path work = installation.install() / "updater" / ".orvek_update_test";
    const fs::path old_cache = work.parent_path() / ".orvek-package-cache";
    fs::create_directories(old_cache);
    write_file(old_cache / (std::string(64, 'a') + ".part"), "partial");
    const std::size_t before = requests();
    reset_counters();
    ASSERT_EQ(error_of([&] { repair_language_files(base, release_id, installation.install(), work); }), "");
    EXPECT_EQ(requests(), before);
    EXPECT_EQ(checked_files, 3u);
    EXPECT_FALSE(fs::exists(old_cache));

    // "--repair" goes past a current checks file to the package.
    repair_requested = true;
    ASSERT_EQ(repair(), "");
    EXPECT_GT(requests(), before);

    // A damaged file ends the fast path at once; the package is checked instead.
    repair_requested = false;
    write_file(languages() / listed[0].name, "damaged file");
    reset_counters();
    ASSERT_EQ(repair(), "");
    EXPECT_EQ(checked_files, 4u);
}

TEST_F(language_files, refusals_leave_the_installed_files_alone) {
    const std::string missing = "The verified client package is missing required language files.";
    // The package's extraction would write this one through a name that cannot fit.
    const std::string long_name = std::string(195, 'l') + ".lang";
    const std::string too_long = "The installation folder path is too long (" +
                                 std::to_string(installation.install().native().size()) +
                                 " characters). Move ORVEK to a shorter path.";
    const struct {
        std::map<std::string, std::string> package;
        bool game_running;
        std::string message;
    } cases[] = {
        {{{"en.lang", "english"}}, false, missing},
        {{{"fa.lang", "farsi"}, {"en.lang/", ""}}, false, missing},
        {{{"en.lang", "english"}, {"fa.lang", "farsi"}, {long_name, "long"}}, false, too_long},
        {{{"en.lang", "english"}, {"fa.lang", "farsi"}}, true, "Close ORVEK and Retry to repair language files."},
    };
    fs::create_directories(languages());
    for (const auto& c : cases) {
        write_file(languages() / "en.lang", "damaged");
        publish(c.package);
        std::optional<fake_game> game;
        if (c.game_running) game.emplace(installation.install());
        EXPECT_EQ(repair(), c.message);
        EXPECT_EQ(read_file(languages() / "en.lang"), "damaged");
        EXPECT_FALSE(fs::exists(checks_file()));
    }
    EXPECT_EQ(current_status(), L"Close ORVEK to repair language files. Waiting up to two minutes.");
}

TEST_F(language_files, checks_file_is_read_back_only_when_whole) {
    const std::string key = make_language_cache_key(base, release_id);
    EXPECT_EQ(make_language_cache_key(L"c:\\games\\test", "r"), "r:101319803416546719");
    const std::string zeros = std::string("\t").append(64, '0').append("\n");
    const std::string head = "ORVEK-LANGUAGE-CHECKS-1\n" + key + "\n";
    const std::string valid = head + "en.lang" + zeros + "fa.lang\t" + std::string(64, 'B') + "\n";
    // `size` bytes, the last name stretched to fit.
    const auto sized = [&](std::size_t size) {
        return valid + std::string(size - valid.size() - 71, 'd') + ".lang" + zeros;
    };
    const struct {
        std::string text;
        bool accepted;
    } cases[] = {
        {valid, true},
        {sized(1'048'576), true},
        {sized(1'048'577), false},
        {valid + "\n", false},
        {"ORVEK-LANGUAGE-CHECKS-1\r\n" + key + "\r\nen.lang" + zeros + "fa.lang" + zeros, false},
        {"ORVEK-LANGUAGE-CHECKS-1\n" + key + "x\nen.lang" + zeros + "fa.lang" + zeros, false},
        {head + "en.lang" + zeros + "de.lang" + zeros, false},
        {valid + "en.lang" + zeros, false},
        {valid + "x/de.lang" + zeros, false},
        {valid + "de.LANG" + zeros, false},
        {valid + ".orvek-x.lang" + zeros, false},
        {valid + "de.lang\t" + std::string(63, '0') + "\n", false},
        {valid + "de.lang\t" + std::string(63, '0') + "g\n", false},
        {valid + "de.lang" + zeros.substr(0, 64) + "0\t\n", false},
    };
    temp_dir folder("lang");
    for (const auto& c : cases) {
        write_file(folder / "languages.manifest", c.text);
        std::vector<language_file_entry> entries;
        EXPECT_EQ(read_language_checks(folder / "languages.manifest", key, entries), c.accepted)
            << c.text.substr(0, 200);
        if (!c.accepted) continue;
        write_language_checks(folder / "again", key, entries);
        EXPECT_TRUE(same_bytes(read_file(folder / "again"), c.text));
    }
    std::vector<language_file_entry> none;
    EXPECT_FALSE(read_language_checks(folder / "missing", key, none));
}

}  // namespace
}  // namespace orvek::test
