#include "engine/small_files.h"

#include "engine/win_handle.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <vector>

namespace orvek {

namespace {

constexpr std::size_t max_version_length = 64;
constexpr std::size_t max_version_file_size = 128;
constexpr std::uintmax_t max_small_file_size = 16 * 1024 * 1024;

bool is_version_character(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

// Reads up to `limit` bytes; fewer when the stream ends first. Grows with
// what it reads: a buffer of the whole limit costs 16 MiB per small file.
std::string read_at_most(std::ifstream& in, std::size_t limit)
{
    std::string bytes;
    char block[4096];
    while (bytes.size() < limit && in) {
        in.read(block, static_cast<std::streamsize>(std::min(sizeof(block), limit - bytes.size())));
        bytes.append(block, static_cast<std::size_t>(in.gcount()));
    }
    return bytes;
}

}  // namespace

std::string parse_release_version(std::string_view bytes)
{
    std::string text(bytes);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    const auto start = text.find_first_not_of(" \t");
    text.erase(0, start == std::string::npos ? text.size() : start);
    if (text.empty() || text.size() > max_version_length) {
        throw std::runtime_error("The release version is invalid.");
    }
    for (const char c : text) {
        if (!is_version_character(static_cast<unsigned char>(c))) {
            throw std::runtime_error("The release version is invalid.");
        }
    }
    return text;
}

std::string read_local_version(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    const std::string bytes = read_at_most(in, max_version_file_size + 1);
    if (bytes.size() > max_version_file_size) {
        return {};
    }
    try {
        return parse_release_version(bytes);
    } catch (const std::exception&) {
        return {};
    }
}

std::string read_small_file(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    if (std::filesystem::file_size(file) > max_small_file_size) {
        return {};
    }
    // The file may grow after the size query; never read past the bound.
    std::string bytes = read_at_most(in, static_cast<std::size_t>(max_small_file_size) + 1);
    if (bytes.size() > max_small_file_size) {
        return {};
    }
    return bytes;
}

bool flush_to_disk(const std::filesystem::path& file)
{
    const win_handle handle(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, /*security*/ nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
    return handle && FlushFileBuffers(handle.get()) != 0;
}

std::filesystem::path temporary_path(const std::filesystem::path& file)
{
    return file.native() + L".tmp." + std::to_wstring(GetCurrentProcessId());
}

void write_file_atomically(const std::filesystem::path& file, std::string_view bytes, disk_flush flush)
{
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    const std::wstring temporary = temporary_path(file);
    {
        win_handle out(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, /*security*/ nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr));
        if (!out) {
            throw std::runtime_error("Could not write a temporary update file.");
        }
        const auto discard = [&](const char* message) {
            out.reset();
            DeleteFileW(temporary.c_str());
            throw std::runtime_error(message);
        };
        if (bytes.size() > std::numeric_limits<DWORD>::max()) {
            discard("Could not write a temporary update file.");
        }
        DWORD written = 0;
        if (!bytes.empty() && (!WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                          /*overlapped*/ nullptr) ||
                               written != bytes.size())) {
            discard("Could not write a temporary update file.");
        }
        if (flush == disk_flush::forced && !FlushFileBuffers(out.get())) {
            discard("Could not flush a temporary update file.");
        }
    }
    const auto replace = [&] {
        return MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    };
    // Windows will not replace a read-only file; the files written here are
    // the program's own, so the attribute does not keep them. A target that
    // still cannot be replaced keeps it.
    bool replaced = replace();
    if (!replaced && GetLastError() == ERROR_ACCESS_DENIED && clear_read_only(file)) {
        replaced = replace();
        if (!replaced) set_read_only(file);
    }
    if (!replaced) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error("Could not safely replace an update metadata file.");
    }
}

bool clear_read_only(const std::filesystem::path& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
           !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

void set_read_only(const std::filesystem::path& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(file.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

bool remove_own_file(const std::filesystem::path& file, std::error_code& error) noexcept
{
    error.clear();
    const auto absent = [](DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; };
    const auto fail = [&](DWORD code) {
        if (!absent(code)) error.assign(static_cast<int>(code), std::system_category());
        return false;
    };
    // The plain delete first: the attributes are looked up only for what it
    // refuses (a folder, a read-only file).
    if (DeleteFileW(file.c_str())) return true;
    if (const DWORD code = GetLastError(); code != ERROR_ACCESS_DENIED) return fail(code);
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(GetLastError());
    // An empty folder goes too, as with the library's remove.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(file.c_str()) ? true : fail(GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED);
    const win_handle opened = open_for_removal(file);
    if (!opened) return fail(GetLastError());
    return delete_opened_file(opened.get(), error);
}

void remove_own_file(const std::filesystem::path& file)
{
    std::error_code error;
    remove_own_file(file, error);
    if (error) throw std::filesystem::filesystem_error("cannot remove", file, error);
}

std::uintmax_t remove_tree(const std::filesystem::path& folder)
{
    const auto refused = [](const std::filesystem::path& path, std::error_code error) {
        if (!error) error.assign(static_cast<int>(GetLastError()), std::system_category());
        return std::filesystem::filesystem_error("cannot remove", path, error);
    };
    std::vector<WIN32_FIND_DATAW> entries;
    {
        WIN32_FIND_DATAW data;
        const HANDLE found = FindFirstFileW((folder / L"*").c_str(), &data);
        if (found == INVALID_HANDLE_VALUE) throw refused(folder, {});
        do {
            const std::wstring_view name = data.cFileName;
            if (name != L"." && name != L"..") entries.push_back(data);
        } while (FindNextFileW(found, &data));
        FindClose(found);
    }
    std::uintmax_t removed = 0;
    for (const auto& entry : entries) {
        const std::filesystem::path path = folder / entry.cFileName;
        const DWORD attributes = entry.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            removed += remove_tree(path);
            continue;
        }
        std::error_code error;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!RemoveDirectoryW(path.c_str())) throw refused(path, {});
        } else if (!remove_own_file(path, error) && error) {
            throw refused(path, error);
        }
        ++removed;
    }
    if (!RemoveDirectoryW(folder.c_str())) throw refused(folder, {});
    return removed + 1;
}

win_handle open_for_removal(const std::filesystem::path& file) noexcept
{
    // A link is opened itself, never what it points to. Whoever shares the
    // deletion may go on using the file, as with a plain delete.
    win_handle opened(CreateFileW(file.c_str(), DELETE | GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, /*security*/ nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, /*template*/ nullptr));
    return opened ? std::move(opened) : win_handle();
}

bool delete_opened_file(HANDLE file, std::error_code& error) noexcept
{
    error.clear();
    // Where the system allows it, the name goes at once and the read-only
    // attribute stays as it is. Not declared for this build's Windows version.
    constexpr auto disposition_with_flags = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    constexpr DWORD delete_at_once_even_read_only = 0x1 | 0x2 | 0x10;
    DWORD flags = delete_at_once_even_read_only;
    if (SetFileInformationByHandle(file, disposition_with_flags, &flags, sizeof flags)) return true;

    // Elsewhere the attribute is cleared for the deletion and put back for
    // the names that stay.
    const auto failed = [&](DWORD code) {
        error.assign(static_cast<int>(code), std::system_category());
        return false;
    };
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
        return failed(GetLastError());
    const DWORD attributes = basic.FileAttributes;
    const bool read_only = attributes & FILE_ATTRIBUTE_READONLY;
    const auto set_attributes = [&](DWORD value) {
        basic.FileAttributes = value != 0 ? value : FILE_ATTRIBUTE_NORMAL;
        return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
    };
    if (read_only && !set_attributes(attributes & ~FILE_ATTRIBUTE_READONLY)) return failed(GetLastError());
    FILE_DISPOSITION_INFO disposition{/*delete*/ TRUE};
    const bool deleted = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    const DWORD code = GetLastError();
    if (read_only && (!deleted || standard.NumberOfLinks > 1)) set_attributes(attributes);
    return deleted || failed(code);
}

}  // namespace orvek
