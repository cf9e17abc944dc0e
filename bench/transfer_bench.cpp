// The Windows side of bench/download and bench/sound-update: runs one way of
// fetching in this process and prints "key value" lines (seconds, phases,
// counters, peak working set). Not a test: ctest never runs it.
//
//   multipart <url> <destination> <size> <sha256>
//   single <url> <destination> <size>
//   bare <url> <destination> <size> <connections> [read KiB]
//   bare-files <base url> <list file> <folder> <connections>
//   sound <pointer url> <releases base> <installation> <work> [repair]

#include "engine/http_client.h"
#include "engine/ranged_download.h"
#include "engine/run_state.h"
#include "procedures/sound_update.h"

#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>
#include <winhttp.h>
#include <winternl.h>

#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + " (error " + std::to_string(GetLastError()) + ")");
}

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

std::string narrow(const std::wstring& text) {
    std::string result;
    for (const wchar_t unit : text) result.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return result;
}

void print_peak_working_set() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        std::printf("peak_working_set %llu\n", static_cast<unsigned long long>(counters.PeakWorkingSetSize));
}

// Bytes hashed: this program's own import of BCryptHashData goes through a
// counting wrapper, so the product code is measured as it is.
using hash_data_function = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
hash_data_function real_hash_data = nullptr;
std::atomic<std::uint64_t> hashed_bytes{0};

NTSTATUS WINAPI counting_hash_data(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG length, ULONG flags) {
    hashed_bytes += length;
    return real_hash_data(hash, input, length, flags);
}

// The import slot of `function` from `dll` in this program, or null.
ULONG_PTR* import_slot(const char* dll, const char* function) {
    auto* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(/*this program*/ nullptr));
    const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* const nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name;
         ++module) {
        if (_stricmp(reinterpret_cast<const char*>(base + module->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0) return &slots->u1.Function;
        }
    }
    return nullptr;
}

bool try_redirect_import(const char* dll, const char* function, void* replacement, void** original) {
    ULONG_PTR* const slot = import_slot(dll, function);
    if (slot == nullptr) return false;
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
    *original = reinterpret_cast<void*>(*slot);
    *slot = reinterpret_cast<ULONG_PTR>(replacement);
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
    return true;
}

void redirect_import(const char* dll, const char* function, void* replacement, void** original) {
    if (!try_redirect_import(dll, function, replacement, original)) fail(std::string("no import of ") + function);
}

// File-system calls of the whole process, product code included (it is
// linked into this program), counted by name through the program's own
// imports: what the program asks, whatever Wine or Windows does inside.
constexpr std::size_t max_counted = 40;
std::array<const char*, max_counted> file_call_names{};
std::array<std::atomic<std::uint64_t>, max_counted> file_call_counts{};

template <std::size_t slot, class function>
struct call_counter;

template <std::size_t slot, class result, class... arguments>
struct call_counter<slot, result (*)(arguments...)> {
    static inline result (*original)(arguments...) = nullptr;
    static result call(arguments... values) {
        ++file_call_counts[slot];
        return original(values...);
    }
};

template <std::size_t slot, class function>
void count_calls(const char* dll, const char* name) {
    static_assert(slot < max_counted);
    using counter = call_counter<slot, function>;
    if (try_redirect_import(dll, name, reinterpret_cast<void*>(&counter::call),
                            reinterpret_cast<void**>(&counter::original)))
        file_call_names[slot] = name;
}

void count_file_calls() {
    count_calls<0, decltype(&CreateFileW)>("KERNEL32.dll", "CreateFileW");
    count_calls<1, decltype(&GetFileAttributesW)>("KERNEL32.dll", "GetFileAttributesW");
    count_calls<2, decltype(&GetFileAttributesExW)>("KERNEL32.dll", "GetFileAttributesExW");
    count_calls<3, decltype(&SetFileAttributesW)>("KERNEL32.dll", "SetFileAttributesW");
    count_calls<4, decltype(&GetFileInformationByHandle)>("KERNEL32.dll", "GetFileInformationByHandle");
    count_calls<5, decltype(&GetFileInformationByHandleEx)>("KERNEL32.dll", "GetFileInformationByHandleEx");
    count_calls<6, decltype(&GetFileSizeEx)>("KERNEL32.dll", "GetFileSizeEx");
    count_calls<7, decltype(&GetVolumeInformationW)>("KERNEL32.dll", "GetVolumeInformationW");
    count_calls<8, decltype(&GetVolumeInformationByHandleW)>("KERNEL32.dll", "GetVolumeInformationByHandleW");
    count_calls<9, decltype(&GetVolumePathNameW)>("KERNEL32.dll", "GetVolumePathNameW");
    count_calls<10, decltype(&GetLongPathNameW)>("KERNEL32.dll", "GetLongPathNameW");
    count_calls<11, decltype(&GetFinalPathNameByHandleW)>("KERNEL32.dll", "GetFinalPathNameByHandleW");
    count_calls<12, decltype(&FindFirstFileW)>("KERNEL32.dll", "FindFirstFileW");
    count_calls<13, decltype(&FindNextFileW)>("KERNEL32.dll", "FindNextFileW");
    count_calls<14, decltype(&CreateDirectoryW)>("KERNEL32.dll", "CreateDirectoryW");
    count_calls<15, decltype(&RemoveDirectoryW)>("KERNEL32.dll", "RemoveDirectoryW");
    count_calls<16, decltype(&DeleteFileW)>("KERNEL32.dll", "DeleteFileW");
    count_calls<17, decltype(&CopyFileW)>("KERNEL32.dll", "CopyFileW");
    count_calls<18, decltype(&CreateHardLinkW)>("KERNEL32.dll", "CreateHardLinkW");
    count_calls<19, decltype(&MoveFileExW)>("KERNEL32.dll", "MoveFileExW");
    count_calls<20, decltype(&FlushFileBuffers)>("KERNEL32.dll", "FlushFileBuffers");
    count_calls<21, decltype(&NtQueryInformationFile)>("ntdll.dll", "NtQueryInformationFile");
    count_calls<22, decltype(&_wstat64)>("msvcrt.dll", "_wstat64");
    count_calls<23, decltype(&_wfopen)>("msvcrt.dll", "_wfopen");
    count_calls<24, decltype(&_wmkdir)>("msvcrt.dll", "_wmkdir");
    count_calls<25, decltype(&_wrmdir)>("msvcrt.dll", "_wrmdir");
    count_calls<26, decltype(&_wremove)>("msvcrt.dll", "_wremove");
    count_calls<27, decltype(&_wunlink)>("msvcrt.dll", "_wunlink");
    count_calls<28, decltype(&_wrename)>("msvcrt.dll", "_wrename");
    count_calls<29, decltype(&_wfindfirst64)>("msvcrt.dll", "_wfindfirst64");
    count_calls<30, decltype(&_wfindnext64)>("msvcrt.dll", "_wfindnext64");
}

void print_file_calls() {
    for (std::size_t slot = 0; slot < max_counted; ++slot)
        if (file_call_names[slot] != nullptr && file_call_counts[slot] != 0)
            std::printf("calls %s %llu\n", file_call_names[slot],
                        static_cast<unsigned long long>(file_call_counts[slot].load()));
}

// Samples the run's shared state every millisecond: when each status text
// first showed and when done_bytes first reached a mark.
class phase_watch {
public:
    explicit phase_watch(std::uint64_t done_mark) : mark_(done_mark), start_(steady::now()) {
        thread_ = std::thread([this] { run(); });
    }
    ~phase_watch() { stop(); }

    void stop() {
        if (!thread_.joinable()) return;
        stopping_ = true;
        thread_.join();
    }
    double mark_seconds() const { return mark_seconds_; }
    const std::vector<std::pair<std::string, double>>& statuses() const { return statuses_; }

private:
    void run() {
        std::wstring last;
        while (!stopping_) {
            std::wstring now;
            {
                const std::lock_guard lock(orvek::state_mutex);
                now = orvek::status_text;
            }
            if (now != last) {
                statuses_.emplace_back(narrow(now), seconds_since(start_));
                last = now;
            }
            if (mark_ != 0 && mark_seconds_ < 0 && orvek::done_bytes.load() >= mark_)
                mark_seconds_ = seconds_since(start_);
            Sleep(1);
        }
    }

    std::uint64_t mark_;
    steady::time_point start_;
    std::atomic<bool> stopping_{false};
    double mark_seconds_ = -1;
    std::vector<std::pair<std::string, double>> statuses_;
    std::thread thread_;
};

// --- bare WinHTTP loops --------------------------------------------------

struct winhttp_handle {
    HINTERNET handle;
    explicit winhttp_handle(HINTERNET value) : handle(value) {}
    ~winhttp_handle() {
        if (handle) WinHttpCloseHandle(handle);
    }
    winhttp_handle(const winhttp_handle&) = delete;
    winhttp_handle& operator=(const winhttp_handle&) = delete;
};

struct file_owner {
    HANDLE handle;
    explicit file_owner(const std::wstring& path)
        : handle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, /*security*/ nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, /*template*/ nullptr)) {
        if (handle == INVALID_HANDLE_VALUE) fail("cannot create " + narrow(path));
    }
    ~file_owner() { CloseHandle(handle); }
    file_owner(const file_owner&) = delete;
    file_owner& operator=(const file_owner&) = delete;
};

struct url_parts {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
};

url_parts crack(const std::wstring& url) {
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), /*length: terminated*/ 0, /*flags*/ 0, &components)) fail("bad URL");
    return {std::wstring(components.lpszHostName, components.dwHostNameLength), components.nPort,
            std::wstring(components.lpszUrlPath, components.dwUrlPathLength)};
}

HINTERNET open_session() {
    const HINTERNET session = WinHttpOpen(L"orvek-bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                          WINHTTP_NO_PROXY_BYPASS, /*flags*/ 0);
    if (!session) fail("WinHttpOpen");
    return session;
}

// One GET on an open connection, body written to `output`; the bytes read.
std::uint64_t bare_get(HINTERNET connection, const std::wstring& path, const std::wstring& headers, HANDLE output,
                       std::vector<char>& buffer) {
    const winhttp_handle request(WinHttpOpenRequest(connection, L"GET", path.c_str(), /*version*/ nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    WINHTTP_FLAG_SECURE));
    if (!request.handle) fail("WinHttpOpenRequest");
    if (!WinHttpSendRequest(request.handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, /*length*/ 0,
                            /*total*/ 0, /*context*/ 0) ||
        !WinHttpReceiveResponse(request.handle, /*reserved*/ nullptr))
        fail("request");
    std::uint64_t total = 0;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.handle, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) fail("read");
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(output, buffer.data(), read, &written, /*overlapped*/ nullptr) || written != read)
            fail("write");
        total += read;
    }
    return total;
}

// Runs `body(index, connection)` on `connections` threads, each with its own
// connection to `url`'s host; the seconds they took, or the first error.
double on_connections(const url_parts& parts, unsigned connections,
                      const std::function<void(unsigned, HINTERNET)>& body) {
    const winhttp_handle session(open_session());
    std::vector<std::string> errors(connections);
    const auto start = steady::now();
    std::vector<std::thread> threads;
    for (unsigned index = 0; index < connections; ++index) {
        threads.emplace_back([&, index] {
            try {
                const winhttp_handle connection(
                    WinHttpConnect(session.handle, parts.host.c_str(), parts.port, /*reserved*/ 0));
                if (!connection.handle) fail("WinHttpConnect");
                body(index, connection.handle);
            } catch (const std::exception& error) {
                errors[index] = error.what();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double seconds = seconds_since(start);
    for (const std::string& error : errors)
        if (!error.empty()) throw std::runtime_error(error);
    return seconds;
}

// `connections` ranges of one file, each on its own connection into its own
// part file, the way the product splits a large file.
int run_bare_ranges(const std::wstring& url, const std::wstring& destination, std::uint64_t size,
                    unsigned connections, std::size_t read_size) {
    const url_parts parts = crack(url);
    std::atomic<std::uint64_t> received{0};
    const double seconds = on_connections(parts, connections, [&](unsigned index, HINTERNET connection) {
        const std::uint64_t slice = size / connections;
        const std::uint64_t first = index * slice;
        const std::uint64_t last = index + 1 == connections ? size - 1 : first + slice - 1;
        const file_owner output(destination + L".bare" + std::to_wstring(index));
        std::vector<char> buffer(read_size);
        const std::wstring range = connections == 1 ? L""
                                                    : L"Range: bytes=" + std::to_wstring(first) + L"-" +
                                                          std::to_wstring(last) + L"\r\n";
        received += bare_get(connection, parts.path, range, output.handle, buffer);
    });
    if (received != size) fail("bare loop received " + std::to_string(received.load()) + " bytes");
    std::printf("seconds %.4f\nbytes %llu\n", seconds, static_cast<unsigned long long>(received.load()));
    return 0;
}

// Whole files from a list of paths under `base`, `connections` threads each
// keeping its own connection.
int run_bare_files(const std::wstring& base, const std::wstring& list_file, const std::wstring& folder,
                   unsigned connections) {
    std::vector<std::wstring> paths;
    {
        std::ifstream list(list_file.c_str());
        std::string line;
        while (std::getline(list, line))
            if (!line.empty()) paths.emplace_back(line.begin(), line.end());
    }
    const url_parts parts = crack(base);
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> received{0};
    const double seconds = on_connections(parts, connections, [&](unsigned, HINTERNET connection) {
        std::vector<char> buffer(262'144);
        for (std::size_t item = next++; item < paths.size(); item = next++) {
            const file_owner output(folder + L"\\" + std::to_wstring(item));
            received += bare_get(connection, parts.path + paths[item], L"", output.handle, buffer);
        }
    });
    std::printf("seconds %.4f\nfiles %zu\nbytes %llu\n", seconds, paths.size(),
                static_cast<unsigned long long>(received.load()));
    return 0;
}

// --- the product's ways ---------------------------------------------------

void remove_leftovers(const std::wstring& destination) {
    for (const wchar_t* suffix : {L"", L".resume", L".range0", L".range1"}) DeleteFileW((destination + suffix).c_str());
}

int run_multipart(const std::wstring& url, const std::wstring& destination, std::uint64_t size,
                  const std::string& sha256) {
    remove_leftovers(destination);
    const auto start = steady::now();
    phase_watch watch(size);
    orvek::download_multipart(url, destination, size, sha256);
    const double seconds = seconds_since(start);
    watch.stop();
    std::printf("seconds %.4f\ntransfer_seconds %.4f\nhashed_bytes %llu\n", seconds, watch.mark_seconds(),
                static_cast<unsigned long long>(hashed_bytes.load()));
    return 0;
}

int run_single(const std::wstring& url, const std::wstring& destination, std::uint64_t size) {
    remove_leftovers(destination);
    const auto start = steady::now();
    orvek::download_resumable_with_retry(url, destination, size);
    std::printf("seconds %.4f\n", seconds_since(start));
    return 0;
}

int run_sound(const std::wstring& pointer_url, const std::wstring& releases_base, const std::wstring& installation,
              const std::wstring& work, bool repair) {
    orvek::repair_requested = repair;
    CreateDirectoryW(installation.c_str(), /*security*/ nullptr);
    CreateDirectoryW(work.c_str(), /*security*/ nullptr);
    const auto start = steady::now();
    phase_watch watch(0);
    orvek::update_sound_data(pointer_url, releases_base, installation, work);
    const double seconds = seconds_since(start);
    watch.stop();
    std::printf("seconds %.4f\n", seconds);
    // Each phase runs from its status text to the next one (or the end).
    const auto& statuses = watch.statuses();
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        const double end = i + 1 < statuses.size() ? statuses[i + 1].second : seconds;
        std::printf("phase %.4f %s\n", end - statuses[i].second,
                    statuses[i].first.empty() ? "(start)" : statuses[i].first.c_str());
    }
    std::printf("hashed_bytes %llu\nchecked_files %llu\ndownloaded_files %llu\ndownloaded_bytes %llu\n",
                static_cast<unsigned long long>(hashed_bytes.load()),
                static_cast<unsigned long long>(orvek::checked_files.load()),
                static_cast<unsigned long long>(orvek::total_files.load()),
                static_cast<unsigned long long>(orvek::total_bytes.load()));
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: orvek-bench multipart <url> <destination> <size> <sha256>\n"
                 "       orvek-bench single <url> <destination> <size>\n"
                 "       orvek-bench bare <url> <destination> <size> <connections> [read KiB]\n"
                 "       orvek-bench bare-files <base url> <list file> <folder> <connections>\n"
                 "       orvek-bench sound <pointer url> <releases base> <installation> <work> [repair]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage();
    const std::wstring mode = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);
    try {
        redirect_import("bcrypt.dll", "BCryptHashData", reinterpret_cast<void*>(&counting_hash_data),
                        reinterpret_cast<void**>(&real_hash_data));
        count_file_calls();
        int status = 2;
        if (mode == L"multipart" && args.size() == 4)
            status = run_multipart(args[0], args[1], std::stoull(args[2]), narrow(args[3]));
        else if (mode == L"single" && args.size() == 3)
            status = run_single(args[0], args[1], std::stoull(args[2]));
        else if (mode == L"bare" && (args.size() == 4 || args.size() == 5))
            status = run_bare_ranges(args[0], args[1], std::stoull(args[2]), std::stoul(args[3]),
                                     args.size() == 5 ? std::stoul(args[4]) * 1024 : 262'144);
        else if (mode == L"bare-files" && args.size() == 4)
            status = run_bare_files(args[0], args[1], args[2], std::stoul(args[3]));
        else if (mode == L"sound" && (args.size() == 4 || (args.size() == 5 && args[4] == L"repair")))
            status = run_sound(args[0], args[1], args[2], args[3], args.size() == 5);
        else
            return usage();
        print_peak_working_set();
        print_file_calls();
        std::fflush(stdout);
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orvek-bench: %s\n", error.what());
        return 1;
    }
}
