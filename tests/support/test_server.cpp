// Client side of the HTTPS test server. It reaches the server's control
// channel over the plain-HTTP listener with WinHTTP of its own and writes
// served files straight into the server's folder through Wine's Z: drive; it
// shares no code with the engine under test.

#include "support/test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace orvek::test {
namespace {

struct internet_closer {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using internet_handle = std::unique_ptr<void, internet_closer>;

std::wstring widen(std::string_view text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, /*flags*/ 0, text.data(), static_cast<int>(text.size()),
                                           /*output*/ nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, /*flags*/ 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string percent_encode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The state folder that ctest names in ORVEK_TEST_STATE_DIR, a host path
// that Wine shows as drive Z:.
std::filesystem::path state_dir() {
    const char* value = std::getenv("ORVEK_TEST_STATE_DIR");
    if (value == nullptr || *value == '\0')
        throw std::runtime_error("ORVEK_TEST_STATE_DIR is not set; run the tests through ctest");
    std::wstring path = widen(value);
    if (path.size() >= 2 && path[1] == L':') return path;
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

struct server_ports {
    int https = 0;
    int untrusted = 0;
    int http = 0;
};

int port_of(const std::string& json, const char* name) {
    const std::regex pattern(std::string("\"") + name + "\"\\s*:\\s*([0-9]+)");
    std::smatch match;
    if (!std::regex_search(json, match, pattern))
        throw std::runtime_error(std::string("server.json names no ") + name);
    return std::stoi(match[1].str());
}

const server_ports& ports() {
    static const server_ports known = [] {
        const auto file = state_dir() / L"server.json";
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw std::runtime_error("the test server is not running (no " + file.string() +
                                     "); ctest starts it through the test_server fixture, or by hand: "
                                     "tests/server/server_ctl.py start <build>/test-state");
        std::stringstream text;
        text << in.rdbuf();
        return server_ports{port_of(text.str(), "https_port"), port_of(text.str(), "untrusted_port"),
                            port_of(text.str(), "http_port")};
    }();
    return known;
}

HINTERNET control_session() {
    static const internet_handle session = [] {
        internet_handle opened(WinHttpOpen(L"ORVEK test harness", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, /*flags*/ 0));
        if (!opened) throw std::runtime_error("WinHttpOpen failed for the test server's control channel");
        WinHttpSetTimeouts(opened.get(), 5000, 5000, 30000, 30000);
        return opened;
    }();
    return session.get();
}

// One request on the control channel; returns the body of a 200 answer.
std::string control(const wchar_t* method, const std::string& target, const std::string& body = {}) {
    const auto failed = [&](const std::string& why) {
        return std::runtime_error("test server control request " + target + " failed: " + why +
                                  " (Windows error " + std::to_string(GetLastError()) + ")");
    };
    const internet_handle connection(
        WinHttpConnect(control_session(), L"127.0.0.1", static_cast<INTERNET_PORT>(ports().http), /*reserved*/ 0));
    if (!connection) throw failed("connect");
    const internet_handle request(WinHttpOpenRequest(connection.get(), method, widen(target).c_str(),
                                                     /*version*/ nullptr, WINHTTP_NO_REFERER,
                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, /*flags*/ 0));
    if (!request) throw failed("open");
    const auto size = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, /*headers length*/ 0,
                            const_cast<char*>(body.data()), size, size, /*context*/ 0) ||
        !WinHttpReceiveResponse(request.get(), /*reserved*/ nullptr))
        throw failed("send");

    DWORD status = 0;
    DWORD status_size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX);
    std::string answer;
    char buffer[16384];
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &read)) throw failed("read");
        if (read == 0) break;
        answer.append(buffer, read);
    }
    if (status != 200) throw failed("HTTP " + std::to_string(status) + ": " + answer);
    return answer;
}

std::string rule_line(const response_rule& rule) {
    std::ostringstream line;
    line << "status=" << rule.status << "&ignore_range=" << rule.ignore_range
         << "&content_range=" << percent_encode(rule.content_range) << "&no_content_range=" << rule.no_content_range
         << "&extra_bytes=" << rule.extra_bytes << "&missing_bytes=" << rule.missing_bytes
         << "&drop_after=" << rule.drop_after << "&reset=" << rule.reset << "&delay_ms=" << rule.delay_ms
         << "&silent_ms=" << rule.silent_ms << "&bytes_per_second=" << rule.bytes_per_second
         << "&no_content_length=" << rule.no_content_length << "&head_without_length=" << rule.head_without_length
         << "&redirect_to=" << percent_encode(rule.redirect_to) << "&times=" << rule.times << "\n";
    return line.str();
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::wstring url(const wchar_t* scheme_and_host, int port, std::string_view path) {
    return scheme_and_host + std::to_wstring(port) + widen(path);
}

}  // namespace

std::wstring server_url(std::string_view path) { return url(L"https://127.0.0.1:", ports().https, path); }

std::wstring server_url_localhost(std::string_view path) {
    return url(L"https://localhost:", ports().https, path);
}

bool localhost_resolves() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    addrinfo* found = nullptr;
    const bool resolved = getaddrinfo("localhost", /*service*/ nullptr, /*hints*/ nullptr, &found) == 0;
    if (found) freeaddrinfo(found);
    WSACleanup();
    return resolved;
}

std::wstring untrusted_server_url(std::string_view path) {
    return url(L"https://127.0.0.1:", ports().untrusted, path);
}

std::wstring plain_http_url(std::string_view path) { return url(L"http://127.0.0.1:", ports().http, path); }

std::string unique_prefix(std::string_view name) {
    // Wine reuses process ids quickly, so the process's start time joins its id.
    static const std::string process_tag = [] {
        FILETIME created{}, exited{}, kernel{}, user{};
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        char tag[64];
        std::snprintf(tag, sizeof tag, "%lu-%lx%08lx", GetCurrentProcessId(), created.dwHighDateTime & 0xffff,
                      created.dwLowDateTime);
        return std::string(tag);
    }();
    static std::atomic<unsigned> counter{0};
    std::string clean;
    for (const char c : name)
        clean += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    return "/t/" + clean + "-" + std::to_string(++counter) + "-" + process_tag;
}

void put_file(std::string_view path, std::string_view bytes) {
    const std::string decoded = percent_decode(path.substr(0, path.find('?')));
    if (decoded.empty() || decoded[0] != '/') throw std::invalid_argument("put_file needs a path that starts with /");
    std::filesystem::path file = state_dir() / L"www";
    for (const std::string& part : split(decoded.substr(1), '/')) {
        if (part.empty() || part == "." || part == ".." || part.find_first_of("\\:") != std::string::npos)
            throw std::invalid_argument("put_file cannot publish " + std::string(path));
        file /= widen(part);
    }
    std::filesystem::create_directories(file.parent_path());

    // Written beside the target, then moved over it: the server never sees half a file.
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temporary = file;
    temporary += L".put-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) throw std::runtime_error("put_file could not write " + temporary.string());
    }
    if (!MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        throw std::runtime_error("put_file could not publish " + file.string() + " (Windows error " +
                                 std::to_string(error) + ")");
    }
}

void script(std::string_view path, const std::vector<response_rule>& rules) {
    std::string body;
    for (const response_rule& rule : rules) body += rule_line(rule);
    control(L"POST", "/__control/script?path=" + percent_encode(path), body);
}

std::vector<logged_request> request_log(std::string_view prefix) {
    std::vector<logged_request> log;
    for (const std::string& line : split(control(L"GET", "/__control/log?prefix=" + percent_encode(prefix)), '\n')) {
        if (line.empty()) continue;
        const std::vector<std::string> fields = split(line, '\t');
        if (fields.size() != 6) throw std::runtime_error("test server sent a malformed log line: " + line);
        log.push_back({percent_decode(fields[0]), percent_decode(fields[5]), percent_decode(fields[1]),
                       percent_decode(fields[2]), percent_decode(fields[3]), percent_decode(fields[4])});
    }
    return log;
}

int peak_in_flight(std::string_view prefix) {
    return std::stoi(control(L"GET", "/__control/peak?prefix=" + percent_encode(prefix)));
}

}  // namespace orvek::test
