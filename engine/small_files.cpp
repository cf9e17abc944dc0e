#include "engine/small_files.h"

#include "engine/own_file_removal.h"
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

std::filesystem::path temporary_path(const std::filesystem::path& file)
{
    return file.native() + std::wstring(temporary_infix) + std::to_wstring(GetCurrentProcessId());
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

}  // namespace orvek
