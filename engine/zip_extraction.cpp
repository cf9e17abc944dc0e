#include "engine/zip_extraction.h"

#include "engine/run_state.h"
#include "engine/win_handle.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <vector>

namespace orvek {

namespace {

constexpr char unreadable_package[] = "Could not extract the update package.";
constexpr std::uint32_t end_of_directory = 0x06054b50;
constexpr std::uint32_t zip64_locator = 0x07064b50;
constexpr std::uint32_t zip64_end_of_directory = 0x06064b50;
constexpr std::uint32_t directory_entry = 0x02014b50;
constexpr std::size_t end_record_size = 22;
constexpr std::size_t locator_size = 20;
constexpr std::size_t zip64_end_record_size = 56;
constexpr std::size_t directory_record_size = 46;
constexpr std::size_t max_comment_size = 65'535;

[[noreturn]] void unreadable() { throw std::runtime_error(unreadable_package); }

std::uint64_t little_endian(std::string_view bytes, std::size_t at, std::size_t width)
{
    if (at > bytes.size() || bytes.size() - at < width) unreadable();
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string read_next(std::istream& in, std::size_t size)
{
    std::string bytes(size, '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) unreadable();
    return bytes;
}

std::string read_span(std::istream& in, std::uint64_t offset, std::size_t size)
{
    in.seekg(static_cast<std::streamoff>(offset));
    return read_next(in, size);
}

struct central_directory {
    std::uint64_t entries = 0;
    std::uint64_t offset = 0;
};

// From the end record. Where one of its fields is masked, .NET takes the ZIP64
// record its locator points to, and without a locator the end record as it
// stands: writers without ZIP64 leave 65,535 entries so.
central_directory find_central_directory(std::istream& in, std::uint64_t file_size)
{
    const std::uint64_t tail_size = std::min<std::uint64_t>(file_size, end_record_size + max_comment_size);
    const std::string tail = read_span(in, file_size - tail_size, static_cast<std::size_t>(tail_size));
    if (tail.size() < end_record_size) unreadable();
    std::size_t at = tail.size() - end_record_size;
    while (little_endian(tail, at, 4) != end_of_directory) {
        if (at == 0) unreadable();
        --at;
    }
    central_directory directory{little_endian(tail, at + 10, 2), little_endian(tail, at + 16, 4)};
    const std::uint64_t end_at = file_size - tail_size + at;
    const bool masked =
        little_endian(tail, at + 4, 2) == 0xFFFF || directory.entries == 0xFFFF || directory.offset == 0xFFFFFFFF;
    if (masked && end_at >= locator_size) {
        const std::string locator = read_span(in, end_at - locator_size, locator_size);
        if (little_endian(locator, 0, 4) == zip64_locator) {
            const std::uint64_t record_at = little_endian(locator, 8, 8);
            if (record_at > file_size || file_size - record_at < zip64_end_record_size) unreadable();
            const std::string record = read_span(in, record_at, zip64_end_record_size);
            if (little_endian(record, 0, 4) != zip64_end_of_directory) unreadable();
            directory = {little_endian(record, 32, 8), little_endian(record, 48, 8)};
        }
    }
    if (directory.offset > file_size) unreadable();
    return directory;
}

// Names flagged as UTF-8 are read so; the others in the system's code page,
// as the .NET extractor reads them.
std::wstring entry_name(std::string_view bytes, bool utf8)
{
    const UINT code_page = utf8 ? CP_UTF8 : CP_ACP;
    const int length = MultiByteToWideChar(code_page, /*flags*/ 0, bytes.data(), static_cast<int>(bytes.size()),
                                           /*output*/ nullptr, 0);
    if (length <= 0) unreadable();
    std::wstring name(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, /*flags*/ 0, bytes.data(), static_cast<int>(bytes.size()), name.data(), length);
    return name;
}

// Where the extractor's Path.GetFullPath puts a name below the destination;
// none for the destination itself as a folder. A name that would leave it is
// refused here, before anything outside is looked up for it.
std::optional<zip_entry> landing(std::wstring_view name)
{
    constexpr std::wstring_view separators = L"/\\";
    const auto is_separator = [&](wchar_t c) { return separators.find(c) != std::wstring_view::npos; };
    // A drive or a root would put it elsewhere.
    if (name.find(L':') != std::wstring_view::npos || (!name.empty() && is_separator(name.front()))) unreadable();
    std::vector<std::wstring_view> parts;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find_first_of(separators, start), name.size());
        const std::wstring_view part = name.substr(start, end - start);
        if (part == L"..") {
            if (parts.empty()) unreadable();
            parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    // A name that ends in a separator is a folder, made without it.
    const bool folder = !name.empty() && is_separator(name.back());
    if (parts.empty()) {
        if (folder) return std::nullopt;
        unreadable();  // a file cannot take the destination's place
    }
    zip_entry entry{{}, folder};
    for (const std::wstring_view part : parts) entry.name /= part;
    return entry;
}

}  // namespace

std::vector<zip_entry> read_zip_entries(const std::filesystem::path& zip)
{
    std::ifstream in(zip, std::ios::binary | std::ios::ate);
    if (!in) unreadable();
    const auto file_size = static_cast<std::uint64_t>(in.tellg());
    const central_directory directory = find_central_directory(in, file_size);

    // As .NET reads the directory: record after record while the signature
    // holds, whatever its size field says, and as many as the count.
    std::vector<zip_entry> entries;
    std::uint64_t records = 0;
    in.seekg(static_cast<std::streamoff>(directory.offset));
    for (std::string record; little_endian(record = read_next(in, 4), 0, 4) == directory_entry;) {
        if (++records > directory.entries) unreadable();
        record += read_next(in, directory_record_size - 4);
        const bool utf8 = little_endian(record, 8, 2) & 0x800;
        const std::string name = read_next(in, little_endian(record, 28, 2));
        const auto rest = static_cast<std::streamsize>(little_endian(record, 30, 2) + little_endian(record, 32, 2));
        if (in.ignore(rest).gcount() != rest) unreadable();
        if (auto entry = landing(entry_name(name, utf8))) entries.push_back(std::move(*entry));
    }
    if (records != directory.entries) unreadable();
    return entries;
}

std::wstring quote_powershell_literal(std::wstring_view text)
{
    // PowerShell ends a single-quoted string at any of these; doubled, each
    // stands for itself.
    constexpr std::wstring_view quotes = L"'\u2018\u2019\u201a\u201b";
    std::wstring quoted;
    quoted.reserve(text.size());
    for (const wchar_t c : text) {
        if (quotes.find(c) != std::wstring_view::npos) quoted += c;
        quoted += c;
    }
    return quoted;
}

std::wstring extractor_parameters(const std::filesystem::path& zip, const std::filesystem::path& destination)
{
    return L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"Add-Type -AssemblyName "
           L"System.IO.Compression.FileSystem; [IO.Compression.ZipFile]::ExtractToDirectory('" +
           quote_powershell_literal(zip.native()) + L"','" + quote_powershell_literal(destination.native()) + L"')\"";
}

void extract_zip(const std::filesystem::path& zip, const std::filesystem::path& destination)
{
    check_pause_cancel();
    const std::wstring parameters = extractor_parameters(zip, destination);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;    // no owner window
    info.lpVerb = nullptr;  // default verb
    info.lpFile = L"powershell.exe";
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;  // inherit the current folder
    info.nShow = SW_HIDE;
    const bool started = ShellExecuteExW(&info);
    win_handle process(started ? info.hProcess : nullptr);
    if (!process) throw std::runtime_error("Could not start the ZIP extractor.");

    try {
        while (WaitForSingleObject(process.get(), 100) == WAIT_TIMEOUT) {
            const std::lock_guard lock(state_mutex);
            if (cancelled) throw std::runtime_error("Extraction cancelled.");
        }
    } catch (...) {
        // Never leave a half-finished extractor writing into the stage.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
        throw;
    }

    DWORD exit_code = 1;
    GetExitCodeProcess(process.get(), &exit_code);
    process.reset();
    if (exit_code != 0) throw std::runtime_error(unreadable_package);
    check_pause_cancel();
}

}  // namespace orvek
