#include "engine/transaction.h"
#include "engine/win_handle.h"

#include "standins/file_tree.h"
#include "support/child_process.h"
#include "support/directory_link.h"
#include "support/import_patch.h"
#include "support/standin_path.h"
#include "support/temp_dir.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <future>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

constexpr char link_refused[] = "Updater refuses a symbolic link or junction in an installation path.";
constexpr char restored_prefix[] = "Client installation failed; the previous files were restored. Cause: ";
constexpr char incomplete_prefix[] =
    "Client installation failed and rollback was incomplete; do not launch the game. Recovery files retained at: ";

void write_tree(const fs::path& folder, const file_tree& files)
{
    for (const auto& [name, bytes] : files) write_file(folder / name, bytes);
}

// The staged files in the order the install will visit them.
std::vector<std::string> walk_order(const fs::path& stage)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(stage)) {
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(stage).generic_string());
    }
    return names;
}

TEST(transaction, installs_changed_files_keeps_equal_ones_staged_and_can_be_undone)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path stage = t / "stage";
    const fs::path transaction = root / ".orvek-client-rollback";
    write_tree(root, {{"same.txt", "same"}, {"lib/old.dll", "old"}, {"untouched.txt", "u"}});
    write_tree(stage, {{"same.txt", "same"}, {"lib/old.dll", "new!"}, {"lib/new.dll", "fresh"}, {"deep/er/x.txt", "x"}});

    const auto records = install_staged_tree(stage, root, transaction);

    ASSERT_EQ(records.size(), 3u);
    std::string expected_journal = "ORVEK-TRANSACTION-1\n";
    for (const auto& record : records) {
        const std::string relative = record.target.lexically_relative(root).generic_string();
        EXPECT_EQ(record.backup, transaction / relative);
        EXPECT_EQ(record.had_original, relative == "lib/old.dll") << relative;
        expected_journal += (record.had_original ? "1\t" : "0\t") + relative + "\n";
    }
    EXPECT_EQ(read_file(transaction / "transaction.journal"), expected_journal);
    EXPECT_EQ(read_tree(root, L".orvek-client-rollback"),
              (file_tree{{"same.txt", "same"}, {"lib/old.dll", "new!"}, {"lib/new.dll", "fresh"},
                         {"deep/er/x.txt", "x"}, {"untouched.txt", "u"}}));
    EXPECT_EQ(read_tree(stage), (file_tree{{"same.txt", "same"}})) << "equal files stay staged, the rest is moved";
    EXPECT_EQ(read_file(transaction / "lib/old.dll"), "old");

    // A journal found later is rolled back: through a hard link to the backup.
    recover_transaction(root, transaction);
    EXPECT_EQ(read_tree(root, L".orvek-client-rollback"),
              (file_tree{{"same.txt", "same"}, {"lib/old.dll", "old"}, {"untouched.txt", "u"}}));
    EXPECT_FALSE(fs::exists(transaction / "transaction.journal"));
    EXPECT_TRUE(fs::equivalent(root / "lib/old.dll", transaction / "lib/old.dll"));
    recover_transaction(root, transaction);  // no journal: nothing to do

    EXPECT_GT(discard_rollback_directory(transaction), 0u);
    EXPECT_FALSE(fs::exists(transaction));
    EXPECT_EQ(read_file(root / "lib/old.dll"), "old");
    EXPECT_EQ(discard_rollback_directory(transaction), 0u);

    // Nothing to install: no record, no journal.
    fs::create_directories(t / "empty-stage/only/folders");
    EXPECT_TRUE(install_staged_tree(t / "empty-stage", root, transaction).empty());
    EXPECT_FALSE(fs::exists(transaction / "transaction.journal"));

    // An earlier run's journal is rolled back before a new transaction starts.
    write_file(root / "left-behind.txt", "from a crashed run");
    write_file(transaction / "transaction.journal", "ORVEK-TRANSACTION-1\n0\tleft-behind.txt");
    write_tree(t / "stage2", {{"lib/new.dll", "fresh"}});
    const auto second = install_staged_tree(t / "stage2", root, transaction);
    EXPECT_FALSE(fs::exists(root / "left-behind.txt"));
    EXPECT_EQ(read_file(transaction / "transaction.journal"), "ORVEK-TRANSACTION-1\n0\tlib/new.dll\n");
    rollback_install(second, transaction);
    EXPECT_FALSE(fs::exists(root / "lib/new.dll"));
}

TEST(transaction, a_failed_move_restores_the_files_installed_before_it)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path stage = t / "stage";
    const fs::path transaction = root / ".orvek-client-rollback";
    write_tree(stage, {{"a.bin", "new a"}, {"b.bin", "new b"}, {"c.bin", "new c"}, {"d.bin", "new d"}, {"e.bin", "new e"}});
    const auto order = walk_order(stage);
    ASSERT_EQ(order.size(), 5u);
    // The first is new, the second replaces a file; the third cannot be
    // moved because a folder holds its place.
    write_tree(root, {{order[1], "old second"}, {order[3], "old fourth"}, {order[2] + "/inside.txt", "keep"}});

    const std::string message = error_of([&] { install_staged_tree(stage, root, transaction); });

    const std::string cause = "Could not atomically install " + path_to_utf8(root / order[2]) + " (Windows error ";
    EXPECT_EQ(message.rfind(restored_prefix + cause, 0), 0u) << message;
    EXPECT_TRUE(message.ends_with(").")) << message;
    EXPECT_EQ(read_tree(root, L".orvek-client-rollback"),
              (file_tree{{order[1], "old second"}, {order[3], "old fourth"}, {order[2] + "/inside.txt", "keep"}}))
        << "the folder that was in the way survives the rollback";
    EXPECT_FALSE(fs::exists(transaction / "transaction.journal"));
    EXPECT_EQ(walk_order(stage), (std::vector<std::string>{order[2], order[3], order[4]}));
}

bool is_read_only(const fs::path& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

BOOL WINAPI no_hard_links(const wchar_t*, const wchar_t*, SECURITY_ATTRIBUTES*)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

struct killed {};  // no std::exception: the install cannot catch it, as with a kill
decltype(&MoveFileExW) real_move = nullptr;

BOOL WINAPI killed_at_journal_replace(const wchar_t* from, const wchar_t* to, DWORD flags)
{
    if (fs::path(to).filename() == L"transaction.journal") throw killed{};
    return real_move(from, to, flags);
}

TEST(transaction, read_only_files_never_block_a_later_install)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path transaction = root / ".orvek-client-rollback";
    const auto set_read_only = [](const fs::path& file) {
        SetFileAttributesW(file.c_str(), GetFileAttributesW(file.c_str()) | FILE_ATTRIBUTE_READONLY);
    };
    write_tree(root, {{"lib/ro.dll", "old"}});
    set_read_only(root / "lib/ro.dll");
    for (int round = 0; round < 3; ++round) {
        // Each round meets the backup of the one before; the last a read-only
        // one, as earlier versions left them.
        if (round == 2) set_read_only(transaction / "lib/ro.dll");
        write_tree(t / "stage", {{"lib/ro.dll", "new"}});
        const auto records = install_staged_tree(t / "stage", root, transaction);
        EXPECT_EQ(read_file(root / "lib/ro.dll"), "new") << round;
        rollback_install(records, transaction);
        EXPECT_EQ(read_file(root / "lib/ro.dll"), "old") << round;
        EXPECT_TRUE(is_read_only(root / "lib/ro.dll")) << round;
    }
    // Removed inside a transaction, it comes back with the next run's recovery,
    // whose journal is read-only too.
    std::vector<install_record> records;
    EXPECT_EQ(remove_in_transaction(records, root / "lib/ro.dll", root, transaction), std::error_code());
    EXPECT_FALSE(fs::exists(root / "lib/ro.dll"));
    set_read_only(transaction / "transaction.journal");
    recover_transaction(root, transaction);
    EXPECT_EQ(read_file(root / "lib/ro.dll"), "old");
    EXPECT_TRUE(is_read_only(root / "lib/ro.dll"));
    EXPECT_FALSE(fs::exists(transaction / "transaction.journal"));
    // One the transaction has replaced keeps the backup of the original.
    write_tree(t / "stage", {{"lib/ro.dll", "new"}});
    records = install_staged_tree(t / "stage", root, transaction);
    remove_in_transaction(records, root / "lib/ro.dll", root, transaction);
    rollback_install(records, transaction);
    EXPECT_EQ(read_file(root / "lib/ro.dll"), "old");
    EXPECT_GT(discard_rollback_directory(transaction), 0u);
    EXPECT_EQ(read_file(root / "lib/ro.dll"), "old");
    // A program that holds it sharing only reading refuses the move, after
    // the install cleared the attribute; the rollback puts that back too.
    write_tree(t / "stage", {{"lib/ro.dll", "new"}});
    win_handle holder(CreateFileW((root / "lib/ro.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, /*security*/ nullptr,
                                  OPEN_EXISTING, /*flags*/ 0, /*template*/ nullptr));
    const std::string refused = error_of([&] { install_staged_tree(t / "stage", root, transaction); });
    EXPECT_EQ(refused.rfind(restored_prefix + std::string("Could not atomically install "), 0), 0u) << refused;
    holder.reset();
    EXPECT_EQ(read_file(root / "lib/ro.dll"), "old");
    EXPECT_TRUE(is_read_only(root / "lib/ro.dll"));
    // Killed while the journal that would name it is replaced: the next
    // run's recovery finds it as it was, attribute included.
    write_tree(t / "stage", {{"lib/ro.dll", "new"}});
    {
        const import_patch<decltype(&MoveFileExW)> kill(&MoveFileExW, &killed_at_journal_replace);
        real_move = kill.real();
        EXPECT_THROW(install_staged_tree(t / "stage", root, transaction), killed);
    }
    recover_transaction(root, transaction);
    EXPECT_EQ(read_file(root / "lib/ro.dll"), "old");
    EXPECT_TRUE(is_read_only(root / "lib/ro.dll"));
}

// A removal either ends with the file gone and its backup journaled, so a
// rollback brings it back as it was, or it changes nothing at all.
TEST(transaction, a_removal_is_undone_whole_or_changes_nothing)
{
    const struct {
        const char* name;
        bool read_only;
        int held;  // the share mode of another program's handle, -1 for none
        bool journal_blocked, no_links;
        const char* refused;  // "" when the file goes, "*" for any error code
    } rows[] = {
        {"plain", false, -1, false, false, ""},
        {"read-only", true, -1, false, false, ""},
        {"read-only, copied", true, -1, false, true, ""},
        {"held unshared", false, 0, false, false, "*"},
        {"held by a writer that shares all", false, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, false, ""},
        {"journal not written", false, -1, true, false, "Could not write a temporary update file."},
        {"journal not written, copied", true, -1, true, true, "Could not write a temporary update file."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        temp_dir t("transaction");
        const fs::path root = t / "root";
        const fs::path transaction = root / ".orvek-client-rollback";
        const fs::path gone = root / "lib/gone.dll";
        write_tree(root, {{"lib/gone.dll", "gone"}});
        write_tree(t / "stage", {{"lib/new.dll", "new"}});
        auto records = install_staged_tree(t / "stage", root, transaction);
        const std::string journal = read_file(transaction / "transaction.journal");
        if (row.read_only) SetFileAttributesW(gone.c_str(), FILE_ATTRIBUTE_READONLY);
        win_handle holder(row.held < 0 ? nullptr
                                       : CreateFileW(gone.c_str(), GENERIC_READ | GENERIC_WRITE, row.held,
                                                     /*security*/ nullptr, OPEN_EXISTING, /*flags*/ 0,
                                                     /*template*/ nullptr));
        if (row.journal_blocked)
            fs::create_directories(transaction / ("transaction.journal.tmp." + std::to_string(GetCurrentProcessId())));
        std::optional<import_patch<decltype(&CreateHardLinkW)>> links;
        if (row.no_links) links.emplace(&CreateHardLinkW, &no_hard_links);

        std::error_code error;
        const std::string thrown = error_of([&] { error = remove_in_transaction(records, gone, root, transaction); });
        holder.reset();
        if (*row.refused) {
            EXPECT_EQ(*row.refused == '*' ? (error ? "*" : "") : thrown, row.refused);
            EXPECT_EQ(read_file(gone), "gone");
            EXPECT_EQ(records.size(), 1u);
            EXPECT_EQ(read_file(transaction / "transaction.journal"), journal);
            EXPECT_FALSE(fs::exists(transaction / "lib/gone.dll")) << "a backup of what stays";
            continue;
        }
        ASSERT_EQ(thrown, "");
        EXPECT_FALSE(error) << error.message();
        EXPECT_FALSE(fs::exists(gone));
        EXPECT_EQ(read_file(transaction / "transaction.journal"), journal + "1\tlib/gone.dll\n");
        rollback_install(records, transaction);
        EXPECT_EQ(read_file(gone), "gone");
        EXPECT_EQ(is_read_only(gone), row.read_only);
        // Other names of the file keep its attribute when the folder goes.
        discard_rollback_directory(transaction);
        EXPECT_EQ(is_read_only(gone), row.read_only);
        SetFileAttributesW(gone.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(transaction, a_short_name_never_leads_into_the_transaction_folder)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path transaction = root / ".orvek-client-rollback";
    fs::create_directories(transaction);
    std::wstring short_path(MAX_PATH, L'\0');
    short_path.resize(GetShortPathNameW(transaction.c_str(), short_path.data(), MAX_PATH));
    const std::string alias = path_to_utf8(fs::path(short_path).filename());
    ASSERT_NE(alias, ".orvek-client-rollback") << "the file system gives no short names";

    write_tree(t / "stage", {{alias + "/orvek.exe", "planted"}});
    EXPECT_EQ(error_of([&] { install_staged_tree(t / "stage", root, transaction); }),
              restored_prefix + std::string("Reserved updater transaction path."));
    EXPECT_FALSE(fs::exists(transaction / "orvek.exe"));

    write_file(transaction / "backup.bin", "kept");
    write_file(transaction / "transaction.journal", "ORVEK-TRANSACTION-1\n0\t" + alias + "/backup.bin\n");
    EXPECT_EQ(error_of([&] { recover_transaction(root, transaction); }), "Reserved updater transaction path.");
    EXPECT_EQ(read_file(transaction / "backup.bin"), "kept");
}

// Every FlushFileBuffers of this program while a flush_recorder lives: the
// file, and the journal at that moment.
std::vector<std::pair<fs::path, std::string>> flushes;
fs::path flushes_journal;
decltype(&FlushFileBuffers) real_flush = nullptr;  // calls by name would come back here

BOOL WINAPI recording_flush(HANDLE file)
{
    std::wstring name(32'768, L'\0');
    name.resize(GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), /*flags*/ 0));
    if (name.starts_with(L"\\\\?\\")) name.erase(0, 4);
    flushes.emplace_back(name, fs::exists(flushes_journal) ? read_file(flushes_journal) : "");
    return real_flush(file);
}

struct flush_recorder : import_patch<decltype(&FlushFileBuffers)> {
    flush_recorder() : import_patch(&FlushFileBuffers, &recording_flush) { real_flush = real(); }
};

// A power cut must never leave a journal naming a backup that is not on the disk.
TEST(transaction, each_backup_is_forced_to_disk_before_a_journal_names_it)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path transaction = root / ".orvek-client-rollback";
    write_tree(root, {{"a.dat", "old a"}, {"lib/b.dll", "old b"}});
    write_tree(t / "stage", {{"a.dat", "new a"}, {"lib/b.dll", "new b"}, {"lib/c.dll", "new c"}});
    flushes.clear();
    flushes_journal = transaction / "transaction.journal";
    std::vector<install_record> records;
    {
        const flush_recorder recorder;
        records = install_staged_tree(t / "stage", root, transaction);
    }
    ASSERT_FALSE(flushes.empty()) << "the journal is flushed, so the recorder must see that";
    for (const auto& record : records) {
        if (!record.had_original) continue;
        const std::string line = "1\t" + relative_utf8(record.target, root) + "\n";
        const auto flushed = std::find_if(flushes.begin(), flushes.end(), [&](const auto& flush) {
            std::error_code error;
            return fs::equivalent(flush.first, record.backup, error);
        });
        ASSERT_NE(flushed, flushes.end()) << "backup never forced to disk: " << line;
        EXPECT_EQ(flushed->second.find(line), std::string::npos) << "forced to disk too late: " << line;
    }
}

TEST(transaction, an_incomplete_rollback_lists_every_failure_and_keeps_the_journal)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path transaction = root / ".orvek-client-rollback";
    write_tree(root, {{"x.dat", "old x"}, {"y.dat", "old y"}});
    write_tree(t / "stage", {{"x.dat", "new x"}, {"y.dat", "new y"}, {"z.dat", "new z"}});
    const auto records = install_staged_tree(t / "stage", root, transaction);
    ASSERT_EQ(records.size(), 3u);

    // Backups gone and the new file held open: nothing can be undone.
    fs::rename(transaction / "x.dat", t / "x.saved");
    fs::rename(transaction / "y.dat", t / "y.saved");
    const HANDLE held = CreateFileW((root / "z.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, /*security*/ nullptr,
                                    OPEN_EXISTING, 0, /*template*/ nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string message = error_of([&] { recover_transaction(root, transaction); });
    CloseHandle(held);

    ASSERT_EQ(message.rfind(incomplete_prefix + path_to_utf8(transaction) + ". ", 0), 0u) << message;
    // Last record first, each failure in the list.
    std::size_t previous = 0;
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        const std::string piece =
            record->had_original
                ? "restore failed for " + path_to_utf8(record->target) + " from " + path_to_utf8(record->backup) +
                      " (Windows error "
                : "could not remove newly installed file " + path_to_utf8(record->target) + " (";
        const std::size_t found = message.find(piece);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << message;
        EXPECT_GT(found, previous);
        previous = found;
    }
    EXPECT_TRUE(fs::exists(transaction / "transaction.journal"));

    // The next attempt, with the backups back, finishes the job.
    fs::rename(t / "x.saved", transaction / "x.dat");
    fs::rename(t / "y.saved", transaction / "y.dat");
    recover_transaction(root, transaction);
    EXPECT_EQ(read_tree(root, L".orvek-client-rollback"), (file_tree{{"x.dat", "old x"}, {"y.dat", "old y"}}));
    EXPECT_FALSE(fs::exists(transaction / "transaction.journal"));

    // A rollback that fails inside a failed install names both errors and
    // keeps the journal for the next run.
    const fs::path stage = t / "stage2";
    write_tree(stage, {{"p.dat", "new p"}, {"q.dat", "new q"}, {"r.dat", "new r"}});
    const auto order = walk_order(stage);
    write_tree(root, {{order[0], "old first"}, {order[1] + "/blocker", ""}});
    fs::remove_all(transaction / ".orvek-restore");
    write_file(transaction / ".orvek-restore", "a file where the restore folder goes");
    const std::string nested = error_of([&] { install_staged_tree(stage, root, transaction); });
    EXPECT_NE(nested.find(" Original installation error: Could not atomically install " + path_to_utf8(root / order[1])),
              std::string::npos)
        << nested;
    EXPECT_TRUE(fs::exists(transaction / "transaction.journal"));
    fs::remove(transaction / ".orvek-restore");
    recover_transaction(root, transaction);
    EXPECT_EQ(read_file(root / order[0]), "old first");
}

TEST(transaction, relative_paths_follow_the_one_rule)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Invalid transaction path."},
        {"C:/Windows/x.dll", "Invalid transaction path."},
        {"C:x.dll", "Invalid transaction path."},
        {"/x.dll", "Invalid transaction path."},
        {"\\x.dll", "Invalid transaction path."},
        {"//server/share/x", "Invalid transaction path."},
        {".orvek-client-rollback/x", "Reserved updater transaction path."},
        {"data/transaction.journal", "Reserved updater transaction path."},
        {".orvek-x/..", "Reserved updater transaction path."},  // first failing component decides
        {"../.orvek-x", "Unsafe transaction path."},
        {"a/../b", "Unsafe transaction path."},
        {"a/./b", "Unsafe transaction path."},
        {".", "Unsafe transaction path."},
        {"a/", "Unsafe transaction path."},
        {"a//b", "Unsafe transaction path."},
        {"name.", "Unsafe transaction path."},
        {"name ", "Unsafe transaction path."},
        {"a:b", "Invalid transaction path."},  // a drive-relative root name
        {"dir/a:b", "Unsafe transaction path."},
        {"1:b", "Unsafe transaction path."},  // no drive letter, no root name
        {"\xc3\xa9:/b", "Unsafe transaction path."},
        // The file system matches these names in any letter case.
        {".ORVEK-CLIENT-ROLLBACK/orvek.exe", "Reserved updater transaction path."},
        {"data/.Orvek-Sound-Rollback/a", "Reserved updater transaction path."},
        {".orvek-RESTORE/x", "Reserved updater transaction path."},
        {".Orvek-Update-Committed", "Reserved updater transaction path."},
        {"Transaction.Journal", "Reserved updater transaction path."},
        // Devices, in any folder, case and with any extension.
        {"CON", "Unsafe transaction path."},
        {"data/NUL", "Unsafe transaction path."},
        {"aux.txt", "Unsafe transaction path."},
        {"lib/COM1.dll", "Unsafe transaction path."},
        {"lpt9.a.b/x", "Unsafe transaction path."},
        {"CONIN$", "Unsafe transaction path."},
        {"conout$.log", "Unsafe transaction path."},
        {"prn .txt", "Unsafe transaction path."},
        {"Com\xc2\xb9", "Unsafe transaction path."},
        {"a\tb", "Unsafe transaction path."},
        {"a\rb", "Unsafe transaction path."},
        {std::string("a\0b", 3), "Unsafe transaction path."},
        {"\xff\xfe", "Invalid transaction path."},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(error_of([&] { checked_transaction_path(text); }), expected) << "path: " << text;
    }
    EXPECT_EQ(checked_transaction_path(".Orvek-Cache/x.dll"), fs::path(L".Orvek-Cache/x.dll"));
    for (const char* text : {".ORVEK-CLIENT-ROLLBACKS/x", "transaction.journal2", "COM0", "com10.dll", "LPT", "console",
                             "nul_x", "x.con", "Com\xc2\xb4"}) {
        EXPECT_NO_THROW(checked_transaction_path(text)) << "path: " << text;
    }
    EXPECT_EQ(checked_transaction_path("sounds/\xc3\xa9t\xc3\xa9.ogg"), fs::path(L"sounds/\u00e9t\u00e9.ogg"));

    temp_dir t("transaction");
    EXPECT_EQ(error_of([&] { write_transaction_journal({{t / "outside.txt", t / "b", false}}, t / "root", t / "tx"); }),
              "Unsafe transaction path.");
    EXPECT_EQ(error_of([&] {
                  write_transaction_journal({{t / "root/.orvek-x/a", t / "b", false}}, t / "root", t / "tx");
              }),
              "Reserved updater transaction path.");
}

TEST(transaction, a_damaged_journal_is_refused_whole_and_kept)
{
    temp_dir t("transaction");
    const fs::path root = t / "root";
    const fs::path transaction = t / "tx";
    const fs::path journal = transaction / "transaction.journal";
    const std::string header = "ORVEK-TRANSACTION-1\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Invalid transaction journal; manual recovery required."},
        {"ORVEK-TRANSACTION-1\r\n0\tnew.txt\n", "Invalid transaction journal; manual recovery required."},
        {"ORVEK-TRANSACTION-2\n", "Invalid transaction journal; manual recovery required."},
        {header + "0\tnew.txt\n2\tx\n", "Invalid transaction record."},
        {header + "0\tnew.txt\n0 x\n", "Invalid transaction record."},
        {header + "0\tnew.txt\n\n", "Invalid transaction record."},
        {header + "0\tnew.txt\n0\t\n", "Invalid transaction record."},
        {header + "0\tnew.txt\r\n", "Unsafe transaction path."},
        {header + "0\tnew.txt\n0\t..\n", "Unsafe transaction path."},
        {header + "0\tnew.txt\n1\tC:\\Windows\\win.ini\n", "Invalid transaction path."},
        {header + "0\tnew.txt\n1\t.orvek-client-rollback/x\n", "Reserved updater transaction path."},
    };
    for (const auto& [content, expected] : cases) {
        write_file(root / "new.txt", "installed");
        write_file(journal, content);
        EXPECT_EQ(error_of([&] { recover_transaction(root, transaction); }), expected) << content;
        EXPECT_TRUE(fs::exists(root / "new.txt")) << "nothing is rolled back from a bad journal: " << content;
        EXPECT_EQ(read_file(journal), content);
    }

    // Bounded at 16 MiB: exactly that much is read (and refused for its
    // content), one byte more is refused for its size.
    std::string big = header + std::string(16'777'216 - header.size(), '9');
    write_file(journal, big);
    EXPECT_EQ(error_of([&] { recover_transaction(root, transaction); }), "Invalid transaction record.");
    big += '9';
    write_file(journal, big);
    EXPECT_EQ(error_of([&] { recover_transaction(root, transaction); }),
              "Transaction journal is too large; manual recovery required.");

    // A header alone is simply removed; a last line without LF still counts.
    write_file(journal, header);
    recover_transaction(root, transaction);
    EXPECT_FALSE(fs::exists(journal));
    EXPECT_TRUE(fs::exists(root / "new.txt"));
    write_file(journal, header + "0\tnew.txt");
    recover_transaction(root, transaction);
    EXPECT_FALSE(fs::exists(root / "new.txt"));
    EXPECT_FALSE(fs::exists(journal));
}

TEST(transaction, links_are_refused_on_every_path)
{
    temp_dir t("transaction");
    const fs::path real = t / "real";
    write_file(real / "inside/precious.txt", "keep");
    const directory_link link(t / "link", real);

    EXPECT_EQ(error_of([&] { refuse_reparse_points(t / "link"); }), link_refused);
    EXPECT_EQ(error_of([&] { refuse_reparse_points(t / "link/inside/precious.txt"); }), link_refused);
    EXPECT_EQ(error_of([&] { refuse_reparse_points(t / "link/not/yet/there"); }), link_refused);
    EXPECT_NO_THROW(refuse_reparse_points(real / "not/yet/there"));
    // What the last lookup saw, so callers need not look again.
    EXPECT_EQ(refuse_reparse_points(real / "not/yet/there"), path_state::absent);
    EXPECT_EQ(refuse_reparse_points(real / "inside"), path_state::directory);
    EXPECT_EQ(refuse_reparse_points(real / "inside/precious.txt"), path_state::file);

    write_tree(t / "stage", {{"inside/new.txt", "new"}});
    EXPECT_EQ(error_of([&] { install_staged_tree(t / "stage", t / "link", t / "tx"); }), link_refused);
    EXPECT_EQ(error_of([&] { install_staged_tree(t / "stage", real, t / "link/tx"); }), link_refused);
    EXPECT_EQ(error_of([&] { recover_transaction(real, t / "link"); }), link_refused);
    EXPECT_EQ(error_of([&] { discard_rollback_directory(t / "link"); }), link_refused);

    // A link inside the installation: the staged file never goes through it.
    const fs::path root = t / "root";
    fs::create_directories(root);
    const directory_link inner(root / "inside", real / "inside");
    EXPECT_EQ(error_of([&] { install_staged_tree(t / "stage", root, root / ".orvek-client-rollback"); }),
              restored_prefix + std::string(link_refused));
    EXPECT_FALSE(fs::exists(real / "inside/new.txt"));

    // Nor does a journal record.
    write_file(t / "tx/transaction.journal", "ORVEK-TRANSACTION-1\n0\tinside/precious.txt\n");
    EXPECT_EQ(error_of([&] { recover_transaction(root, t / "tx"); }), link_refused);
    EXPECT_EQ(read_file(real / "inside/precious.txt"), "keep");

    // Discarding a transaction folder never follows a link inside it (Wine
    // cannot remove the link itself and reports that; Windows removes it).
    write_file(t / "tx2/backup.txt", "b");
    const directory_link planted(t / "tx2/planted", real);
    try {
        discard_rollback_directory(t / "tx2");
    } catch (const std::exception&) {
    }
    EXPECT_EQ(read_file(real / "inside/precious.txt"), "keep");
}

// One crash worker: its own installation, and a child that installs and
// rolls back in a loop and is killed at random moments. Returns "" or what
// went wrong.
struct crash_result {
    std::string failure;
    int open_transactions = 0;
    long long cycle_ms = 0;
};

crash_result run_crash_worker(unsigned seed, int worker, int kills)
{
    std::mt19937 random(seed + static_cast<unsigned>(worker));
    temp_dir work("crash");
    const auto bytes = [&](std::size_t size) {
        std::string text(size, '\0');
        for (auto& c : text) c = static_cast<char>(random());
        return text;
    };
    file_tree before;
    file_tree staged;
    for (int i = 0; i < 150; ++i) {
        // Appended piece by piece: GCC 12 warns falsely on "d" + std::to_string(...).
        std::string name("d");
        name.append(std::to_string(i % 6)).append("/s").append(std::to_string(i % 4));
        name.append("/f").append(std::to_string(i)).append(".bin");
        before[name] = bytes(1 + random() % 2000);
        switch (i % 6) {
        case 0: staged[name] = before[name]; break;                                           // equal
        case 1: staged[name] = bytes(1 + random() % 2000); break;                            // replaced
        case 2: staged[name] = before[name].substr(0, before[name].size() - 1) + "!"; break;  // same size
        default: break;                                                                       // untouched
        }
    }
    // Larger than one comparison chunk, differing only at the end.
    before["big/archive.pak"] = bytes(300'000);
    staged["big/archive.pak"] = before["big/archive.pak"].substr(0, 299'999) + "#";
    for (int i = 0; i < 25; ++i) staged["new" + std::to_string(i % 3) + "/n" + std::to_string(i) + ".dat"] = bytes(1 + random() % 500);
    file_tree after = before;
    for (const auto& [name, content] : staged) after[name] = content;
    write_tree(work / "root", before);
    write_tree(work / "template", staged);
    save_digest(work / "before.digest", digest_of(before));
    save_digest(work / "after.digest", digest_of(after));

    const fs::path child = standin_path(L"transaction-crash-child.exe");
    const fs::path failure = work / "failure.txt";
    const std::wstring event_name = L"orvek-crash-ready-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(worker);
    const win_handle ready(CreateEventW(/*security*/ nullptr, /*manual reset*/ FALSE, FALSE, event_name.c_str()));
    crash_result result;
    const auto failure_text = [&] { return fs::exists(failure) ? read_file(failure) : std::string(); };
    // Starts the child and returns once it is past its start-up (or ended).
    const auto start_child = [&](int cycles) {
        win_handle process = start_process(child, L"\"" + child.native() + L"\" \"" + work.path().native() + L"\" " +
                                                      std::to_wstring(cycles) + L" " + event_name);
        const HANDLE waits[] = {ready.get(), process.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, 60'000) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
            throw std::runtime_error("the crash child did not start within a minute");
        }
        return process;
    };
    const auto finish = [](const win_handle& process) {
        WaitForSingleObject(process.get(), INFINITE);
        DWORD exit_code = 0;
        GetExitCodeProcess(process.get(), &exit_code);
        return exit_code;
    };

    // Two undisturbed cycles: they must succeed, and tell how long a cycle lasts.
    const auto started = std::chrono::steady_clock::now();
    if (const DWORD exit_code = finish(start_child(2)); exit_code != 0) {
        result.failure = "undisturbed run, exit code " + std::to_string(exit_code) + ": " + failure_text();
        return result;
    }
    result.cycle_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count() / 2;

    std::uniform_int_distribution<long long> delay(0, std::max<long long>(result.cycle_ms * 5 / 4, 20));
    for (int kill = 0; kill < kills && result.failure.empty(); ++kill) {
        const win_handle process = start_child(1000);
        Sleep(static_cast<DWORD>(delay(random)));
        TerminateProcess(process.get(), 99);
        const DWORD exit_code = finish(process);
        if (const std::string text = failure_text(); !text.empty()) {
            result.failure = "kill " + std::to_string(kill) + ": " + text;
        } else if (exit_code != 99) {
            result.failure = "the child ended by itself, exit code " + std::to_string(exit_code) + ", before kill " +
                             std::to_string(kill);
        }
        if (fs::exists(work / "root/.orvek-client-rollback/transaction.journal")) ++result.open_transactions;
    }
    if (!result.failure.empty()) return result;

    recover_transaction(work / "root", work / "root/.orvek-client-rollback");
    const std::string final_state = tree_difference(before, read_tree(work / "root", L".orvek-client-rollback"));
    if (!final_state.empty()) result.failure = "final recovery: " + final_state;
    return result;
}

// Killed installs and rollbacks, with recovery after each: the installation
// must always come back exactly as it was.
TEST(transaction, an_install_or_rollback_killed_at_any_moment_is_recovered)
{
    const char* seed_text = std::getenv("ORVEK_TEST_SEED");
    const unsigned seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10)) : std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set ORVEK_TEST_SEED to repeat)");

    constexpr int workers = 4;
    constexpr int kills_per_worker = 55;
    std::vector<std::future<crash_result>> running;
    for (int worker = 0; worker < workers; ++worker) {
        // A worker's error is its failure, reported here under the seed.
        running.push_back(std::async(std::launch::async, [=] {
            crash_result result;
            try {
                result = run_crash_worker(seed, worker, kills_per_worker);
            } catch (const std::exception& error) {
                result.failure = error.what();
            }
            if (!result.failure.empty()) result.failure = "worker " + std::to_string(worker) + ": " + result.failure;
            return result;
        }));
    }
    int open_transactions = 0;
    for (auto& result : running) {
        const crash_result done = result.get();
        EXPECT_EQ(done.failure, "");
        open_transactions += done.open_transactions;
        std::printf("cycle %lld ms, %d of %d kills left an open transaction\n", done.cycle_ms, done.open_transactions,
                    kills_per_worker);
    }
    EXPECT_GT(open_transactions, workers * kills_per_worker / 4) << "the kills should mostly land in a transaction";
}

}  // namespace
}  // namespace orvek::test
