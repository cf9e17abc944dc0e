#include "engine/transaction.h"

#include "engine/own_file_removal.h"
#include "engine/run_state.h"
#include "engine/small_files.h"
#include "engine/updater_cache.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <stdexcept>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr char reparse_point_text[] = "Updater refuses a symbolic link or junction in an installation path.";
constexpr char reserved_prefix[] = ".orvek-";
constexpr char reserved_text[] = "Reserved updater transaction path.";
// Names the updater gives its own folders and files in an installation. The
// file system matches them in any letter case, so they are refused in any.
constexpr std::array<std::wstring_view, 6> reserved_names{client_rollback_name, sound_rollback_name,
                                                          restore_folder_name,  commit_marker_name,
                                                          old_package_cache_name, transaction_journal_name};
constexpr std::size_t compare_chunk = 262'144;

std::string windows_error_suffix(DWORD error)
{
    return " (Windows error " + std::to_string(error) + ")";
}

// The system's text for an error, without the line end it carries.
std::string error_text(const std::error_code& error)
{
    std::string text = error.message();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::wstring utf8_to_wide_strict(std::string_view utf8)
{
    if (utf8.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                           /*output*/ nullptr, 0);
    if (length <= 0) throw std::runtime_error("Invalid transaction path.");
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

bool is_reserved_component(std::string_view component)
{
    if (component.starts_with(reserved_prefix)) return true;
    const std::wstring wide = utf8_to_wide_strict(component);
    return std::any_of(reserved_names.begin(), reserved_names.end(), [&](std::wstring_view name) {
        return CompareStringOrdinal(wide.data(), static_cast<int>(wide.size()), name.data(),
                                    static_cast<int>(name.size()), /*ignore case*/ TRUE) == CSTR_EQUAL;
    });
}

bool is_unsafe_component(std::string_view component)
{
    if (component.empty() || component == "." || component == "..") return true;
    if (component.back() == '.' || component.back() == ' ') return true;
    if (is_device_name(component)) return true;
    // A NUL would cut the name short where Windows reads it.
    return component.find_first_of(std::string_view(":\r\n\t\0", 5)) != std::string_view::npos;
}

void prepare_backup_place(const fs::path& backup)
{
    fs::create_directories(backup.parent_path());
    remove_own_file(backup);
}

void force_backup_to_disk(const fs::path& target, bool flushed)
{
    if (!flushed) throw std::runtime_error("Could not force the backup of " + path_to_utf8(target) + " to disk.");
}

// The backup of a file about to be replaced: a copy, on the disk before a
// journal names it, with the original's attributes, so that a rollback puts
// the file back as it was.
void back_up(const fs::path& target, const fs::path& backup)
{
    prepare_backup_place(backup);
    fs::copy_file(target, backup);
    // A read-only file cannot be opened to be forced to disk.
    const bool read_only = clear_read_only(backup);
    const bool flushed = flush_to_disk(backup);
    if (read_only) set_read_only(backup);
    force_backup_to_disk(target, flushed);
}

// The backup of a file about to be removed, made while the handle that will
// delete it is open (whoever shares its deletion may still read and write
// it): a second name, which keeps the bytes and attributes without a copy,
// or where the file system has no links, a copy read through the handle.
void back_up_opened(HANDLE file, const fs::path& target, const fs::path& backup)
{
    if (CreateHardLinkW(backup.c_str(), target.c_str(), /*security*/ nullptr)) return;
    const auto copy_failed = [&] {
        return fs::filesystem_error("cannot copy file", target, backup,
                                    std::error_code(static_cast<int>(GetLastError()), std::system_category()));
    };
    const win_handle out(CreateFileW(backup.c_str(), GENERIC_WRITE, /*share*/ 0, /*security*/ nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
    if (!out) throw copy_failed();
    std::vector<char> chunk(compare_chunk);
    for (DWORD read = 0;; ) {
        if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, /*overlapped*/ nullptr))
            throw copy_failed();
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(out.get(), chunk.data(), read, &written, /*overlapped*/ nullptr) || written != read)
            throw copy_failed();
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) throw copy_failed();
    const bool flushed = FlushFileBuffers(out.get());
    // The times stay as the copy has them (zero leaves a time unchanged).
    FILE_BASIC_INFO attributes{};
    attributes.FileAttributes = basic.FileAttributes;
    if (!SetFileInformationByHandle(out.get(), FileBasicInfo, &attributes, sizeof attributes)) throw copy_failed();
    force_backup_to_disk(target, flushed);
}

// The file system also finds a file by its short (8.3) name, so a relative
// path that passed the rule can still lead into the transaction folder
// ("_ORV~WJJ/x"). The existing part of base / relative is tested again under
// the long names it really has.
void refuse_reserved_on_disk(const fs::path& base, const fs::path& relative, path_state state)
{
    const std::vector<fs::path> parts(relative.begin(), relative.end());
    const std::size_t longest = state == path_state::absent && !parts.empty() ? parts.size() - 1 : parts.size();
    for (std::size_t existing = longest; existing > 0; --existing) {
        fs::path prefix = base;
        for (std::size_t i = 0; i < existing; ++i) prefix /= parts[i];
        std::wstring long_name(MAX_PATH, L'\0');
        DWORD length = GetLongPathNameW(prefix.c_str(), long_name.data(), static_cast<DWORD>(long_name.size()));
        if (length >= long_name.size()) {
            long_name.resize(length);
            length = GetLongPathNameW(prefix.c_str(), long_name.data(), static_cast<DWORD>(long_name.size()));
        }
        if (length == 0 || length >= long_name.size()) continue;  // not there (yet): try a shorter prefix
        long_name.resize(length);
        const fs::path resolved(long_name);
        const std::vector<fs::path> names(resolved.begin(), resolved.end());
        for (std::size_t i = names.size() - std::min(existing, names.size()); i < names.size(); ++i) {
            if (is_reserved_component(path_to_utf8(names[i]))) throw std::runtime_error(reserved_text);
        }
        return;
    }
}

// base / relative, refused when it passes through a link or is, by its real
// names, one of the updater's own.
fs::path checked_location(const fs::path& base, const fs::path& relative, path_state& state)
{
    const fs::path location = base / relative;
    state = refuse_reparse_points(location);
    refuse_reserved_on_disk(base, relative, state);
    return location;
}

fs::path checked_location(const fs::path& base, const fs::path& relative)
{
    path_state ignored{};
    return checked_location(base, relative, ignored);
}

// The one file forced to disk before it replaces the old one: the moves that
// follow reach the disk at once, and after a power cut a journal that has its
// new name but not its bytes could neither list nor undo them.
void write_journal(const fs::path& transaction, std::string_view text)
{
    write_file_atomically(transaction_journal_path(transaction), text, disk_flush::forced);
}

std::string join(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

// One record's journal line, its path checked on the way.
void append_journal_line(std::string& text, const install_record& record, const fs::path& root)
{
    const std::string relative = relative_utf8(record.target, root);
    checked_transaction_path(relative);
    text += record.had_original ? '1' : '0';
    text += '\t';
    text += relative;
    text += '\n';
}

// Puts a replaced file back from its backup; an error text, or "" on success.
std::string restore_original(const install_record& record, const fs::path& transaction)
{
    if (files_equal(record.target, record.backup)) {
        // The install clears the attribute before its move; a move refused or
        // never made leaves the old bytes without it.
        const DWORD attributes = GetFileAttributesW(record.backup.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) set_read_only(record.target);
        return {};
    }
    const fs::path restore = restore_path(transaction, record.backup.lexically_relative(transaction));
    fs::create_directories(restore.parent_path());
    std::error_code ignored;
    remove_own_file(restore, ignored);
    // A second name of the backup, moved over the target, leaves the backup
    // itself in place for a later attempt.
    const bool staged = CreateHardLinkW(restore.c_str(), record.backup.c_str(), /*security*/ nullptr) ||
                        CopyFileW(record.backup.c_str(), restore.c_str(), /*fail if exists*/ FALSE);
    if (staged) {
        clear_read_only(record.target);
        if (MoveFileExW(restore.c_str(), record.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return {};
        }
    }
    const DWORD error = GetLastError();
    return "restore failed for " + path_to_utf8(record.target) + " from " + path_to_utf8(record.backup) +
           windows_error_suffix(error);
}

// Removes a file the transaction added; an error text, or "" on success.
std::string remove_added(const install_record& record)
{
    std::error_code error;
    const auto status = fs::symlink_status(record.target, error);
    if (error && error != std::errc::no_such_file_or_directory) {
        return "could not inspect newly installed file " + path_to_utf8(record.target) + " (" + error_text(error) + ")";
    }
    // Only files are ever installed: a folder at the target was there before.
    if (!fs::exists(status) || fs::is_directory(status)) return {};
    if (!remove_own_file(record.target, error) && error) {
        return "could not remove newly installed file " + path_to_utf8(record.target) + " (" + error_text(error) + ")";
    }
    return {};
}

}  // namespace

fs::path transaction_journal_path(const fs::path& transaction)
{
    return transaction / transaction_journal_name;
}

fs::path restore_path(const fs::path& transaction, const fs::path& relative)
{
    return transaction / restore_folder_name / relative;
}

std::string path_to_utf8(const fs::path& path)
{
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), /*output*/ nullptr, 0,
                                           /*default char*/ nullptr, /*used default*/ nullptr);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                            /*default char*/ nullptr, /*used default*/ nullptr);
    }
    return text;
}

std::string relative_utf8(const fs::path& file, const fs::path& base)
{
    return path_to_utf8(file.lexically_relative(base).generic_wstring());
}

bool is_device_name(std::string_view utf8_name)
{
    // Windows looks only at the name before the first dot, without the
    // spaces that end it.
    std::string_view base = utf8_name.substr(0, utf8_name.find('.'));
    while (base.ends_with(' ')) base.remove_suffix(1);
    std::string upper(base);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    static constexpr std::array<std::string_view, 6> devices{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(devices.begin(), devices.end(), upper) != devices.end()) return true;
    if (!upper.starts_with("COM") && !upper.starts_with("LPT")) return false;
    // COM0 and COM10 are ordinary names; the ports are 1..9, and 1..3 also as
    // superscript digits.
    const std::string_view port = std::string_view(upper).substr(3);
    return (port.size() == 1 && port[0] >= '1' && port[0] <= '9') || port == "\xc2\xb9" || port == "\xc2\xb2" ||
           port == "\xc2\xb3";
}

fs::path checked_transaction_path(std::string_view utf8)
{
    if (utf8.empty()) throw std::runtime_error("Invalid transaction path.");
    const fs::path path(utf8_to_wide_strict(utf8));
    // Only a drive letter makes "x:" a root name; "1:" is an unsafe component.
    const bool drive = utf8.size() >= 2 && utf8[1] == ':' && (utf8[0] | 0x20) >= 'a' && (utf8[0] | 0x20) <= 'z';
    if (drive || utf8.front() == '/' || utf8.front() == '\\') throw std::runtime_error("Invalid transaction path.");

    std::size_t start = 0;
    for (;;) {
        const std::size_t end = utf8.find_first_of("/\\", start);
        const std::string_view component = utf8.substr(start, end == std::string_view::npos ? end : end - start);
        if (is_reserved_component(component)) throw std::runtime_error(reserved_text);
        if (is_unsafe_component(component)) throw std::runtime_error("Unsafe transaction path.");
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return path;
}

path_state refuse_reparse_points(const fs::path& path)
{
    const fs::path full = fs::absolute(path);
    fs::path prefix;
    path_state last = path_state::unknown;
    const auto refuse_if_link = [&last](const fs::path& candidate) {
        const DWORD attributes = GetFileAttributesW(candidate.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            last = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? path_state::absent
                                                                                  : path_state::unknown;
            return;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) throw std::runtime_error(reparse_point_text);
        last = attributes & FILE_ATTRIBUTE_DIRECTORY ? path_state::directory : path_state::file;
    };
    if (full.has_root_name()) {
        prefix = full.root_name();
        refuse_if_link(prefix);
    }
    if (full.has_root_directory()) {
        prefix /= full.root_directory();
        refuse_if_link(prefix);
    }
    for (const auto& component : full.relative_path()) {
        if (component.empty()) continue;
        prefix /= component;
        refuse_if_link(prefix);
    }
    return last;
}

bool files_equal(const fs::path& a, const fs::path& b)
{
    std::error_code error;
    if (!fs::is_regular_file(a, error) || !fs::is_regular_file(b, error)) return false;
    const auto size_a = fs::file_size(a, error);
    if (error) return false;
    const auto size_b = fs::file_size(b, error);
    if (error || size_a != size_b) return false;

    std::ifstream in_a(a, std::ios::binary);
    std::ifstream in_b(b, std::ios::binary);
    if (!in_a || !in_b) return false;
    std::vector<char> chunk_a(compare_chunk);
    std::vector<char> chunk_b(compare_chunk);
    for (;;) {
        in_a.read(chunk_a.data(), static_cast<std::streamsize>(compare_chunk));
        in_b.read(chunk_b.data(), static_cast<std::streamsize>(compare_chunk));
        const auto got_a = in_a.gcount();
        const auto got_b = in_b.gcount();
        if (got_a != got_b || !std::equal(chunk_a.begin(), chunk_a.begin() + got_a, chunk_b.begin())) return false;
        if (in_a.bad() || in_b.bad()) return false;
        if (in_a.eof() || in_b.eof()) return in_a.eof() && in_b.eof();
    }
}

void write_transaction_journal(const std::vector<install_record>& records, const fs::path& root,
                               const fs::path& transaction)
{
    std::string text = std::string(transaction_journal_magic) + "\n";
    for (const auto& record : records) append_journal_line(text, record, root);
    write_journal(transaction, text);
}

void rollback_install(const std::vector<install_record>& records, const fs::path& transaction)
{
    std::vector<std::string> errors;
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        std::string error = record->had_original ? restore_original(*record, transaction) : remove_added(*record);
        if (!error.empty()) errors.push_back(std::move(error));
    }
    if (!errors.empty()) {
        throw std::runtime_error(
            "Client installation failed and rollback was incomplete; do not launch the game. Recovery files retained at: " +
            path_to_utf8(transaction) + ". " + join(errors, "; "));
    }
}

void recover_transaction(const fs::path& root, const fs::path& transaction)
{
    refuse_reparse_points(root);
    refuse_reparse_points(transaction);
    const fs::path journal = transaction_journal_path(transaction);
    if (!fs::exists(journal)) return;
    if (fs::file_size(journal) > max_journal_bytes) {
        throw std::runtime_error("Transaction journal is too large; manual recovery required.");
    }

    std::vector<install_record> records;
    {
        std::ifstream in(journal, std::ios::binary);
        std::string line;
        if (!in || !std::getline(in, line) || line != transaction_journal_magic) {
            throw std::runtime_error("Invalid transaction journal; manual recovery required.");
        }
        while (std::getline(in, line)) {
            if (line.size() < 3 || line[1] != '\t' || (line[0] != '0' && line[0] != '1')) {
                throw std::runtime_error("Invalid transaction record.");
            }
            const fs::path relative = checked_transaction_path(std::string_view(line).substr(2));
            records.push_back(
                {checked_location(root, relative), checked_location(transaction, relative), line[0] == '1'});
        }
        if (!in.eof()) throw std::runtime_error("Cannot read transaction journal.");
    }
    rollback_install(records, transaction);
    remove_own_file(journal);
}

std::vector<install_record> install_staged_tree(const fs::path& staged, const fs::path& root, const fs::path& transaction)
{
    check_pause_cancel();
    refuse_reparse_points(root);
    refuse_reparse_points(transaction);
    recover_transaction(root, transaction);
    fs::create_directories(transaction);

    std::vector<install_record> records;
    // The journal is written whole for every file; its text grows by one
    // line each time instead of being built again from every record.
    std::string journal = std::string(transaction_journal_magic) + "\n";
    try {
        for (const auto& entry : fs::recursive_directory_iterator(staged)) {
            check_pause_cancel();
            if (!entry.is_regular_file()) continue;
            refuse_reparse_points(entry.path());
            const fs::path relative = checked_transaction_path(relative_utf8(entry.path(), staged));
            path_state target_state{};
            const fs::path target = checked_location(root, relative, target_state);
            const bool existed = target_state == path_state::unknown ? fs::is_regular_file(target)
                                                                     : target_state == path_state::file;
            if (existed && files_equal(entry.path(), target)) continue;

            const fs::path backup = transaction / relative;
            if (existed) {
                checked_location(transaction, relative);
                back_up(target, backup);
            }
            // The backup is complete before the record names it, and the
            // record is in the journal before the target changes: its
            // attribute too, which only a rollback of the record puts back.
            records.push_back({target, backup, existed});
            append_journal_line(journal, records.back(), root);
            write_journal(transaction, journal);
            if (existed) clear_read_only(target);
            fs::create_directories(target.parent_path());
            if (!MoveFileExW(entry.path().c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                const DWORD error = GetLastError();
                throw std::runtime_error("Could not atomically install " + path_to_utf8(target) +
                                         windows_error_suffix(error) + ".");
            }
        }
        check_pause_cancel();
    } catch (const std::exception& failure) {
        const std::string cause = failure.what();
        try {
            rollback_install(records, transaction);
            remove_own_file(transaction_journal_path(transaction));
        } catch (const std::exception& rollback_failure) {
            throw std::runtime_error(std::string(rollback_failure.what()) + " Original installation error: " + cause);
        }
        throw std::runtime_error("Client installation failed; the previous files were restored. Cause: " + cause);
    }
    return records;
}

std::error_code remove_in_transaction(std::vector<install_record>& records, const fs::path& file, const fs::path& root,
                                      const fs::path& transaction)
{
    const fs::path relative = checked_transaction_path(relative_utf8(file, root));
    path_state state{};
    const fs::path target = checked_location(root, relative, state);
    if (state == path_state::absent) return {};
    std::error_code error;
    // Asked again only when the check's own lookup could not tell.
    if (state == path_state::directory || (state == path_state::unknown && !fs::is_regular_file(target, error)))
        return error ? error : std::make_error_code(std::errc::is_a_directory);
    // A file this transaction installed has its record already, which
    // restores what was there before.
    const bool recorded =
        std::any_of(records.begin(), records.end(), [&](const install_record& record) { return record.target == target; });
    const fs::path backup = recorded ? fs::path() : checked_location(transaction, relative);
    // Cleared while the file is not open: a backup left by an earlier
    // rollback can be another name of it, which would then only go with it.
    if (!recorded) prepare_backup_place(backup);
    // Opened for its deletion before anything is recorded: a file that
    // another program holds is refused here, and once it is open its
    // deletion cannot be refused for that.
    const win_handle opened = open_for_removal(target);
    if (!opened) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
        return std::error_code(static_cast<int>(code), std::system_category());
    }
    if (recorded) {
        delete_opened_file(opened.get(), error);
        return error;
    }
    back_up_opened(opened.get(), target, backup);
    records.push_back({target, backup, true});
    std::error_code ignored;
    try {
        write_transaction_journal(records, root, transaction);
    } catch (...) {
        records.pop_back();
        remove_own_file(backup, ignored);
        throw;
    }
    if (delete_opened_file(opened.get(), error)) return {};
    // Refused after all: the journal forgets the file before its backup goes.
    records.pop_back();
    write_transaction_journal(records, root, transaction);
    remove_own_file(backup, ignored);
    return error;
}

std::uintmax_t discard_rollback_directory(const fs::path& folder)
{
    refuse_reparse_points(folder);
    if (!fs::exists(folder)) return 0;
    remove_own_file(transaction_journal_path(folder));
    return remove_tree(folder);
}

}  // namespace orvek
