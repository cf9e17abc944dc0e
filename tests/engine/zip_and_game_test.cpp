#include "engine/game_process.h"
#include "engine/run_state.h"
#include "engine/transaction.h"
#include "engine/zip_extraction.h"

#include "support/child_process.h"
#include "support/scoped_environment.h"
#include "support/standin_path.h"
#include "support/temp_dir.h"
#include "support/transfer_test.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void reset_run_state()
{
    const std::lock_guard lock(state_mutex);
    paused = false;
    cancelled = false;
}

// The extractor's log: its process id, then the parameters it received.
std::vector<std::string> log_lines(const fs::path& log)
{
    std::vector<std::string> lines;
    if (!fs::exists(log)) return lines;
    std::string text = read_file(log);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

TEST(zip_and_game, single_quotation_marks_are_doubled_in_the_extractor_command)
{
    EXPECT_EQ(quote_powershell_literal(L"C:\\It's here\\a.zip"), L"C:\\It''s here\\a.zip");
    EXPECT_EQ(quote_powershell_literal(L"''"), L"''''");
    EXPECT_EQ(quote_powershell_literal(L"a\"b\u201cc\u201dd`$e\u2032"), L"a\"b\u201cc\u201dd`$e\u2032");
    EXPECT_EQ(quote_powershell_literal(L""), L"");

    const std::wstring fixed =
        L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"Add-Type -AssemblyName "
        L"System.IO.Compression.FileSystem; [IO.Compression.ZipFile]::ExtractToDirectory('";
    EXPECT_EQ(fixed.size(), 164u);
    EXPECT_EQ(extractor_parameters(L"C:\\It's\\p.zip", L"stage\\o'k"), fixed + L"C:\\It''s\\p.zip','stage\\o''k')\"");
    // PowerShell ends a single-quoted string at each of these as well.
    for (const std::wstring quote : {L"\u2018", L"\u2019", L"\u201a", L"\u201b"}) {
        EXPECT_EQ(extractor_parameters(L"C:\\O" + quote + L"Brien\\p.zip", L"s" + quote + quote),
                  fixed + L"C:\\O" + quote + quote + L"Brien\\p.zip','s" + quote + quote + quote + quote + L"')\"");
    }
}

TEST(zip_and_game, packages_are_extracted_and_any_failure_is_reported)
{
    reset_run_state();
    temp_dir t("zip");
    const fs::path folder = t / L"It's here \u2018\u2019\u201a\u201b";
    const fs::path zip = folder / "orvek.zip";
    write_file(zip, make_zip({{"orvek.exe", "game"}, {"lib/", ""}, {"lib/a.dll", "library"},
                              {"lang/\xc3\xa9t\xc3\xa9.txt", "summer"}}));
    const fs::path log = t / "extract.log";
    const scoped_environment logging(L"ORVEK_TEST_EXTRACT_LOG", log.c_str());

    const fs::path stage = folder / "stage";  // missing: the extractor makes it
    extract_zip(zip, stage);
    EXPECT_EQ(read_file(stage / "orvek.exe"), "game");
    EXPECT_EQ(read_file(stage / "lib/a.dll"), "library");
    EXPECT_EQ(read_file(stage / L"lang/\u00e9t\u00e9.txt"), "summer");
    const auto lines = log_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], path_to_utf8(extractor_parameters(zip, stage)));
    EXPECT_NE(lines[1].find("It''s here"), std::string::npos);

    EXPECT_EQ(error_of([&] { extract_zip(zip, stage); }), "Could not extract the update package.")
        << "existing files are never overwritten";
    write_file(t / "broken.zip", "PK not really");
    EXPECT_EQ(error_of([&] { extract_zip(t / "broken.zip", t / "out1"); }), "Could not extract the update package.");
    write_file(t / "escape.zip", make_zip({{"../evil.txt", "x"}}));
    EXPECT_EQ(error_of([&] { extract_zip(t / "escape.zip", t / "out2"); }), "Could not extract the update package.");
    EXPECT_FALSE(fs::exists(t / "evil.txt"));
    std::string counted = make_zip({{"a.txt", "a"}, {"b.txt", "b"}});
    write_file(t / "count.zip", counted.replace(counted.size() - 14, 4, "\1\0\1\0", 4));
    EXPECT_EQ(error_of([&] { extract_zip(t / "count.zip", t / "out3"); }), "Could not extract the update package.");
    std::string ansi = make_zip({{"d\xc3\xa9.txt", "ansi"}});
    write_file(t / "ansi.zip", ansi.replace(ansi.find("PK\1\2") + 9, 1, 1, '\0'));
    extract_zip(t / "ansi.zip", t / "out4");
    wchar_t ansi_name[16] = {};
    MultiByteToWideChar(CP_ACP, /*flags*/ 0, "d\xc3\xa9.txt", -1, ansi_name, 16);
    EXPECT_EQ(read_file(t / "out4" / ansi_name), "ansi") << "no UTF-8 flag: the ANSI code page (1252 under Wine)";
}

// The archive with its end record in ZIP64 form: the old record's counts
// and offsets overflow, and the new one, found through its locator, holds them.
std::string as_zip64(const std::string& zip)
{
    const std::size_t end = zip.size() - 22;
    const auto put = [](std::string& out, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
    };
    const auto field = [&](std::size_t at, int width) {
        std::uint64_t value = 0;
        for (int i = width; i-- > 0;) value = value << 8 | static_cast<std::uint8_t>(zip[at + i]);
        return value;
    };
    const std::uint64_t entries = field(end + 10, 2);
    std::string out = zip.substr(0, end);
    put(out, 0x06064b50, 4), put(out, 44, 8), put(out, 45, 2), put(out, 45, 2), put(out, 0, 8);
    put(out, entries, 8), put(out, entries, 8), put(out, field(end + 12, 4), 8), put(out, field(end + 16, 4), 8);
    put(out, 0x07064b50, 4), put(out, 0, 4), put(out, end, 8), put(out, 1, 4);
    put(out, 0x06054b50, 4), put(out, 0, 4), put(out, 0xFFFF, 2), put(out, 0xFFFF, 2);
    put(out, 0xFFFFFFFF, 4), put(out, 0xFFFFFFFF, 4), put(out, 0, 2);
    return out;
}

TEST(zip_and_game, entries_are_listed_from_the_central_directory)
{
    temp_dir t("zip");
    const std::string plain = make_zip({{"orvek.exe", "game"}, {"lib/", ""}, {"lang/\xc3\xa9t\xc3\xa9.txt", "summer"}});
    const struct {
        const char* name;
        std::string bytes;
        bool readable;
        std::size_t count = 3;
    } cases[] = {
        {"plain", plain, true},
        {"with a comment", plain.substr(0, plain.size() - 2) + std::string("\x05\0hello", 7), true},
        {"zip64", as_zip64(plain), true},
        {"65,535 entries without zip64", make_zip({65'535, {"a", ""}}), true, 65'535},
        {"a wrong directory size", std::string(plain).replace(plain.size() - 10, 4, "\1\0\0\0", 4), true},
        {"fewer counted than listed", std::string(plain).replace(plain.size() - 14, 4, "\2\0\2\0", 4), false},
        {"./", make_zip({{"./", ""}, {"./orvek.exe", ""}, {".\\lib\\", ""}, {"lib/../lang//\xc3\xa9t\xc3\xa9.txt", ""}}), true},
        {"leaving the destination", make_zip({{"lib/../../x", ""}}), false},
        {"cut short", plain.substr(0, plain.size() - 1), false},
        {"no zip", "PK not really", false},
    };
    for (const auto& test : cases) {
        write_file(t / "p.zip", test.bytes);
        std::vector<zip_entry> entries;
        const std::string error = error_of([&] { entries = read_zip_entries(t / "p.zip"); });
        EXPECT_EQ(error, test.readable ? "" : "Could not extract the update package.") << test.name;
        if (!test.readable) continue;
        ASSERT_EQ(entries.size(), test.count) << test.name;
        if (test.count != 3) continue;
        EXPECT_EQ(entries[0].name, L"orvek.exe");
        EXPECT_EQ(entries[1].name, L"lib");
        EXPECT_TRUE(entries[1].folder && !entries[0].folder && !entries[2].folder);
        EXPECT_EQ(entries[2].name, L"lang/\u00e9t\u00e9.txt");
    }
}

TEST(zip_and_game, cancel_ends_the_extractor_and_pause_waits_at_the_end)
{
    reset_run_state();
    temp_dir t("zip");
    const fs::path zip = t / "p.zip";
    write_file(zip, make_zip({{"a.txt", "a"}}));
    const fs::path log = t / "extract.log";
    const scoped_environment logging(L"ORVEK_TEST_EXTRACT_LOG", log.c_str());
    {
        const scoped_environment slow(L"ORVEK_TEST_SLOW_EXTRACT_MS", L"60000");
        std::thread canceller([&] {
            eventually([&] { return log_lines(log).size() >= 2; });
            request_cancel();
        });
        const auto started = std::chrono::steady_clock::now();
        const std::string message = error_of([&] { extract_zip(zip, t / "out"); });
        canceller.join();
        EXPECT_EQ(message, "Extraction cancelled.");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
        ASSERT_FALSE(log_lines(log).empty());
        const DWORD pid = std::stoul(log_lines(log)[0]);
        const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process) {  // still known: it must have ended, with exit code 1
            EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            EXPECT_EQ(code, 1u);
            CloseHandle(process);
        }
        EXPECT_FALSE(fs::exists(t / "out/a.txt"));

        // Already cancelled: no extractor is started at all.
        fs::remove(log);
        EXPECT_EQ(error_of([&] { extract_zip(zip, t / "out"); }), cancelled_at_checkpoint_text);
        EXPECT_FALSE(fs::exists(log));
    }
    reset_run_state();

    // A pause does not stop a running extraction; it holds the caller after it.
    fs::remove(log);
    const scoped_environment slow(L"ORVEK_TEST_SLOW_EXTRACT_MS", L"300");
    std::atomic<bool> returned = false;
    std::atomic<bool> held = false;
    std::thread pauser([&] {
        eventually([&] { return log_lines(log).size() >= 2; });
        {
            const std::lock_guard lock(state_mutex);
            paused = true;
        }
        eventually([&] { return fs::exists(t / "out/a.txt"); });
        std::this_thread::sleep_for(500ms);
        held = !returned;
        {
            const std::lock_guard lock(state_mutex);
            paused = false;
        }
        state_changed.notify_all();
    });
    extract_zip(zip, t / "out");
    returned = true;
    pauser.join();
    EXPECT_TRUE(held);
    EXPECT_EQ(read_file(t / "out/a.txt"), "a");
    reset_run_state();
}

TEST(zip_and_game, the_game_runs_only_from_its_own_installation)
{
    temp_dir t("game");
    const fs::path install = t / "install";
    const fs::path other = t / "other";
    fs::create_directories(install);
    fs::create_directories(other);
    fs::copy_file(standin_path(L"orvek.exe"), install / "orvek.exe");
    fs::copy_file(standin_path(L"orvek.exe"), other / "orvek.exe");
    const auto stop_game = [](const fs::path& folder) {
        write_file(folder / "orvek-exit", "");
        return eventually([&] { return !is_game_running(folder); });
    };

    EXPECT_FALSE(is_game_running(install));
    launch_game(install);
    EXPECT_EQ(read_file(install / "orvek.launch"), "ok");
    ASSERT_TRUE(eventually([&] { return fs::exists(install / "orvek-started.txt"); }));
    EXPECT_EQ(read_file(install / "orvek-started.txt"), "--orvek-updater-launch\n" + path_to_utf8(install) + "\n");
    EXPECT_TRUE(is_game_running(install));
    EXPECT_FALSE(is_game_running(other));
    EXPECT_TRUE(stop_game(install));

    // Started from another folder: not this installation's game.
    start_process(other / "orvek.exe", L"\"" + (other / "orvek.exe").native() + L"\"", other);
    ASSERT_TRUE(eventually([&] { return fs::exists(other / "orvek-started.txt"); }));
    EXPECT_TRUE(is_game_running(other));
    EXPECT_FALSE(is_game_running(install));
    EXPECT_TRUE(stop_game(other));

    // The file name's letter case does not matter.
    const fs::path shouting = t / "shouting";
    fs::create_directories(shouting);
    fs::copy_file(standin_path(L"orvek.exe"), shouting / "ORVEK.EXE");
    launch_game(shouting);
    ASSERT_TRUE(eventually([&] { return fs::exists(shouting / "orvek-started.txt"); }));
    EXPECT_TRUE(is_game_running(shouting));
    EXPECT_TRUE(stop_game(shouting));
}

TEST(zip_and_game, a_failed_start_leaves_no_launch_marker)
{
    temp_dir t("game");
    fs::create_directories(t / "empty");
    EXPECT_EQ(error_of([&] { launch_game(t / "empty"); }), "Could not start Orvek.");
    EXPECT_FALSE(fs::exists(t / "empty/orvek.launch"));

    // A marker that cannot be written stops the launch before the start.
    fs::create_directories(t / "blocked/orvek.launch");
    fs::copy_file(standin_path(L"orvek.exe"), t / "blocked/orvek.exe");
    EXPECT_EQ(error_of([&] { launch_game(t / "blocked"); }), "Could not safely replace an update metadata file.");
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(fs::exists(t / "blocked/orvek-started.txt"));
}

}  // namespace
}  // namespace orvek::test
