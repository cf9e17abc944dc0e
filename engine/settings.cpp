#include "engine/settings.h"

#include "build_config.h"

#include <climits>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace orvek {

std::map<std::wstring, std::wstring> ini_settings;

namespace {

// Not declared by the MinGW headers.
constexpr DWORD option_resolution_hostname = 165;

constexpr std::wstring_view https_scheme = L"https://";

wchar_t ascii_lower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool equals_ignoring_ascii_case(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

struct url_tail {
    std::wstring_view path;
    std::wstring_view extra;  // query or fragment
};

// Passes only values that begin with a lower-case "https://" and that
// WinHTTP cracks as HTTPS with a host.
std::optional<url_tail> crack_https_url(const std::wstring& value)
{
    if (!value.starts_with(https_scheme)) {
        return std::nullopt;
    }
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    // Non-zero lengths ask for pointers into the value.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(value.c_str(), /*null-terminated*/ 0, /*no decoding or escaping*/ 0, &parts)) {
        return std::nullopt;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTPS || parts.dwHostNameLength == 0) {
        return std::nullopt;
    }
    const auto view = [](const wchar_t* text, DWORD length) {
        return text != nullptr ? std::wstring_view(text, length) : std::wstring_view();
    };
    return url_tail{view(parts.lpszUrlPath, parts.dwUrlPathLength), view(parts.lpszExtraInfo, parts.dwExtraInfoLength)};
}

// Four parts of one to three digits, each at most 255.
bool is_dotted_ipv4(const std::wstring& text)
{
    unsigned parts = 0;
    unsigned digits = 0;
    unsigned value = 0;
    const std::wstring scanned = text + L".";
    for (const wchar_t c : scanned) {
        if (c >= L'0' && c <= L'9') {
            value = value * 10 + static_cast<unsigned>(c - L'0');
            ++digits;
            if (digits > 3 || value > 255) {
                return false;
            }
        } else if (c == L'.') {
            if (digits == 0) {
                return false;
            }
            ++parts;
            digits = 0;
            value = 0;
        } else {
            return false;
        }
    }
    return parts == 4;
}

}  // namespace

std::wstring utf8_to_wide(const std::string& bytes)
{
    if (bytes.empty()) {
        return {};
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        throw std::runtime_error("A text is too long to convert.");
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(CP_UTF8, /*flags*/ 0, bytes.data(), length, /*count only*/ nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, /*flags*/ 0, bytes.data(), length, wide.data(), needed);
    wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return wide;
}

void load_ini_settings(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return;
    }
    // Editors on Windows may begin a UTF-8 file with a byte order mark; it is
    // no part of the first key.
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    std::string line;
    for (bool first = true; std::getline(in, line); first = false) {
        if (first && line.starts_with(byte_order_mark)) {
            line.erase(0, byte_order_mark.size());
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos || equals == 0 || line.front() == '#') {
            continue;
        }
        ini_settings[utf8_to_wide(line.substr(0, equals))] = utf8_to_wide(line.substr(equals + 1));
    }
}

std::wstring get_setting(const wchar_t* name, const std::wstring& fallback)
{
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetEnvironmentVariableW(name, /*size query*/ nullptr, 0);
    if (size == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        const auto found = ini_settings.find(name);
        return found != ini_settings.end() ? found->second : fallback;
    }
    if (size == 0) {
        // Set but empty.
        return fallback;
    }
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
    if (length > 0 && length < size) {
        return std::wstring(buffer.data(), length);
    }
    return fallback;
}

const wchar_t* origin_host_name()
{
    return build_config::origin_host;
}

std::wstring build_origin_ip()
{
    return std::to_wstring(build_config::origin_ip_part_1) + L"." + std::to_wstring(build_config::origin_ip_part_2) +
           L"." + std::to_wstring(build_config::origin_ip_part_3) + L"." +
           std::to_wstring(build_config::origin_ip_part_4);
}

std::wstring build_origin_url()
{
    return std::wstring(https_scheme) + build_origin_ip();
}

bool is_origin_host(const std::wstring& host)
{
    return host == build_origin_ip() || equals_ignoring_ascii_case(host, origin_host_name());
}

std::wstring rewrite_origin_url(const std::wstring& url)
{
    const std::wstring prefix = std::wstring(https_scheme) + origin_host_name() + L"/";
    if (url.size() >= prefix.size() &&
        equals_ignoring_ascii_case(std::wstring_view(url).substr(0, prefix.size()), prefix)) {
        return build_origin_url() + L"/" + url.substr(prefix.size());
    }
    return url;
}

std::wstring read_endpoint_url(const wchar_t* name, const std::wstring& fallback)
{
    const std::wstring value = rewrite_origin_url(get_setting(name, fallback));
    if (!crack_https_url(value)) {
        throw std::runtime_error("A required updater endpoint is missing or is not a well-formed HTTPS URL.");
    }
    return value;
}

std::wstring read_release_base_url(const wchar_t* name, const std::wstring& fallback)
{
    const std::wstring value = rewrite_origin_url(get_setting(name, fallback));
    const auto tail = crack_https_url(value);
    // Some WinHTTP versions leave a fragment in the path instead of the extra part.
    if (!tail || !tail->extra.empty() || tail->path.find(L'#') != std::wstring_view::npos || value.empty() ||
        value.back() != L'/') {
        throw std::runtime_error("A required HTTPS release base URL is missing or malformed.");
    }
    return value;
}

void apply_direct_ip_origin(HINTERNET request, const std::wstring& host)
{
    if (request == nullptr || !equals_ignoring_ascii_case(host, origin_host_name())) {
        return;
    }
    std::wstring address = get_setting(L"ORVEK_DOWNLOAD_CONNECT_IP", build_origin_ip());
    if (!is_dotted_ipv4(address)) {
        throw std::runtime_error("Invalid download origin IPv4 address.");
    }
    // String options of WinHttpSetOption count characters; the terminator is included.
    if (!WinHttpSetOption(request, option_resolution_hostname, address.data(),
                          static_cast<DWORD>(address.size() + 1))) {
        throw std::runtime_error(
            "Direct-IP HTTPS requires Windows 10 version 21H1 or newer. Certificate checks remain enabled.");
    }
}

std::wstring build_release_url(const std::wstring& base, const std::string& release_id, const wchar_t* file_name)
{
    return base + utf8_to_wide(release_id) + L"/" + file_name;
}

}  // namespace orvek
