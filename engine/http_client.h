#pragma once

// The updater's HTTP client: two process-wide WinHTTP sessions, the small
// metadata GET, the whole-file GET, the resumable GET, the size probe and the
// retry rules around them.

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvek {

// Owns one WinHTTP handle (session, connection or request); null when the
// open call failed.
class http_handle {
public:
    http_handle() = default;
    explicit http_handle(HINTERNET handle) noexcept : handle_(handle) {}
    ~http_handle();
    http_handle(const http_handle&) = delete;
    http_handle& operator=(const http_handle&) = delete;
    http_handle(http_handle&& other) noexcept;
    http_handle& operator=(http_handle&& other) noexcept;

    HINTERNET get() const noexcept { return handle_; }

private:
    HINTERNET handle_ = nullptr;
};

// The session for a request: the proxy-less one for the default release
// server, the automatic-proxy one for every other host. Throws
// "Could not initialize WinHTTP.".
HINTERNET get_http_session(bool origin_host);

// Connection and request of one transfer; the request is closed first.
struct http_request {
    http_handle connection;
    http_handle request;
};

// The texts a request reports its own failures with.
struct request_messages {
    const char* invalid_url;        // the URL cannot be cracked
    const char* connection_failed;  // connect, open, send or receive failed
};

// Extra request headers ("Name: value\r\n" lines) and how they are added.
struct request_headers {
    std::wstring lines;
    DWORD flags = 0;
    bool required = false;  // a failure to add them fails the request
};

// Cracks the URL, connects through the right session, opens the request with
// the redirect policy that refuses HTTPS to HTTP, adds the headers, sends it
// and receives the response head. The caller holds a request_slot.
http_request send_http_request(const std::wstring& url, const wchar_t* method, const request_messages& messages,
                               const request_headers& headers = {});

// One read of a response body that returns what has arrived: it waits until
// some of the body is there and takes at most that much, and at most the
// buffer's size. A read of the whole buffer would hold Cancel, Pause and the
// progress until the buffer fills, minutes on a slow line (under Wine a read
// returns only then). 0 at the body's end; a failure throws `failure`.
DWORD read_available(HINTERNET request, std::span<char> buffer, const char* failure);

// The numeric status, or nothing when it cannot be read.
std::optional<DWORD> query_status_code(HINTERNET request);
// A header as text (at most 255 characters), or nothing when absent.
std::optional<std::wstring> query_header_text(HINTERNET request, DWORD query);

// "Update server returned HTTP <status>."
[[noreturn]] void throw_http_status(DWORD status);

// The retry rule: a client error other than 408 and 429 is final.
bool is_final_http_failure(std::string_view message);

// Release metadata of at most 16 MiB into memory.
std::vector<char> fetch_metadata(const std::wstring& url);
std::vector<char> fetch_metadata_with_retry(const std::wstring& url);

// A whole file of unknown size. `counted` says whether the file is already
// in total_files/total_bytes.
void download_file(const std::wstring& url, const std::filesystem::path& destination, bool& counted);
void download_file_with_retry(const std::wstring& url, const std::filesystem::path& destination,
                              bool counted = false);

// Throws "Cannot write download data. Check disk space and permissions."
void write_download_chunk(std::ostream& output, const char* bytes, std::size_t count);

// Gathers the bytes of successive body reads in one buffer and writes them a
// buffer at a time: reads that return what has arrived are small (about
// 16 KiB under Wine), and a write for each of them slows a fast download by
// a tenth. Bytes still gathered when it goes (a failure, a cancel) are
// written then, so the file keeps every byte that was counted.
class body_writer {
public:
    body_writer(std::ostream& output, std::span<char> buffer) noexcept : output_(output), buffer_(buffer) {}
    ~body_writer();
    body_writer(const body_writer&) = delete;
    body_writer& operator=(const body_writer&) = delete;

    // Where the next read goes; never empty.
    std::span<char> free_space() const noexcept { return buffer_.subspan(filled_); }
    // Takes `count` bytes read into free_space(); writes the buffer when full.
    void add(std::size_t count);
    // Writes what is gathered; throws like write_download_chunk.
    void write_out();

private:
    std::ostream& output_;
    std::span<char> buffer_;
    std::size_t filled_ = 0;
};

// Shows the retry status text and waits 5 s.
void wait_before_retry();

// A file of known size, resumed from the bytes already in `destination`.
// `credited` is how many of its bytes are counted in done_bytes. `is_file`,
// when given, is whether the caller has just found `destination` a regular
// file; the first attempt then does not ask again.
void download_resumable(const std::wstring& url, const std::filesystem::path& destination,
                        std::uint64_t expected_size, std::uint64_t& credited,
                        std::optional<bool> is_file = std::nullopt);
void download_resumable_with_retry(const std::wstring& url, const std::filesystem::path& destination,
                                   std::uint64_t expected_size, std::optional<bool> is_file = std::nullopt);

// The size from HEAD, else from a one-byte ranged GET; 0 when unknown.
std::uint64_t probe_package_size(const std::wstring& url);

bool is_decimal_digit(wchar_t c);

}  // namespace orvek
