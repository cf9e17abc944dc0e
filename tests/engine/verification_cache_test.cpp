#include "engine/verification_cache.h"

#include "engine/run_state.h"
#include "engine/sha256.h"
#include "support/directory_link.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

constexpr char header[] = "ORVEK-FILE-CHECKS-1\n";

std::string sha256_of_file(const fs::path& file)
{
    return hash_file_sha256(file, [] {});
}

// A root with one file, and the verification state in a folder of its own.
struct checked_folder {
    temp_dir t{"checks"};
    scoped_environment cache_root{L"ORVEK_UPDATER_CACHE_ROOT", (t / "cache").c_str()};
    fs::path root = t / "install";
    fs::path file = root / "data/a.ogg";
    std::string sha256;
    fs::path state_file;

    checked_folder()
    {
        write_file(file, "sound bytes");
        sha256 = sha256_of_file(file);
        state_file = t / "cache/verification-state" / installation_folder_name(root) / "sounds.checks";
    }

    void write_entry(std::uint64_t verified_at, const std::string& identity)
    {
        write_file(state_file, header + std::string("data/a.ogg\t") + sha256 + "\t" + identity + "\t" +
                                   std::to_string(verified_at) + "\n");
    }
};

// Holds a file open so that nobody can read it: a hash attempt fails.
class read_lock {
public:
    explicit read_lock(const fs::path& file)
        : handle_(CreateFileW(file.c_str(), GENERIC_READ, /*share nothing*/ 0, /*security*/ nullptr, OPEN_EXISTING, 0,
                              /*template*/ nullptr))
    {
        if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("test could not lock the file");
    }
    ~read_lock() { CloseHandle(handle_); }
    read_lock(const read_lock&) = delete;
    read_lock& operator=(const read_lock&) = delete;

private:
    HANDLE handle_;
};

struct repair_mode {
    repair_mode() { repair_requested = true; }
    ~repair_mode() { repair_requested = false; }
};

TEST(verification_cache, folder_names_are_made_from_the_normalised_lower_cased_path)
{
    EXPECT_EQ(installation_folder_name(L"C:\\Games\\Test"), L"101319803416546719");
    EXPECT_EQ(installation_folder_name(L"c:/games/TEST"), L"101319803416546719");
    EXPECT_EQ(installation_folder_name(L"C:\\Games\\Other\\..\\Test"), L"101319803416546719");
    EXPECT_EQ(installation_folder_name(L"C:\\Games\\.\\Test"), L"101319803416546719");
    EXPECT_NE(installation_folder_name(L"C:\\Games\\Test\\"), L"101319803416546719");

    temp_dir t("checks");
    const scoped_environment cache_root(L"ORVEK_UPDATER_CACHE_ROOT", (t / "cache").c_str());
    const fs::path folder = verification_state_dir(L"C:\\Games\\Test");
    EXPECT_EQ(folder, t / "cache/verification-state/101319803416546719");
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST(verification_cache, a_fresh_entry_is_trusted_without_reading_the_file)
{
    checked_folder f;
    file_checks checks = load_file_checks(f.root, L"sounds");
    EXPECT_TRUE(checks.loaded);
    EXPECT_TRUE(checks.entries.empty());
    EXPECT_EQ(checks.checks_path, f.state_file);

    const std::uint64_t before = current_filetime();
    ASSERT_TRUE(verify_file_cached(checks, f.file, f.sha256));
    ASSERT_TRUE(checks.entries.contains("data/a.ogg"));
    const check_entry entry = checks.entries.at("data/a.ogg");
    EXPECT_EQ(entry.sha256, f.sha256);
    EXPECT_EQ(entry.identity, get_file_identity(f.file));
    EXPECT_GE(entry.verified_at, before);
    EXPECT_TRUE(checks.dirty);

    save_file_checks(checks);
    EXPECT_FALSE(checks.dirty);
    EXPECT_EQ(read_file(f.state_file), header + std::string("data/a.ogg\t") + f.sha256 + "\t" + entry.identity + "\t" +
                                           std::to_string(entry.verified_at) + "\n");

    // The next run trusts it while nobody can even read the file.
    file_checks later = load_file_checks(f.root, L"sounds");
    {
        const read_lock locked(f.file);
        EXPECT_TRUE(verify_file_cached(later, f.file, f.sha256));
        EXPECT_FALSE(later.dirty);
        {
            const repair_mode repair;
            EXPECT_FALSE(verify_file_cached(later, f.file, f.sha256)) << "repair hashes every file";
        }
        EXPECT_FALSE(later.entries.contains("data/a.ogg")) << "a failed hash forgets the file";
    }
    EXPECT_TRUE(verify_file_cached(later, f.file, f.sha256));

    // Another expected hash is checked for real; a mismatch forgets the file.
    const std::string other(64, 'a');
    EXPECT_FALSE(verify_file_cached(later, f.file, other));
    EXPECT_FALSE(later.entries.contains("data/a.ogg"));

    // A changed file (new identity) is hashed again.
    EXPECT_TRUE(verify_file_cached(later, f.file, f.sha256));
    write_file(f.file, "other bytes");
    EXPECT_FALSE(verify_file_cached(later, f.file, f.sha256));
}

// Stored states hold identities made from the by-handle and the basic
// information; every identity, the volume's first and later ones alike, must
// read the same.
TEST(verification_cache, identities_keep_the_by_handle_fields)
{
    checked_folder f;
    write_file(f.root / "data/big.ogg", std::string(70'000, 'x'));
    for (const fs::path& file : {f.file, f.root / "data/big.ogg", f.file}) {
        const HANDLE handle = CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, /*security*/ nullptr,
                                          OPEN_EXISTING, /*flags*/ 0, /*template*/ nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        FILE_BASIC_INFO basic{};
        ASSERT_TRUE(GetFileInformationByHandle(handle, &info));
        ASSERT_TRUE(GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)));
        CloseHandle(handle);
        std::string expected;
        for (const unsigned long field : {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                                          info.nFileSizeHigh, info.nFileSizeLow})
            expected += std::to_string(field) + ":";
        expected += std::to_string(basic.LastWriteTime.QuadPart) + ":" + std::to_string(basic.ChangeTime.QuadPart);
        EXPECT_EQ(get_file_identity(file), expected) << file;
    }
}

TEST(verification_cache, an_entry_counts_for_less_than_seven_days_and_never_from_the_future)
{
    checked_folder f;
    const std::string identity = get_file_identity(f.file);
    ASSERT_FALSE(identity.empty());
    constexpr std::uint64_t hour = 36'000'000'000ULL;
    const read_lock locked(f.file);  // a hit is the only way to succeed

    f.write_entry(current_filetime() - (check_lifetime - hour), identity);
    file_checks checks = load_file_checks(f.root, L"sounds");
    EXPECT_TRUE(verify_file_cached(checks, f.file, f.sha256)) << "6 days 23 hours old";

    f.write_entry(current_filetime() - check_lifetime, identity);
    checks = load_file_checks(f.root, L"sounds");
    EXPECT_FALSE(verify_file_cached(checks, f.file, f.sha256)) << "seven days old";

    f.write_entry(current_filetime() + hour, identity);
    checks = load_file_checks(f.root, L"sounds");
    EXPECT_FALSE(verify_file_cached(checks, f.file, f.sha256)) << "stamped in the future";

    f.write_entry(current_filetime(), identity + "0");
    checks = load_file_checks(f.root, L"sounds");
    EXPECT_FALSE(verify_file_cached(checks, f.file, f.sha256)) << "another identity";
}

TEST(verification_cache, a_damaged_state_file_is_discarded_whole)
{
    checked_folder f;
    const std::string sha(64, 'b');
    const std::string good = "good.ogg\t" + sha + "\t1:2:3:4:5:6:7\t100\n";
    const std::vector<std::string> bad_lines = {
        "data/a.ogg\t" + sha + "\t1:2:3\t100\r\n",
        "good.ogg\t" + sha + "\t1:2:3\t100\n",  // duplicate key
        "x.ogg\t" + sha.substr(1) + "\t1:2:3\t100\n",
        "x.ogg\t" + std::string(63, 'b') + "g\t1:2:3\t100\n",
        "x.ogg\t" + sha + "\t\t100\n",
        "../x.ogg\t" + sha + "\t1:2:3\t100\n",
        ".orvek-x/y.ogg\t" + sha + "\t1:2:3\t100\n",
        "x.ogg\t" + sha + "\t1:2:3\t100 \n",
        "x.ogg\t" + sha + "\t1:2:3\t\n",
        "x.ogg\t" + sha + "\t1:2:3\t100\t7\n",
        "x.ogg\t" + sha + "\t1:2:3\n",
        "x.ogg\t" + sha + "\t1:2:3\t99999999999999999999\n",
    };
    for (const auto& bad : bad_lines) {
        write_file(f.state_file, header + good + bad);
        const file_checks checks = load_file_checks(f.root, L"sounds");
        EXPECT_TRUE(checks.loaded);
        EXPECT_TRUE(checks.entries.empty()) << bad;
    }
    write_file(f.state_file, "ORVEK-FILE-CHECKS-1\r\n" + good);
    EXPECT_TRUE(load_file_checks(f.root, L"sounds").entries.empty());
    write_file(f.state_file, header + good + std::string(16'777'216, '#'));
    EXPECT_TRUE(load_file_checks(f.root, L"sounds").entries.empty()) << "oversized";

    write_file(f.state_file, header + good + "Upper.ogg\t" + std::string(64, 'C') + "\t9\t1");
    const file_checks intact = load_file_checks(f.root, L"sounds");
    ASSERT_EQ(intact.entries.size(), 2u);
    EXPECT_EQ(intact.entries.at("Upper.ogg").sha256, std::string(64, 'C'));
    EXPECT_EQ(intact.entries.at("good.ogg").verified_at, 100u);

    // The next save replaces a damaged file with a clean one.
    write_file(f.state_file, "ORVEK-FILE-CHECKS-1\r\n" + good);
    file_checks checks = load_file_checks(f.root, L"sounds");
    ASSERT_TRUE(verify_file_cached(checks, f.file, f.sha256));
    save_file_checks(checks);
    const std::string saved = read_file(f.state_file);
    EXPECT_EQ(saved.rfind(header + std::string("data/a.ogg\t") + f.sha256 + "\t", 0), 0u) << saved;
    EXPECT_EQ(saved.find('\r'), std::string::npos);
}

TEST(verification_cache, a_file_changed_while_it_is_hashed_is_not_remembered)
{
    checked_folder f;
    std::string big(48 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
    write_file(f.file, big);
    f.sha256 = sha256_of_file(f.file);
    f.write_entry(12345, "old identity");
    file_checks checks = load_file_checks(f.root, L"sounds");

    // Touching the file's times changes its identity but not its bytes.
    std::atomic<bool> stop = false;
    std::thread toucher([&] {
        const HANDLE file = CreateFileW(f.file.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*security*/ nullptr,
                                        OPEN_EXISTING, 0, /*template*/ nullptr);
        for (std::uint64_t tick = 1; !stop; ++tick) {
            const std::uint64_t stamp = 130'000'000'000'000'000ULL + tick * 10'000'000ULL;
            const FILETIME time{static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
            SetFileTime(file, /*creation*/ nullptr, /*access*/ nullptr, &time);
            Sleep(1);
        }
        CloseHandle(file);
    });
    const bool trusted = verify_file_cached(checks, f.file, f.sha256);
    stop = true;
    toucher.join();

    EXPECT_FALSE(trusted);
    EXPECT_EQ(checks.entries.at("data/a.ogg").identity, "old identity");
    EXPECT_EQ(checks.entries.at("data/a.ogg").verified_at, 12345u);
    EXPECT_FALSE(checks.dirty);
    EXPECT_TRUE(verify_file_cached(checks, f.file, f.sha256)) << "once it holds still, it is remembered";
}

TEST(verification_cache, unusable_files_and_state_folders)
{
    checked_folder f;
    file_checks checks = load_file_checks(f.root, L"sounds");
    fs::create_directories(f.root / "folder");
    EXPECT_EQ(get_file_identity(f.root / "folder"), "");
    EXPECT_FALSE(verify_file_cached(checks, f.root / "folder", f.sha256));
    EXPECT_FALSE(verify_file_cached(checks, f.root / "missing.ogg", f.sha256));
    EXPECT_EQ(error_of([&] { verify_file_cached(checks, f.t / "outside.ogg", f.sha256); }), "Unsafe transaction path.");
    EXPECT_EQ(error_of([&] { verify_file_cached(checks, f.root / ".orvek-x/a.ogg", f.sha256); }),
              "Reserved updater transaction path.");

    const fs::path elsewhere = f.t / "elsewhere";
    write_file(elsewhere / "a.ogg", "sound bytes");
    const directory_link linked(f.root / "linked", elsewhere);
    EXPECT_EQ(error_of([&] { verify_file_cached(checks, f.root / "linked/a.ogg", f.sha256); }),
              "Updater refuses a symbolic link or junction in an installation path.");

    // A state folder behind a link: nothing is loaded or saved there, but
    // files are still verified by hashing.
    const directory_link cache_link(f.t / "cache-link", elsewhere);
    const scoped_environment linked_cache(L"ORVEK_UPDATER_CACHE_ROOT", (f.t / "cache-link").c_str());
    file_checks unplaced = load_file_checks(f.root, L"sounds");
    EXPECT_FALSE(unplaced.loaded);
    EXPECT_TRUE(verify_file_cached(unplaced, f.file, f.sha256));
    save_file_checks(unplaced);
    EXPECT_FALSE(fs::exists(elsewhere / "verification-state"));
}

}  // namespace
}  // namespace orvek::test
