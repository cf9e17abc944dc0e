#include "engine/small_files.h"

#include "engine/win_handle.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <stdexcept>

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

void write_file_atomically(const std::filesystem::path& file, std::string_view bytes, disk_flush flush)
{
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    const std::wstring temporary = file.native() + L".tmp." + std::to_wstring(GetCurrentProcessId());
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
    // the program's own, so the attribute does not keep them.
    const bool replaced = replace() || (GetLastError() == ERROR_ACCESS_DENIED && clear_read_only(file) && replace());
    if (!replaced) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error("Could not safely replace an update metadata file.");
    }
}

bool clear_read_only(const std::filesystem::path& file)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
           SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
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
    SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(file.c_str())) return true;
    const DWORD code = GetLastError();
    SetFileAttributesW(file.c_str(), attributes);
    return fail(code);
}
void remove_own_file(const std::filesystem::path& file)
{
    std::error_code error;
    remove_own_file(file, error);
    if (error) throw std::filesystem::filesystem_error("cannot remove", file, error);
}

}  // namespace orvek
