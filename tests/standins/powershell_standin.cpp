// Test stand-in for powershell.exe (Wine's own is a stub that extracts
// nothing). It accepts only the one command the updater sends, a call of
// [IO.Compression.ZipFile]::ExtractToDirectory with two single-quoted
// literals, and behaves like that .NET method: the destination is created
// when missing, an entry that would land outside it is refused, and an
// existing file is never overwritten. Exit code 0 only on success.
//
// Test controls (environment, inherited from the test):
//   ORVEK_TEST_EXTRACT_LOG      file that receives the process id and the raw parameters
//   ORVEK_TEST_SLOW_EXTRACT_MS  sleep this long before extracting

#include "command_line.h"

#include <windows.h>

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using orvek::test::parameters_of;
using orvek::test::to_utf8;

constexpr std::wstring_view command_prefix =
    L"-NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"Add-Type -AssemblyName "
    L"System.IO.Compression.FileSystem; [IO.Compression.ZipFile]::ExtractToDirectory('";

struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::wstring environment(const wchar_t* name)
{
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

std::wstring to_wide(std::string_view text, UINT code_page)
{
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

bool is_single_quote(wchar_t c)
{
    return c == L'\'' || (c >= L'\u2018' && c <= L'\u201b');
}

// Reads a single-quoted PowerShell literal whose opening quote is already
// consumed. As in PowerShell, any of its single quotation marks ends it, and
// two in a row stand for the second.
std::wstring read_literal(std::wstring_view text, std::size_t& position)
{
    std::wstring value;
    for (;;) {
        if (position >= text.size()) throw failure("unterminated literal");
        const wchar_t c = text[position++];
        if (!is_single_quote(c)) {
            value += c;
        } else if (position < text.size() && is_single_quote(text[position])) {
            value += text[position++];
        } else {
            return value;
        }
    }
}

void expect(std::wstring_view text, std::size_t& position, std::wstring_view piece)
{
    if (text.substr(position, piece.size()) != piece) throw failure("unexpected command text");
    position += piece.size();
}

std::wstring full_path(const std::wstring& path)
{
    wchar_t buffer[32768];
    const DWORD length = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
    if (length == 0 || length >= 32768) throw failure("bad path");
    return std::wstring(buffer, length);
}

void create_folders(const std::wstring& folder)
{
    if (folder.empty()) return;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw failure("a file is in the way");
        return;
    }
    const auto slash = folder.find_last_of(L"\\/");
    if (slash != std::wstring::npos && slash > 2) create_folders(folder.substr(0, slash));
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw failure("cannot create folder");
    }
}

std::uint32_t u16(const std::string& b, std::size_t at)
{
    if (at + 2 > b.size()) throw failure("truncated archive");
    return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8;
}

std::uint32_t u32(const std::string& b, std::size_t at)
{
    return u16(b, at) | u16(b, at + 2) << 16;
}

std::uint64_t u64(const std::string& b, std::size_t at) { return u32(b, at) | std::uint64_t{u32(b, at + 4)} << 32; }

std::string inflate_raw(std::string_view compressed, std::size_t size)
{
    std::string out(size, '\0');
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw failure("inflate init");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = inflate(&stream, Z_FINISH);
    const auto produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != size) throw failure("corrupt deflate data");
    return out;
}

void write_new_file(const std::wstring& path, const std::string& bytes)
{
    // CREATE_NEW: like the .NET method, never overwrite.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw failure("cannot create file (exists?)");
    DWORD written = 0;
    const bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                      written == bytes.size());
    CloseHandle(file);
    if (!ok) throw failure("cannot write file");
}

void extract(const std::wstring& zip_path, const std::wstring& destination)
{
    std::ifstream in(zip_path.c_str(), std::ios::binary);
    if (!in) throw failure("cannot open archive");
    const std::string archive((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (archive.size() < 22) throw failure("not an archive");
    std::size_t end = archive.size() - 22;
    while (u32(archive, end) != 0x06054b50) {
        if (end == 0 || archive.size() - end > 22 + 65535) throw failure("no central directory");
        --end;
    }
    std::uint64_t count = u16(archive, end + 10);
    std::size_t next = u32(archive, end + 16);
    // A masked field sends .NET to a ZIP64 locator, searched backwards; with none it keeps these.
    const std::size_t locator = end < 20 ? std::string::npos : archive.rfind("PK\x06\x07", end - 20);
    if ((u16(archive, end + 4) == 0xFFFF || count == 0xFFFF || next == 0xFFFFFFFF) && locator != std::string::npos) {
        const std::size_t record = u64(archive, locator + 8);
        if (u32(archive, record) != 0x06064b50) throw failure("zip64 end record not where expected");
        count = u64(archive, record + 32);
        next = u64(archive, record + 48);
    }

    const std::wstring root = full_path(destination);
    create_folders(root);
    std::wstring root_prefix = root;
    if (root_prefix.back() != L'\\') root_prefix += L'\\';

    // Every record while the signature holds, before any extraction; as many as the count.
    std::vector<std::size_t> records;
    while (u32(archive, next) == 0x02014b50) {
        records.push_back(next);
        next += 46 + u16(archive, next + 28) + u16(archive, next + 30) + u16(archive, next + 32);
    }
    if (records.size() != count) throw failure("records and count disagree");

    for (const std::size_t at : records) {
        const std::uint32_t method = u16(archive, at + 10);
        const std::uint32_t crc = u32(archive, at + 16);
        const std::uint32_t compressed_size = u32(archive, at + 20);
        const std::uint32_t size = u32(archive, at + 24);
        const std::uint32_t name_length = u16(archive, at + 28);
        const std::uint32_t local = u32(archive, at + 42);
        if (at + 46 + name_length > archive.size()) throw failure("truncated name");
        const UINT code_page = u16(archive, at + 8) & 0x800 ? CP_UTF8 : CP_ACP;
        std::wstring name = to_wide(std::string_view(archive).substr(at + 46, name_length), code_page);

        for (auto& c : name) {
            if (c == L'/') c = L'\\';
        }
        const bool is_folder = !name.empty() && name.back() == L'\\';
        if (name.empty() || name[0] == L'\\' || name.find(L':') != std::wstring::npos) {
            throw failure("entry outside the destination");
        }
        const std::wstring target = full_path(root_prefix + name);
        if (_wcsnicmp(target.c_str(), root_prefix.c_str(), root_prefix.size()) != 0 && _wcsicmp(target.c_str(), root.c_str()) != 0) {
            throw failure("entry outside the destination");
        }
        if (is_folder) {
            create_folders(target.back() == L'\\' ? target.substr(0, target.size() - 1) : target);
            continue;
        }

        if (u32(archive, local) != 0x04034b50) throw failure("bad local header");
        const std::size_t data = local + 30 + u16(archive, local + 26) + u16(archive, local + 28);
        if (data + compressed_size > archive.size()) throw failure("truncated data");
        const std::string_view stored = std::string_view(archive).substr(data, compressed_size);
        std::string bytes;
        if (method == 0) {
            if (compressed_size != size) throw failure("bad stored size");
            bytes = stored;
        } else if (method == 8) {
            bytes = inflate_raw(stored, size);
        } else {
            throw failure("unsupported method");
        }
        if (crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())) != crc) {
            throw failure("crc mismatch");
        }
        create_folders(target.substr(0, target.find_last_of(L'\\')));
        write_new_file(target, bytes);
    }
}

}  // namespace

int wmain()
{
    const std::wstring_view parameters = parameters_of(GetCommandLineW());
    const std::wstring log = environment(L"ORVEK_TEST_EXTRACT_LOG");
    if (!log.empty()) {
        std::ofstream out(log.c_str(), std::ios::binary | std::ios::app);
        out << GetCurrentProcessId() << '\n' << to_utf8(parameters) << '\n';
    }
    const std::wstring slow = environment(L"ORVEK_TEST_SLOW_EXTRACT_MS");
    if (!slow.empty()) Sleep(static_cast<DWORD>(std::wcstoul(slow.c_str(), nullptr, 10)));

    try {
        std::size_t position = 0;
        expect(parameters, position, command_prefix);
        const std::wstring zip = read_literal(parameters, position);
        expect(parameters, position, L",'");
        const std::wstring destination = read_literal(parameters, position);
        expect(parameters, position, L")\"");
        if (position != parameters.size()) throw failure("trailing command text");
        extract(zip, destination);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "powershell stand-in: %s\n", error.what());
        return 1;
    }
}
