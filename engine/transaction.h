#pragma once

// Transactional installation: a staged tree is moved into an install root file
// by file; each replaced file is first copied into a transaction folder whose
// journal lists every touched file before it is touched, so a failure or a
// crash can always be rolled back.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvek {

inline constexpr wchar_t transaction_journal_name[] = L"transaction.journal";
inline constexpr char transaction_journal_magic[] = "ORVEK-TRANSACTION-1";
inline constexpr std::uintmax_t max_journal_bytes = 16'777'216;
// The transaction folder of the client release and the language files, in
// the installation folder.
inline constexpr wchar_t client_rollback_name[] = L".orvek-client-rollback";
// The transaction folder of the sound data, in the data folder.
inline constexpr wchar_t sound_rollback_name[] = L".orvek-sound-rollback";
// Where a rollback makes the second names of backups, in a transaction folder.
inline constexpr wchar_t restore_folder_name[] = L".orvek-restore";
// In the installation folder while a committed update's backups are
// discarded: the next run then discards them too instead of rolling back.
inline constexpr wchar_t commit_marker_name[] = L".orvek-update-committed";

// The journal of the transaction kept in `transaction`.
std::filesystem::path transaction_journal_path(const std::filesystem::path& transaction);
// The second name of a backup through which a rollback puts the file at
// `relative` (to the install root) back.
std::filesystem::path restore_path(const std::filesystem::path& transaction, const std::filesystem::path& relative);

struct install_record {
    std::filesystem::path target;  // install root / relative path
    std::filesystem::path backup;  // transaction folder / relative path
    bool had_original = false;     // target was a regular file and was copied to backup
};

// Moves every regular file of `staged` into `root` (files equal to the
// installed ones stay in the stage). On failure everything is rolled back.
std::vector<install_record> install_staged_tree(const std::filesystem::path& staged,
                                                const std::filesystem::path& root,
                                                const std::filesystem::path& transaction);

// Undoes the records, last first; throws one error listing every failure.
void rollback_install(const std::vector<install_record>& records,
                      const std::filesystem::path& transaction);

// Rolls back what an interrupted transaction left, if a journal exists.
void recover_transaction(const std::filesystem::path& root, const std::filesystem::path& transaction);

void write_transaction_journal(const std::vector<install_record>& records,
                               const std::filesystem::path& root,
                               const std::filesystem::path& transaction);

// Deletes a file as one more step of a transaction: its backup and journal
// record come first, so a rollback puts it back. Returns the error of the
// deletion itself (none for a file that is not there); other failures throw.
std::error_code remove_in_transaction(std::vector<install_record>& records, const std::filesystem::path& file,
                                      const std::filesystem::path& root, const std::filesystem::path& transaction);

// Deletes the journal first, then the folder; returns the entries removed.
std::uintmax_t discard_rollback_directory(const std::filesystem::path& folder);

// Both regular files with equal size and bytes; false on any error.
bool files_equal(const std::filesystem::path& a, const std::filesystem::path& b);

// The one rule for installation-relative UTF-8 paths read from or written to
// the updater's own files. Besides ".orvek-" names it refuses, in any letter
// case, the names of the updater's own folders and files in an installation,
// and device names.
std::filesystem::path checked_transaction_path(std::string_view utf8);

// True for a name that Windows opens as a device whatever folder it lies in:
// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1..COM9, LPT1..LPT9 (also with the
// digits written as superscripts), in any letter case and with any extension.
bool is_device_name(std::string_view utf8_name);

// What the file system said of a path itself; `unknown` when the query failed
// for another reason than the path's absence.
enum class path_state { absent, file, directory, unknown };

// Throws when any existing prefix of `path` is a reparse point. Returns what
// the last query saw of the path itself, so that a caller need not ask again
// (under Wine each lookup of an absent name reads its whole folder).
path_state refuse_reparse_points(const std::filesystem::path& path);

// A path as UTF-8 text (ill-formed UTF-16 becomes U+FFFD).
std::string path_to_utf8(const std::filesystem::path& path);

// `file` relative to `base`, lexically, in UTF-8 with "/" separators.
std::string relative_utf8(const std::filesystem::path& file, const std::filesystem::path& base);

}  // namespace orvek
