#include "engine/http_client.h"

#include "engine/own_file_removal.h"
#include "engine/read_buffer.h"
#include "engine/run_state.h"
#include "engine/settings.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>

namespace orvek {

namespace {

constexpr wchar_t user_agent[] = L"ORVEK Updater/3.0";
constexpr std::size_t metadata_limit = 16'777'216;
constexpr std::size_t file_buffer_size = 1'048'576;
constexpr std::size_t resumable_buffer_size = 262'144;
constexpr int attempt_count = 4;
constexpr std::uint32_t retry_wait_ms = 5000;

class http_session {
public:
    explicit http_session(DWORD access_type)
        : handle(WinHttpOpen(user_agent, access_type, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                             /*flags: synchronous*/ 0)) {
        if (handle.get() == nullptr)
            throw std::runtime_error("Could not initialize WinHTTP.");
        WinHttpSetTimeouts(handle.get(), /*resolve*/ 5000, /*connect*/ 5000, /*send*/ 15000, /*receive*/ 15000);
        // The wait for the response head has a time-out of its own, which the
        // call above leaves at minutes (unbounded under Wine).
        DWORD response_head_timeout = 15000;
        WinHttpSetOption(handle.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_head_timeout,
                         sizeof(response_head_timeout));
    }
    HINTERNET get() const noexcept { return handle.get(); }

private:
    http_handle handle;
};

// Function-local statics: created once, thread-safe; a failed creation is
// tried again by the next call; closed at process exit.
const http_session& proxy_session() {
    static const http_session session(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
    return session;
}

const http_session& direct_session() {
    static const http_session session(WINHTTP_ACCESS_TYPE_NO_PROXY);
    return session;
}

struct cracked_url {
    std::wstring host;
    std::wstring object;  // path followed by the query
    INTERNET_PORT port = 0;
    bool secure = false;
};

std::optional<cracked_url> crack_url(const std::wstring& url) {
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    // -1 asks for each piece as a pointer into the text.
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    components.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), /*length: null-terminated*/ 0, /*flags*/ 0, &components))
        return std::nullopt;
    cracked_url result;
    if (components.lpszHostName != nullptr)
        result.host.assign(components.lpszHostName, components.dwHostNameLength);
    if (components.lpszUrlPath != nullptr)
        result.object.assign(components.lpszUrlPath, components.dwUrlPathLength);
    if (components.lpszExtraInfo != nullptr)
        result.object.append(components.lpszExtraInfo, components.dwExtraInfoLength);
    result.port = components.nPort;
    result.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    return result;
}

http_handle open_request_on(HINTERNET connection, const cracked_url& url, const wchar_t* method) {
    http_handle request;
    if (connection != nullptr) {
        request = http_handle(WinHttpOpenRequest(connection, method, url.object.c_str(), /*version*/ nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 url.secure ? WINHTTP_FLAG_SECURE : 0));
    }
    apply_direct_ip_origin(request.get(), url.host);
    if (request.get() != nullptr) {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    }
    return request;
}

http_handle connect_to(const cracked_url& url) {
    const HINTERNET session = get_http_session(is_origin_host(url.host));
    return http_handle(WinHttpConnect(session, url.host.c_str(), url.port, /*reserved*/ 0));
}

bool add_headers(HINTERNET request, const std::wstring& lines, DWORD flags) {
    return WinHttpAddRequestHeaders(request, lines.c_str(), /*length: null-terminated*/ static_cast<DWORD>(-1),
                                    flags) != FALSE;
}

bool send_and_receive(HINTERNET request) {
    return request != nullptr &&
           WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, /*headers length*/ 0,
                              WINHTTP_NO_REQUEST_DATA, /*data length*/ 0, /*total length*/ 0,
                              /*context*/ 0) &&
           WinHttpReceiveResponse(request, /*reserved*/ nullptr);
}

// A status that cannot be read counts as 0, which no caller accepts.
DWORD status_or_zero(HINTERNET request) {
    return query_status_code(request).value_or(0);
}

// A decimal text as u64; nothing when empty, not all digits or too large.
std::optional<std::uint64_t> parse_decimal_u64(const std::wstring& text) {
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (!is_decimal_digit(c))
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// A body that ends before its Content-Length is a broken transfer, not a
// short file; the platform may report such an end as a clean one.
void check_complete_body(HINTERNET request, std::uint64_t received, const char* message) {
    const std::optional<std::wstring> length = query_header_text(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length)
        return;
    const std::optional<std::uint64_t> promised = parse_decimal_u64(*length);
    if (promised && received < *promised)
        throw std::runtime_error(message);
}

std::ofstream open_output(const std::filesystem::path& file, std::ios::openmode mode, const char* failure) {
    const std::filesystem::path parent = file.parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent);
    std::ofstream output(file, std::ios::binary | mode);
    if (!output.is_open())
        throw std::runtime_error(failure);
    return output;
}

// Blocks until some of the body has arrived; how much, 0 at its end.
DWORD wait_for_body(HINTERNET request, const char* failure) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available))
        throw std::runtime_error(failure);
    return available;
}

DWORD read_body(HINTERNET request, std::span<char> buffer, const char* failure) {
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read))
        throw std::runtime_error(failure);
    return read;
}

// Moves a file's credit in done_bytes to `now`.
void set_credit(std::uint64_t& credited, std::uint64_t now) {
    if (now > credited)
        done_bytes += now - credited;
    else
        done_bytes -= credited - now;
    credited = now;
}

}  // namespace

http_handle::~http_handle() {
    if (handle_ != nullptr)
        WinHttpCloseHandle(handle_);
}

http_handle::http_handle(http_handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

http_handle& http_handle::operator=(http_handle&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr)
            WinHttpCloseHandle(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

HINTERNET get_http_session(bool origin_host) {
    const HINTERNET proxy = proxy_session().get();
    const HINTERNET direct = direct_session().get();
    return origin_host ? direct : proxy;
}

http_request send_http_request(const std::wstring& url, const wchar_t* method, const request_messages& messages,
                               const request_headers& headers) {
    const std::optional<cracked_url> cracked = crack_url(url);
    if (!cracked)
        throw std::runtime_error(messages.invalid_url);
    http_request result;
    result.connection = connect_to(*cracked);
    result.request = open_request_on(result.connection.get(), *cracked, method);
    const HINTERNET request = result.request.get();
    if (request != nullptr && !headers.lines.empty() && !add_headers(request, headers.lines, headers.flags) &&
        headers.required)
        throw std::runtime_error(messages.connection_failed);
    if (!send_and_receive(request))
        throw std::runtime_error(messages.connection_failed);
    return result;
}

DWORD read_available(HINTERNET request, std::span<char> buffer, const char* failure) {
    const DWORD available = wait_for_body(request, failure);
    if (available == 0)
        return 0;
    return read_body(request, buffer.first(std::min<std::size_t>(available, buffer.size())), failure);
}

std::optional<DWORD> query_status_code(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    return status;
}

std::optional<std::wstring> query_header_text(HINTERNET request, DWORD query) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return std::nullopt;
    return std::wstring(buffer, size / sizeof(wchar_t));
}

void throw_http_status(DWORD status) {
    throw std::runtime_error("Update server returned HTTP " + std::to_string(status) + ".");
}

bool is_final_http_failure(std::string_view message) {
    return message.find("HTTP 4") != std::string_view::npos && message.find("HTTP 408") == std::string_view::npos &&
           message.find("HTTP 429") == std::string_view::npos;
}

namespace {

// A plain GET whose only good answer is 200.
http_request get_expecting_200(const std::wstring& url, const request_messages& messages) {
    http_request http = send_http_request(url, L"GET", messages);
    if (const DWORD status = status_or_zero(http.request.get()); status != 200)
        throw_http_status(status);
    return http;
}

}  // namespace

std::vector<char> fetch_metadata(const std::wstring& url) {
    const request_slot slot;
    const http_request http = get_expecting_200(url, {"Invalid update URL.", "Could not download update information."});
    const HINTERNET request = http.request.get();

    std::vector<char> body;
    for (;;) {
        check_pause_cancel();
        const DWORD available = wait_for_body(request, "Update download failed.");
        if (available == 0)
            break;
        if (available > metadata_limit || body.size() + available > metadata_limit)
            throw std::runtime_error("Update metadata exceeds the safe size limit.");
        const std::size_t start = body.size();
        body.resize(start + available);
        body.resize(start + read_body(request, std::span(body).subspan(start), "Update download failed."));
        check_pause_cancel();
    }
    check_complete_body(request, body.size(), "Update download failed.");
    return body;
}

std::vector<char> fetch_metadata_with_retry(const std::wstring& url) {
    for (int attempt = 0;; ++attempt) {
        check_pause_cancel();
        try {
            return fetch_metadata(url);
        } catch (const std::exception& error) {
            if (is_final_http_failure(error.what()) || attempt == attempt_count - 1)
                throw;
            wait_before_retry();
        }
    }
}

void download_file(const std::wstring& url, const std::filesystem::path& destination, bool& counted) {
    const request_slot slot;
    const http_request http = get_expecting_200(url, {"Invalid download URL.", "Could not download an update file."});
    const HINTERNET request = http.request.get();

    if (!counted) {
        // Counted once, at the file's first good answer, however many attempts it takes.
        DWORD length = 0;
        DWORD size = sizeof(length);
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX))
            total_bytes += length;
        total_files += 1;
        counted = true;
        check_pause_cancel();
    }

    std::ofstream output = open_output(destination, std::ios::trunc, "Could not create a downloaded update file.");
    const read_buffer buffer(file_buffer_size);
    body_writer writer(output, buffer.span());
    std::uint64_t received = 0;
    for (;;) {
        check_pause_cancel();
        const DWORD read = read_available(request, writer.free_space(), "Update download failed.");
        if (read == 0)
            break;
        writer.add(read);
        received += read;
        done_bytes += read;
        received_bytes += read;
        check_pause_cancel();
    }
    writer.write_out();
    check_complete_body(request, received, "Update download failed.");
    output.flush();
    if (!output)
        throw std::runtime_error("Cannot flush downloaded data. Check disk space.");
}

void download_file_with_retry(const std::wstring& url, const std::filesystem::path& destination, bool counted) {
    const std::uint64_t done_at_start = done_bytes.load();
    for (int attempt = 0;; ++attempt) {
        check_pause_cancel();
        try {
            download_file(url, destination, counted);
            break;
        } catch (const std::exception& error) {
            if (is_final_http_failure(error.what()))
                throw;
            // The next attempt rewrites the file from its first byte.
            done_bytes = done_at_start;
            check_pause_cancel();
            if (attempt == attempt_count - 1)
                throw;
            wait_before_retry();
        }
    }
    finished_files += 1;
    check_pause_cancel();
}

void write_download_chunk(std::ostream& output, const char* bytes, std::size_t count) {
    output.write(bytes, static_cast<std::streamsize>(count));
    if (!output)
        throw std::runtime_error("Cannot write download data. Check disk space and permissions.");
}

body_writer::~body_writer() {
    // A failed write here leaves the file shorter than its credit; the next
    // attempt credits what the file holds.
    if (filled_ > 0)
        output_.write(buffer_.data(), static_cast<std::streamsize>(filled_));
}

void body_writer::add(std::size_t count) {
    filled_ += count;
    if (filled_ == buffer_.size())
        write_out();
}

void body_writer::write_out() {
    write_download_chunk(output_, buffer_.data(), std::exchange(filled_, 0));
}

void wait_before_retry() {
    set_status(L"Internet connection lost. Retrying in 5 seconds (up to four attempts).");
    sleep_interruptible(retry_wait_ms);
}

void download_resumable(const std::wstring& url, const std::filesystem::path& destination,
                        std::uint64_t expected_size, std::uint64_t& credited, std::optional<bool> is_file) {
    const request_slot slot;
    if (!is_file)
        is_file = std::filesystem::is_regular_file(destination);
    std::uint64_t have = *is_file ? std::filesystem::file_size(destination) : 0;
    if (have > expected_size) {
        remove_own_file(destination);
        have = 0;
    }
    set_credit(credited, have);
    if (have == expected_size)
        return;

    request_headers headers;
    if (have > 0) {
        headers.lines = L"Range: bytes=" + std::to_wstring(have) + L"-\r\n";
        headers.flags = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
    }
    const http_request http =
        send_http_request(url, L"GET", {"Invalid data URL.", "Could not download a data file."}, headers);
    const HINTERNET request = http.request.get();
    const DWORD status = status_or_zero(request);
    const auto discard_partial = [&](const char* message) {
        set_credit(credited, 0);
        remove_own_file(destination);
        throw std::runtime_error(message);
    };
    if (have > 0) {
        if (status == 200)
            discard_partial("The server ignored a resumable range; restarting the file.");
        if (status != 206)
            throw_http_status(status);
        const std::wstring expected_range = L"bytes " + std::to_wstring(have) + L"-" +
                                            std::to_wstring(expected_size - 1) + L"/" +
                                            std::to_wstring(expected_size);
        if (query_header_text(request, WINHTTP_QUERY_CONTENT_RANGE) != expected_range)
            discard_partial("Invalid Content-Range; partial file discarded.");
    } else if (status != 200) {
        throw_http_status(status);
    }

    std::ofstream output = open_output(destination, have > 0 ? std::ios::app : std::ios::trunc,
                                       "Could not open a partial data file.");
    const read_buffer buffer(resumable_buffer_size);
    body_writer writer(output, buffer.span());
    for (;;) {
        check_pause_cancel();
        const DWORD read = read_available(request, writer.free_space(), "Data download was interrupted.");
        if (read == 0)
            break;
        if (credited + read > expected_size)
            throw std::runtime_error("Data response exceeds the manifest size.");
        writer.add(read);
        done_bytes += read;
        received_bytes += read;
        credited += read;
    }
    writer.write_out();
    output.flush();
    if (!output)
        throw std::runtime_error("Cannot flush downloaded data. Check disk space.");
    if (std::filesystem::file_size(destination) != expected_size)
        throw std::runtime_error("A downloaded data file has the wrong size.");
}

void download_resumable_with_retry(const std::wstring& url, const std::filesystem::path& destination,
                                   std::uint64_t expected_size, std::optional<bool> is_file) {
    std::uint64_t credited = 0;
    for (int attempt = 0;; ++attempt) {
        check_pause_cancel();
        try {
            // A failed attempt may have changed the file: later ones look again.
            download_resumable(url, destination, expected_size, credited, attempt == 0 ? is_file : std::nullopt);
            return;
        } catch (const std::exception& error) {
            if (attempt == attempt_count - 1 || is_final_http_failure(error.what()))
                throw;
            sleep_interruptible(1000u << attempt);
        }
    }
}

std::uint64_t probe_package_size(const std::wstring& url) {
    const request_slot slot;
    const std::optional<cracked_url> cracked = crack_url(url);
    if (!cracked)
        throw std::runtime_error("Invalid package URL.");
    const http_handle connection = connect_to(*cracked);
    static constexpr std::wstring_view range_prefix = L"bytes 0-0/";

    for (const wchar_t* method : {L"HEAD", L"GET"}) {
        const bool is_get = method == std::wstring_view(L"GET");
        const http_handle request = open_request_on(connection.get(), *cracked, method);
        if (is_get && request.get() != nullptr)
            add_headers(request.get(), L"Range: bytes=0-0\r\n", WINHTTP_ADDREQ_FLAG_ADD);
        if (!send_and_receive(request.get())) {
            check_pause_cancel();
            continue;
        }
        const std::optional<DWORD> status = query_status_code(request.get());
        std::wstring candidate;
        if (status == 200u) {
            if (auto length = query_header_text(request.get(), WINHTTP_QUERY_CONTENT_LENGTH))
                candidate = std::move(*length);
        }
        if (candidate.empty() && is_get && status == 206u) {
            const auto range = query_header_text(request.get(), WINHTTP_QUERY_CONTENT_RANGE);
            if (range && range->starts_with(range_prefix))
                candidate = range->substr(range_prefix.size());
        }
        if (candidate.empty())
            continue;
        if (std::all_of(candidate.begin(), candidate.end(), is_decimal_digit)) {
            // A total too large for 64 bits is no usable size either.
            return parse_decimal_u64(candidate).value_or(0);
        }
    }
    return 0;
}

bool is_decimal_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

}  // namespace orvek
