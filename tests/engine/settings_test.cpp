#include "engine/settings.h"

#include "support/scoped_environment.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using orvek::test::temp_dir;
using orvek::test::write_file;

// Keeps the process-wide settings map as the test found it.
class settings : public testing::Test {
protected:
    void SetUp() override { saved_ = orvek::ini_settings; }
    void TearDown() override { orvek::ini_settings = saved_; }

private:
    std::map<std::wstring, std::wstring> saved_;
};

// Sets (or removes, with nullptr) an environment variable for one scope.
using scoped_env = orvek::test::scoped_environment;

std::wstring lower_case(std::wstring text)
{
    for (auto& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

std::wstring upper_case(std::wstring text)
{
    for (auto& c : text) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    return text;
}

template <typename Reader>
std::string rejection(Reader reader, const wchar_t* url)
{
    scoped_env env(L"ORVEK_TEST_URL", url);
    try {
        reader(L"ORVEK_TEST_URL", L"https://fallback.invalid/");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "accepted";
}

std::wstring endpoint(const std::wstring& url)
{
    scoped_env env(L"ORVEK_TEST_URL", url.c_str());
    return orvek::read_endpoint_url(L"ORVEK_TEST_URL", L"https://fallback.invalid/");
}

std::wstring release_base(const std::wstring& url)
{
    scoped_env env(L"ORVEK_TEST_URL", url.c_str());
    return orvek::read_release_base_url(L"ORVEK_TEST_URL", L"https://fallback.invalid/");
}

TEST_F(settings, settings_file_lines)
{
    temp_dir dir;
    const auto file = dir / "download-endpoints.ini";
    write_file(file,
               "ORVEK_T_SPACED = value\n"
               "#ORVEK_T_COMMENT=1\n"
               "=ORVEK_T_NOKEY\n"
               "ORVEK_T_NO_EQUALS\n"
               "ORVEK_T_EQUALS=a=b=c\r\n"
               "ORVEK_T_EMPTY=\n"
               "ORVEK_T_TWICE=first\n"
               "ORVEK_T_TWICE=second\n"
               "ORVEK_T_TWO_CR=v\r\r\n"
               "ORVEK_T_QUOTED=\"\tx\"\n"
               "ORVEK_T_UTF8=caf\xC3\xA9\n"
               "ORVEK_T_LAST=no line end");
    orvek::load_ini_settings(file);
    const auto& map = orvek::ini_settings;

    EXPECT_EQ(map.at(L"ORVEK_T_SPACED "), L" value");
    EXPECT_FALSE(map.contains(L"ORVEK_T_SPACED"));
    EXPECT_FALSE(map.contains(L"#ORVEK_T_COMMENT"));
    EXPECT_FALSE(map.contains(L""));
    EXPECT_FALSE(map.contains(L"ORVEK_T_NO_EQUALS"));
    EXPECT_EQ(map.at(L"ORVEK_T_EQUALS"), L"a=b=c");
    EXPECT_EQ(map.at(L"ORVEK_T_EMPTY"), L"");
    EXPECT_EQ(map.at(L"ORVEK_T_TWICE"), L"second");
    EXPECT_EQ(map.at(L"ORVEK_T_TWO_CR"), L"v\r");
    EXPECT_EQ(map.at(L"ORVEK_T_QUOTED"), L"\"\tx\"");
    EXPECT_EQ(map.at(L"ORVEK_T_UTF8"), L"caf\u00e9");
    EXPECT_EQ(map.at(L"ORVEK_T_LAST"), L"no line end");

    // A missing file changes nothing; a later file adds and replaces but never removes.
    const auto before = map;
    orvek::load_ini_settings(dir / "missing.ini");
    EXPECT_EQ(map, before);
    // A leading byte order mark is no part of the first key.
    write_file(file, "\xEF\xBB\xBFORVEK_T_TWICE=third\nORVEK_T_NEW=1\n");
    orvek::load_ini_settings(file);
    EXPECT_EQ(map.at(L"ORVEK_T_TWICE"), L"third");
    EXPECT_EQ(map.at(L"ORVEK_T_NEW"), L"1");
    EXPECT_EQ(map.at(L"ORVEK_T_EQUALS"), L"a=b=c");
}

TEST_F(settings, lookup_prefers_environment_then_file_then_default)
{
    orvek::ini_settings[L"ORVEK_T_FROM_FILE"] = L"file";
    orvek::ini_settings[L"ORVEK_T_BOTH"] = L"file";
    orvek::ini_settings[L"ORVEK_T_EMPTY_ENV"] = L"file";
    orvek::ini_settings[L"ORVEK_T_EMPTY_IN_FILE"] = L"";
    orvek::ini_settings[L"Orvek_T_Mixed"] = L"file";

    scoped_env unset(L"ORVEK_T_FROM_FILE", nullptr);
    scoped_env both(L"ORVEK_T_BOTH", L"environment");
    scoped_env empty(L"ORVEK_T_EMPTY_ENV", L"");
    scoped_env lower(L"orvek_t_lower", L"lower");

    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_FROM_FILE", L"default"), L"file");
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_BOTH", L"default"), L"environment");
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_EMPTY_ENV", L"default"), L"default");
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_EMPTY_IN_FILE", L"default"), L"");
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_NOWHERE", L"default"), L"default");
    // Environment names match in any case, settings-file keys exactly.
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_LOWER", L"default"), L"lower");
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_MIXED", L"default"), L"default");
    EXPECT_EQ(orvek::get_setting(L"Orvek_T_Mixed", L"default"), L"file");

    const std::wstring long_value(3000, L'v');
    scoped_env long_env(L"ORVEK_T_LONG", long_value.c_str());
    EXPECT_EQ(orvek::get_setting(L"ORVEK_T_LONG", L"default"), long_value);
}

TEST_F(settings, origin_host_and_address)
{
    const std::wstring ip = orvek::build_origin_ip();
    EXPECT_EQ(orvek::build_origin_url(), L"https://" + ip);
    EXPECT_EQ(std::count(ip.begin(), ip.end(), L'.'), 3);

    const std::wstring host = orvek::origin_host_name();
    EXPECT_TRUE(orvek::is_origin_host(host));
    EXPECT_TRUE(orvek::is_origin_host(upper_case(host)));
    EXPECT_TRUE(orvek::is_origin_host(ip));
    EXPECT_FALSE(orvek::is_origin_host(host + L"."));
    EXPECT_FALSE(orvek::is_origin_host(L"x" + host));
    EXPECT_FALSE(orvek::is_origin_host(L""));

    EXPECT_EQ(orvek::rewrite_origin_url(L"HTTPS://" + upper_case(host) + L"/Data/V"),
              orvek::build_origin_url() + L"/Data/V");
    EXPECT_EQ(orvek::rewrite_origin_url(L"https://" + host + L"/"), orvek::build_origin_url() + L"/");
    for (const std::wstring& kept : {L"https://" + host, L"https://" + host + L":443/v",
                                     L"https://user@" + host + L"/v",
                                     L"https://" + host + L".example/v", L"http://" + host + L"/v"}) {
        EXPECT_EQ(orvek::rewrite_origin_url(kept), kept);
    }

    EXPECT_EQ(orvek::build_release_url(L"https://example.test/releases/", "20240101120000-0123456789ab", L"orvek.zip"),
              L"https://example.test/releases/20240101120000-0123456789ab/orvek.zip");
}

TEST_F(settings, endpoint_and_release_base_rules)
{
    const std::string bad_endpoint = "A required updater endpoint is missing or is not a well-formed HTTPS URL.";
    const std::string bad_base = "A required HTTPS release base URL is missing or malformed.";
    const std::wstring host = orvek::origin_host_name();
    const std::wstring origin = orvek::build_origin_url();

    {
        scoped_env unset(L"ORVEK_TEST_URL", nullptr);
        EXPECT_EQ(orvek::read_endpoint_url(L"ORVEK_TEST_URL", origin + L"/version.txt"), origin + L"/version.txt");
        EXPECT_EQ(orvek::read_release_base_url(L"ORVEK_TEST_URL", origin + L"/releases/"), origin + L"/releases/");
    }
    EXPECT_EQ(endpoint(L"https://example.test/v?x=1#f"), L"https://example.test/v?x=1#f");
    EXPECT_EQ(endpoint(L"HTTPS://" + upper_case(host) + L"/Data/V"), origin + L"/Data/V");
    EXPECT_EQ(endpoint(L"https://" + host + L":8443/v"), L"https://" + host + L":8443/v");
    EXPECT_EQ(release_base(L"https://example.test/r/"), L"https://example.test/r/");
    EXPECT_EQ(release_base(L"https://" + lower_case(host) + L"/data/releases/"), origin + L"/data/releases/");

    for (const wchar_t* url : {L"HTTPS://example.test/v", L"http://example.test/v", L"https://", L"ftp://x/",
                               L" https://example.test/v", L"https://:443/v"}) {
        EXPECT_EQ(rejection(orvek::read_endpoint_url, url), bad_endpoint) << url;
        EXPECT_EQ(rejection(orvek::read_release_base_url, url), bad_base) << url;
    }
    for (const wchar_t* url :
         {L"https://example.test/r", L"https://example.test/r?x/", L"https://example.test/r/#f/"}) {
        EXPECT_EQ(rejection(orvek::read_release_base_url, url), bad_base) << url;
    }

    // An empty value in the settings file is taken, not the default, and fails.
    orvek::ini_settings[L"ORVEK_T_EMPTY_URL"] = L"";
    scoped_env unset(L"ORVEK_T_EMPTY_URL", nullptr);
    EXPECT_THROW(orvek::read_endpoint_url(L"ORVEK_T_EMPTY_URL", origin + L"/version.txt"), std::runtime_error);
}

TEST_F(settings, utf8_conversion)
{
    EXPECT_EQ(orvek::utf8_to_wide(""), L"");
    EXPECT_EQ(orvek::utf8_to_wide("plain"), L"plain");
    EXPECT_EQ(orvek::utf8_to_wide("caf\xC3\xA9 \xF0\x9F\x8E\xB9"), L"caf\u00e9 \U0001F3B9");
    EXPECT_EQ(orvek::utf8_to_wide("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(orvek::utf8_to_wide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

struct winhttp_closer {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using winhttp_handle = std::unique_ptr<void, winhttp_closer>;

std::string direct_ip_outcome(HINTERNET request, const std::wstring& host, const wchar_t* address)
{
    scoped_env env(L"ORVEK_DOWNLOAD_CONNECT_IP", address);
    try {
        orvek::apply_direct_ip_origin(request, host);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "applied";
}

TEST_F(settings, direct_ip_origin_on_a_real_request)
{
    const winhttp_handle session(WinHttpOpen(L"ORVEK Updater/3.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, /*flags*/ 0));
    ASSERT_TRUE(session);
    const winhttp_handle connection(WinHttpConnect(session.get(), L"127.0.0.1", 443, /*reserved*/ 0));
    ASSERT_TRUE(connection);
    const winhttp_handle request(WinHttpOpenRequest(connection.get(), L"GET", L"/", /*version*/ nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                    WINHTTP_FLAG_SECURE));
    ASSERT_TRUE(request);

    const std::string invalid = "Invalid download origin IPv4 address.";
    const std::string too_old =
        "Direct-IP HTTPS requires Windows 10 version 21H1 or newer. Certificate checks remain enabled.";
    const std::wstring host = upper_case(orvek::origin_host_name());

    // Other hosts, the built-in address itself and a missing request are left alone.
    EXPECT_EQ(direct_ip_outcome(nullptr, host, L"bad"), "applied");
    EXPECT_EQ(direct_ip_outcome(request.get(), L"example.test", L"bad"), "applied");
    EXPECT_EQ(direct_ip_outcome(request.get(), orvek::build_origin_ip(), L"bad"), "applied");

    for (const wchar_t* address : {L"1.2.3", L"1.2.3.4.5", L"1.2.3.0004", L"1.2.3.256", L".1.2.3.4", L"1.2.3.4.",
                                   L"1..2.3", L"1.2.3.4 ", L" 1.2.3.4", L"1.2.3.-4", L"a.b.c.d"}) {
        EXPECT_EQ(direct_ip_outcome(request.get(), host, address), invalid) << address;
    }
    orvek::ini_settings[L"ORVEK_DOWNLOAD_CONNECT_IP"] = L"";
    EXPECT_EQ(direct_ip_outcome(request.get(), host, nullptr), invalid);
    orvek::ini_settings.erase(L"ORVEK_DOWNLOAD_CONNECT_IP");

    // Valid addresses reach the platform, which may lack the option.
    for (const wchar_t* address : {L"127.0.0.1", L"010.001.000.255", L"255.255.255.255"}) {
        const std::string outcome = direct_ip_outcome(request.get(), host, address);
        EXPECT_TRUE(outcome == "applied" || outcome == too_old) << outcome;
    }
    // Unset, or set but empty: the built-in address.
    for (const wchar_t* address : {static_cast<const wchar_t*>(nullptr), L""}) {
        const std::string outcome = direct_ip_outcome(request.get(), host, address);
        EXPECT_TRUE(outcome == "applied" || outcome == too_old) << outcome;
    }
}

}  // namespace
