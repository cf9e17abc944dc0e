#pragma once

// Client side of the HTTPS test server (tests/server/https_server.py) that
// ctest starts as a fixture on 127.0.0.1. Tests publish files into its served
// folder, script per-request behaviour for a path and read back what the
// client sent. Every test should use paths under its own unique prefix
// (unique_prefix()) so that suites running in parallel never meet.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvek::test {

// "https://127.0.0.1:<port>" + path; the certificate is trusted in the test prefix.
std::wstring server_url(std::string_view path);
// The same for the host name "localhost".
std::wstring server_url_localhost(std::string_view path);
// Whether this machine resolves "localhost" (a bare build root may have no
// hosts file); tests of the name skip that part when it does not.
bool localhost_resolves();
// A second server whose certificate comes from a CA the prefix does not trust.
std::wstring untrusted_server_url(std::string_view path);
// Plain-HTTP listener (for redirect-to-http tests).
std::wstring plain_http_url(std::string_view path);

// A fresh path prefix such as "/t/<suite>-<n>-<pid>" for one test.
std::string unique_prefix(std::string_view name);

// Publishes bytes at path (served for GET and HEAD, with Range support).
// The file appears whole or not at all.
void put_file(std::string_view path, std::string_view bytes);

// One scripted response. Rules of a path are used in order, each for `times`
// requests; when they are used up the path is served normally.
struct response_rule {
    int status = 0;                 // answer this status (0: normal handling)
    bool ignore_range = false;      // answer 200 with the whole body
    std::string content_range;      // send this Content-Range instead of the right one
    bool no_content_range = false;  // a 206 without any Content-Range
    std::int64_t extra_bytes = 0;   // send this many bytes more than the range or file
                                    // (Content-Length counts them, so they arrive)
    std::int64_t missing_bytes = 0; // send this many bytes fewer than promised, then close
    std::int64_t drop_after = -1;   // close the connection after this many body bytes
    // How a cut transfer (missing_bytes, drop_after) ends: a plain close reads
    // under Wine as an early, clean end of the body (WinHttpReadData gives 0);
    // a reset makes the read fail, and bytes the client had not read yet may
    // be lost with it.
    bool reset = false;
    int delay_ms = 0;               // wait before answering
    int silent_ms = 0;              // answer nothing; close after this long
                                    // or when the client hangs up
    int bytes_per_second = 0;       // send the body this slowly (for at most
                                    // two minutes, then the rest at once)
    bool no_content_length = false; // close-delimited body
    bool head_without_length = false;
    std::string redirect_to;        // answer 302 with this Location
    int times = 1;
};
// Replaces the rules of path (an empty list clears them). Rules count every
// request to the path, HEAD included, on any listener.
void script(std::string_view path, const std::vector<response_rule>& rules);

struct logged_request {
    std::string method;
    std::string path;
    std::string range;            // "" when absent
    std::string accept_encoding;  // "" when absent
    std::string user_agent;
    std::string listener;         // "https", "untrusted" or "http"
};
// Requests whose path begins with prefix, in arrival order.
std::vector<logged_request> request_log(std::string_view prefix);
// Most requests under prefix that were in flight at one moment.
int peak_in_flight(std::string_view prefix);

}  // namespace orvek::test
