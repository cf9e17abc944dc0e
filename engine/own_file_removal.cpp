#include "engine/own_file_removal.h"

#include <windows.h>

#include <string_view>
#include <utility>
#include <vector>

namespace orvek {

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
