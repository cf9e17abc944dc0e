// Proves the test harness itself with plain WinHTTP: the prefix trusts the
// test CA (and only it), and the server answers ranges and scripts as the
// transfer tests rely on.

#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.h"

namespace orvek::test {
namespace {

struct internet_closer {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using internet_handle = std::unique_ptr<void, internet_closer>;

struct response {
    DWORD error = 0;  // last error of a failed send, receive or read
    DWORD status = 0;
    std::string body;
    std::wstring content_range;
    std::wstring content_length;
    std::wstring location;
};

std::wstring header(HINTERNET request, DWORD query) {
    wchar_t text[256] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX))
        return L"";
    return text;
}

struct fetch_options {
    const wchar_t* method = L"GET";
    std::wstring headers{};
    bool follow_redirects = true;
    bool ignore_unknown_ca = false;
};

response fetch(const std::wstring& url, const fetch_options& options = {}) {
    const internet_handle session(WinHttpOpen(L"harness check", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                              WINHTTP_NO_PROXY_BYPASS, /*flags*/ 0));
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    EXPECT_TRUE(WinHttpCrackUrl(url.c_str(), /*length: null-terminated*/ 0, /*flags*/ 0, &parts));
    const internet_handle connection(WinHttpConnect(session.get(), host, parts.nPort, /*reserved*/ 0));
    const internet_handle request(WinHttpOpenRequest(connection.get(), options.method, path, /*version*/ nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                     parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!options.follow_redirects) {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    }
    if (options.ignore_unknown_ca) {
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    response answer;
    if (!options.headers.empty())
        WinHttpAddRequestHeaders(request.get(), options.headers.c_str(), static_cast<DWORD>(-1),
                                 WINHTTP_ADDREQ_FLAG_ADD);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, /*headers length*/ 0,
                            WINHTTP_NO_REQUEST_DATA, /*body length*/ 0, /*total length*/ 0, /*context*/ 0) ||
        !WinHttpReceiveResponse(request.get(), /*reserved*/ nullptr)) {
        answer.error = GetLastError();
        return answer;
    }
    DWORD size = sizeof answer.status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &answer.status, &size, WINHTTP_NO_HEADER_INDEX);
    answer.content_range = header(request.get(), WINHTTP_QUERY_CONTENT_RANGE);
    answer.content_length = header(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    answer.location = header(request.get(), WINHTTP_QUERY_LOCATION);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
            answer.error = GetLastError();
            break;
        }
        if (read == 0) break;
        answer.body.append(buffer.data(), read);
    }
    return answer;
}

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

TEST(test_server, trusted_tls_works_and_is_logged_untrusted_fails) {
    const std::string prefix = unique_prefix("tls");
    put_file(prefix + "/hello.txt", "hello");

    std::vector<std::wstring> urls{server_url(prefix + "/hello.txt")};
    if (localhost_resolves()) urls.push_back(server_url_localhost(prefix + "/hello.txt"));
    for (const std::wstring& url : urls) {
        const response answer = fetch(url);
        EXPECT_EQ(answer.error, 0u);
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.body, "hello");
    }
    const response missing = fetch(server_url(prefix + "/nothing"));
    EXPECT_EQ(missing.status, 404u);
    EXPECT_EQ(fetch(plain_http_url(prefix + "/hello.txt")).body, "hello");

    // Wine names the refused chain a secure channel error, Windows a secure failure.
    const response untrusted = fetch(untrusted_server_url(prefix + "/hello.txt"));
    EXPECT_TRUE(untrusted.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
                untrusted.error == ERROR_WINHTTP_SECURE_FAILURE)
        << untrusted.error;
    EXPECT_EQ(untrusted.status, 0u);
    // The refusal is the certificate's and nothing else's.
    EXPECT_EQ(fetch(untrusted_server_url(prefix + "/hello.txt"), {.ignore_unknown_ca = true}).body, "hello");

    const std::vector<logged_request> log = request_log(prefix);
    // The refused handshake never became a request.
    const std::size_t http = urls.size() + 1;
    ASSERT_EQ(log.size(), http + 2);
    EXPECT_EQ(log[http].listener, "http");
    EXPECT_EQ(log[http + 1].listener, "untrusted");
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, prefix + "/hello.txt");
    EXPECT_EQ(log[0].user_agent, "harness check");
    EXPECT_EQ(log[0].listener, "https");
    EXPECT_EQ(log[0].range, "");
    EXPECT_EQ(log[urls.size()].path, prefix + "/nothing");
}

TEST(test_server, scripted_statuses_are_used_in_order_then_normal_service) {
    const std::string path = unique_prefix("statuses") + "/file";
    put_file(path, "body");
    response_rule unavailable;
    unavailable.status = 503;
    unavailable.times = 2;
    response_rule teapot;
    teapot.status = 418;
    script(path, {unavailable, teapot});

    std::vector<DWORD> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(fetch(server_url(path)).status);
    EXPECT_EQ(statuses, (std::vector<DWORD>{503, 503, 418, 200}));
    EXPECT_EQ(fetch(server_url(path)).body, "body");

    script(path, {unavailable});
    script(path, {});  // cleared
    EXPECT_EQ(fetch(server_url(path)).status, 200u);
}

TEST(test_server, ranges_are_answered_exactly) {
    const std::string path = unique_prefix("ranges") + "/data";
    const std::string bytes = pattern(1000);
    put_file(path, bytes);

    response part = fetch(server_url(path), {.headers = L"Range: bytes=10-19\r\n"});
    EXPECT_EQ(part.status, 206u);
    EXPECT_EQ(part.content_range, L"bytes 10-19/1000");
    EXPECT_EQ(part.body, bytes.substr(10, 10));

    part = fetch(server_url(path), {.headers = L"Range: bytes=990-\r\n"});
    EXPECT_EQ(part.status, 206u);
    EXPECT_EQ(part.content_range, L"bytes 990-999/1000");
    EXPECT_EQ(part.body, bytes.substr(990));

    part = fetch(server_url(path), {.headers = L"Range: bytes=1000-\r\n"});
    EXPECT_EQ(part.status, 416u);
    EXPECT_EQ(part.content_range, L"bytes */1000");

    EXPECT_EQ(request_log(path)[0].range, "bytes=10-19");

    put_file(path, "replaced");
    EXPECT_EQ(fetch(server_url(path)).body, "replaced");
}

TEST(test_server, scripted_range_faults) {
    const std::string path = unique_prefix("faults") + "/data";
    const std::string bytes = pattern(100000);
    put_file(path, bytes);

    response_rule ignore;
    ignore.ignore_range = true;
    response_rule wrong_range;
    wrong_range.content_range = "bytes 0-1/2";
    response_rule longer;
    longer.extra_bytes = 5;
    response_rule dropped;
    dropped.drop_after = 4096;
    response_rule reset = dropped;
    reset.reset = true;
    response_rule close_delimited;
    close_delimited.no_content_length = true;
    script(path, {ignore, wrong_range, longer, dropped, reset, close_delimited});

    const fetch_options range{.headers = L"Range: bytes=100-199\r\n"};
    response answer = fetch(server_url(path), range);
    EXPECT_EQ(answer.status, 200u);
    EXPECT_EQ(answer.body, bytes);

    answer = fetch(server_url(path), range);
    EXPECT_EQ(answer.status, 206u);
    EXPECT_EQ(answer.content_range, L"bytes 0-1/2");
    EXPECT_EQ(answer.body, bytes.substr(100, 100));

    answer = fetch(server_url(path), range);
    EXPECT_EQ(answer.content_range, L"bytes 100-199/100000");
    EXPECT_EQ(answer.body, bytes.substr(100, 100) + std::string(5, '\0'));

    // Wine reads a plain close as the end of the body; a reset fails the read.
    answer = fetch(server_url(path));
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.body, bytes.substr(0, 4096));
    answer = fetch(server_url(path));
    EXPECT_NE(answer.error, 0u);
    EXPECT_LE(answer.body.size(), 4096u);

    answer = fetch(server_url(path));
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.body, bytes);
}

TEST(test_server, head_redirects_delays_and_peak_in_flight) {
    const std::string prefix = unique_prefix("flow");
    put_file(prefix + "/target", "target");
    response_rule no_length;
    no_length.head_without_length = true;
    script(prefix + "/target", {no_length});
    response head = fetch(server_url(prefix + "/target"), {.method = L"HEAD"});
    EXPECT_EQ(head.status, 200u);
    EXPECT_EQ(head.content_length, L"");
    head = fetch(server_url(prefix + "/target"), {.method = L"HEAD"});
    EXPECT_EQ(head.content_length, L"6");
    EXPECT_EQ(head.body, "");

    response_rule redirect;
    redirect.redirect_to = prefix + "/target";
    redirect.times = 2;
    script(prefix + "/moved", {redirect});

    const response not_followed = fetch(server_url(prefix + "/moved"), {.follow_redirects = false});
    EXPECT_EQ(not_followed.status, 302u);
    EXPECT_EQ(not_followed.location, std::wstring(redirect.redirect_to.begin(), redirect.redirect_to.end()));
    EXPECT_EQ(fetch(server_url(prefix + "/moved")).body, "target");

    response_rule slow;
    slow.delay_ms = 1000;
    slow.times = 4;
    put_file(prefix + "/slow", "slow");
    script(prefix + "/slow", {slow});
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) clients.emplace_back([&] { EXPECT_EQ(fetch(server_url(prefix + "/slow")).body, "slow"); });
    for (auto& client : clients) client.join();
    EXPECT_EQ(peak_in_flight(prefix + "/slow"), 4);
    EXPECT_EQ(peak_in_flight(prefix + "/target"), 1);
    EXPECT_EQ(request_log(prefix + "/target")[0].method, "HEAD");
}

TEST(test_server, large_files_are_fast) {
    const std::string path = unique_prefix("large") + "/big";
    const std::string bytes = pattern(24 << 20);
    put_file(path, bytes);
    const auto start = std::chrono::steady_clock::now();
    const response answer = fetch(server_url(path));
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(answer.error, 0u);
    EXPECT_TRUE(answer.body == bytes);
    RecordProperty("seconds_for_24_MiB", std::to_string(seconds));
    EXPECT_LT(seconds, 10.0);
}

}  // namespace
}  // namespace orvek::test
