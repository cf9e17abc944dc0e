#pragma once

// Configuration: environment first, then download-endpoints.ini, then the
// built-in default; and what the updater knows about the default release
// server (its host name and built-in address).

#include <windows.h>
#include <winhttp.h>

#include <filesystem>
#include <map>
#include <string>

namespace orvek {

// Filled only by load_ini_settings; never cleared for the life of the process.
extern std::map<std::wstring, std::wstring> ini_settings;

std::wstring utf8_to_wide(const std::string& bytes);

void load_ini_settings(const std::filesystem::path& file);

std::wstring get_setting(const wchar_t* name, const std::wstring& fallback);

// The default release server's host name (a build-time constant).
const wchar_t* origin_host_name();
std::wstring build_origin_ip();
std::wstring build_origin_url();
bool is_origin_host(const std::wstring& host);
std::wstring rewrite_origin_url(const std::wstring& url);

std::wstring read_endpoint_url(const wchar_t* name, const std::wstring& fallback);
std::wstring read_release_base_url(const wchar_t* name, const std::wstring& fallback);

// Pins name resolution of the default host to ORVEK_DOWNLOAD_CONNECT_IP.
void apply_direct_ip_origin(HINTERNET request, const std::wstring& host);

std::wstring build_release_url(const std::wstring& base, const std::string& release_id,
                               const wchar_t* file_name);

}  // namespace orvek
