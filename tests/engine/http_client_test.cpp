#include "engine/http_client.h"

#include "engine/run_state.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Scripts name only the rule fields they change; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace orvek::test;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

class http_client : public transfer_test {};

constexpr wchar_t retry_status[] = L"Internet connection lost. Retrying in 5 seconds (up to four attempts).";

std::string as_text(const std::vector<char>& body) {
    return std::string(body.begin(), body.end());
}

std::string narrow(const std::wstring& ascii) {
    return std::string(ascii.begin(), ascii.end());
}

std::chrono::milliseconds since(steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
}

// The shortened length of `count` waits of `milliseconds` each.
std::chrono::milliseconds waits(int count, int milliseconds) {
    return std::chrono::milliseconds(count * milliseconds / static_cast<int>(transfer_test::divisor));
}

std::vector<std::string> ranges_of(const std::vector<logged_request>& log) {
    std::vector<std::string> ranges;
    for (const logged_request& request : log)
        ranges.push_back(request.range);
    return ranges;
}

TEST_F(http_client, metadata_retry_rules) {
    const std::string path = unique_prefix("metadata") + "/version";
    const std::wstring url = server_url(path);
    put_file(path, "20240101000000-abcdef012345\n");

    EXPECT_EQ(as_text(orvek::fetch_metadata_with_retry(url)), "20240101000000-abcdef012345\n");
    auto log = request_log(path);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].user_agent, "ORVEK Updater/3.0");
    EXPECT_EQ(log[0].range, "");

    // A client error is final: no wait, no status text.
    script(path, {{.status = 404}});
    orvek::set_status(L"Checking.");
    EXPECT_EQ(error_of([&] { orvek::fetch_metadata_with_retry(url); }), "Update server returned HTTP 404.");
    EXPECT_EQ(request_log(path).size(), 2u);
    EXPECT_EQ(current_status(), L"Checking.");

    std::size_t requests = 2;
    for (const int status : {408, 429, 500}) {
        script(path, {{.status = status, .times = 4}});
        orvek::set_status(L"Checking.");
        const auto start = steady::now();
        EXPECT_EQ(error_of([&] { orvek::fetch_metadata_with_retry(url); }),
                  "Update server returned HTTP " + std::to_string(status) + ".");
        EXPECT_GE(since(start), waits(3, 5000)) << status;
        requests += 4;
        EXPECT_EQ(request_log(path).size(), requests) << status;
        EXPECT_EQ(current_status(), retry_status);
    }

    // A connection that drops mid-body is a failed attempt too.
    put_file(path, patterned_bytes(200000));
    script(path, {{.drop_after = 1000, .times = 4}});
    EXPECT_NE(error_of([&] { orvek::fetch_metadata_with_retry(url); }), "");
    requests += 4;
    EXPECT_EQ(request_log(path).size(), requests);

    script(path, {{.status = 503, .times = 2}});
    EXPECT_EQ(orvek::fetch_metadata_with_retry(url).size(), 200000u);
    requests += 3;
    EXPECT_EQ(request_log(path).size(), requests);

    // A cancel during the 5 s wait ends it at once.
    orvek::wait_divisor = 1;
    script(path, {{.status = 500, .times = 4}});
    std::thread canceller([] {
        std::this_thread::sleep_for(300ms);
        orvek::request_cancel();
    });
    const auto start = steady::now();
    EXPECT_EQ(error_of([&] { orvek::fetch_metadata_with_retry(url); }), orvek::cancelled_at_checkpoint_text);
    canceller.join();
    EXPECT_LT(since(start), 3s);
}

TEST_F(http_client, silent_server_fails_within_the_time_outs) {
    const std::string path = unique_prefix("silent") + "/version";
    const std::wstring url = server_url(path);
    put_file(path, "v");

    // No response head: the attempt ends by the 15 s time-out, the next succeeds.
    script(path, {{.silent_ms = 120000}});
    auto start = steady::now();
    EXPECT_EQ(as_text(orvek::fetch_metadata_with_retry(url)), "v");
    EXPECT_LT(since(start), 25s);
    EXPECT_EQ(request_log(path).size(), 2u);

    // A cancel acts once the blocked call gives up.
    script(path, {{.silent_ms = 120000, .times = 4}});
    std::thread canceller([] {
        std::this_thread::sleep_for(1s);
        orvek::request_cancel();
    });
    start = steady::now();
    EXPECT_EQ(error_of([&] { orvek::fetch_metadata_with_retry(url); }), orvek::cancelled_at_checkpoint_text);
    canceller.join();
    EXPECT_LT(since(start), 20s);
    EXPECT_EQ(request_log(path).size(), 3u);
}

TEST_F(http_client, metadata_size_limit) {
    const std::string path = unique_prefix("limit") + "/m";
    put_file(path, std::string(16'777'216, 'm'));
    EXPECT_EQ(orvek::fetch_metadata(server_url(path)).size(), 16'777'216u);
    put_file(path, std::string(16'777'217, 'm'));
    EXPECT_EQ(error_of([&] { orvek::fetch_metadata(server_url(path)); }),
              "Update metadata exceeds the safe size limit.");
}

TEST_F(http_client, resumable_download_resumes_and_credits_once) {
    const temp_dir folder("resume");
    const std::string path = unique_prefix("resume") + "/asset";
    const std::wstring url = server_url(path);
    const std::string content = patterned_bytes(600000, 3);
    put_file(path, content);
    const auto dest = folder / "data" / "asset.part";

    script(path, {{.drop_after = 100000, .times = 3}});
    std::uint64_t credited = 0;
    const std::set<std::string> interrupted = {"Data download was interrupted.",
                                               "A downloaded data file has the wrong size."};
    for (std::uint64_t attempt = 1; attempt <= 3; ++attempt) {
        const std::string error = error_of([&] { orvek::download_resumable(url, dest, content.size(), credited); });
        EXPECT_TRUE(interrupted.contains(error)) << error;
        const std::uint64_t on_disk = std::filesystem::file_size(dest);
        EXPECT_EQ(on_disk, attempt * 100000);
        EXPECT_EQ(credited, on_disk);
        EXPECT_EQ(orvek::done_bytes.load(), on_disk);
        EXPECT_EQ(orvek::received_bytes.load(), on_disk);
    }
    EXPECT_NO_THROW(orvek::download_resumable(url, dest, content.size(), credited));
    EXPECT_TRUE(same_bytes(read_file(dest), content));
    EXPECT_EQ(credited, content.size());
    EXPECT_EQ(orvek::done_bytes.load(), content.size());
    EXPECT_EQ(orvek::received_bytes.load(), content.size());
    EXPECT_EQ(ranges_of(request_log(path)),
              (std::vector<std::string>{"", "bytes=100000-", "bytes=200000-", "bytes=300000-"}));

    // Complete already: nothing is asked.
    EXPECT_NO_THROW(orvek::download_resumable(url, dest, content.size(), credited));
    EXPECT_EQ(request_log(path).size(), 4u);
    EXPECT_EQ(orvek::done_bytes.load(), content.size());

    // Longer than expected: fetched again from the start with a plain GET.
    write_file(dest, content + "tail");
    EXPECT_NO_THROW(orvek::download_resumable_with_retry(url, dest, content.size()));
    EXPECT_TRUE(same_bytes(read_file(dest), content));
    EXPECT_EQ(request_log(path).back().range, "");

    // Retry waits of 1, 2 and 4 s, and the fourth attempt succeeds.
    std::filesystem::remove(dest);
    script(path, {{.status = 503, .times = 3}});
    const auto start = steady::now();
    EXPECT_NO_THROW(orvek::download_resumable_with_retry(url, dest, content.size()));
    EXPECT_GE(since(start), waits(1, 7000));
    EXPECT_EQ(request_log(path).size(), 9u);
    EXPECT_TRUE(same_bytes(read_file(dest), content));

    // Bytes already on disk are credited once over all attempts.
    reset_counters();
    write_file(dest, content.substr(0, 1000));
    script(path, {{.drop_after = 50000, .times = 3}});
    EXPECT_NO_THROW(orvek::download_resumable_with_retry(url, dest, content.size()));
    EXPECT_TRUE(same_bytes(read_file(dest), content));
    EXPECT_EQ(orvek::done_bytes.load(), content.size());
    EXPECT_EQ(orvek::received_bytes.load(), content.size() - 1000);
    EXPECT_EQ(request_log(path).size(), 13u);

    // Size 0 with no file: no request, no file.
    const auto empty = folder / "empty.part";
    std::uint64_t empty_credit = 0;
    EXPECT_NO_THROW(orvek::download_resumable(url, empty, 0, empty_credit));
    EXPECT_FALSE(std::filesystem::exists(empty));
    EXPECT_EQ(request_log(path).size(), 13u);
}

TEST_F(http_client, resumable_download_rejects_bad_answers) {
    const temp_dir folder("reject");
    const std::string path = unique_prefix("reject") + "/asset";
    const std::wstring url = server_url(path);
    const std::string content = patterned_bytes(600000, 5);
    put_file(path, content);
    const auto dest = folder / "asset.part";

    struct discard_case {
        orvek::test::response_rule rule;
        const char* message;
    };
    const discard_case discards[] = {
        {{.ignore_range = true}, "The server ignored a resumable range; restarting the file."},
        {{.content_range = "bytes 1000-599999/600001"}, "Invalid Content-Range; partial file discarded."},
        {{.content_range = "bytes 1000-599998/600000"}, "Invalid Content-Range; partial file discarded."},
        {{.content_range = "bytes 0-599999/600000"}, "Invalid Content-Range; partial file discarded."},
    };
    for (const discard_case& c : discards) {
        write_file(dest, content.substr(0, 1000));
        script(path, {c.rule});
        std::uint64_t credited = 0;
        EXPECT_EQ(error_of([&] { orvek::download_resumable(url, dest, content.size(), credited); }), c.message);
        EXPECT_FALSE(std::filesystem::exists(dest)) << c.message;
        EXPECT_EQ(credited, 0u);
        EXPECT_EQ(orvek::done_bytes.load(), 0u);
        EXPECT_EQ(request_log(path).back().range, "bytes=1000-");
    }

    // 416 is final under the HTTP rule and keeps the partial file.
    write_file(dest, content.substr(0, 1000));
    script(path, {{.status = 416}});
    const std::size_t before = request_log(path).size();
    EXPECT_EQ(error_of([&] { orvek::download_resumable_with_retry(url, dest, content.size()); }),
              "Update server returned HTTP 416.");
    EXPECT_EQ(request_log(path).size(), before + 1);
    EXPECT_EQ(std::filesystem::file_size(dest), 1000u);

    // 206 to a request without a range is no answer to it.
    std::filesystem::remove(dest);
    script(path, {{.status = 206}});
    std::uint64_t credited = 0;
    EXPECT_EQ(error_of([&] { orvek::download_resumable(url, dest, content.size(), credited); }),
              "Update server returned HTTP 206.");

    // More body than expected fails before the surplus is written.
    script(path, {{.extra_bytes = 10}});
    credited = 0;
    EXPECT_EQ(error_of([&] { orvek::download_resumable(url, dest, content.size(), credited); }),
              "Data response exceeds the manifest size.");
    const std::string written = read_file(dest);
    EXPECT_LE(written.size(), content.size());
    EXPECT_TRUE(same_bytes(written, content.substr(0, written.size())));
}

TEST_F(http_client, whole_file_download_counts_each_file_once) {
    const temp_dir folder("file");
    const std::string path = unique_prefix("file") + "/orvek.zip";
    const std::wstring url = server_url(path);
    const std::string content = patterned_bytes(300000, 9);
    put_file(path, content);
    const auto dest = folder / "work" / "orvek.zip";

    orvek::done_bytes = 5000;  // bytes of an earlier file of this attempt
    script(path, {{.drop_after = 100000}, {.status = 500}});
    EXPECT_NO_THROW(orvek::download_file_with_retry(url, dest));
    EXPECT_TRUE(same_bytes(read_file(dest), content));
    EXPECT_EQ(orvek::total_files.load(), 1u);
    EXPECT_EQ(orvek::total_bytes.load(), content.size());
    EXPECT_EQ(orvek::finished_files.load(), 1u);
    EXPECT_EQ(orvek::done_bytes.load(), 5000 + content.size());
    EXPECT_GE(orvek::received_bytes.load(), content.size());
    EXPECT_EQ(request_log(path).size(), 3u);

    script(path, {{.status = 403}});
    EXPECT_EQ(error_of([&] { orvek::download_file_with_retry(url, dest); }), "Update server returned HTTP 403.");
    EXPECT_EQ(request_log(path).size(), 4u);
    EXPECT_EQ(orvek::total_files.load(), 1u);
}

TEST_F(http_client, cancel_acts_while_a_slow_body_arrives) {
    const temp_dir folder("slow");
    const std::string path = unique_prefix("slow") + "/asset";
    const std::wstring url = server_url(path);
    put_file(path, patterned_bytes(600000));
    script(path, {{.bytes_per_second = 2000, .times = 2}});
    bool counted = false;
    EXPECT_TRUE(cancel_acts_on_a_slow_line([&] { orvek::download_file(url, folder / "file", counted); }));
    std::uint64_t credited = 0;
    EXPECT_TRUE(cancel_acts_on_a_slow_line([&] { orvek::download_resumable(url, folder / "part", 600000, credited); }));
    // The bytes counted before the cancel are in the file, ready to resume.
    EXPECT_EQ(std::filesystem::file_size(folder / "part"), credited);
}

TEST_F(http_client, probe_package_size) {
    const std::string path = unique_prefix("probe") + "/client-libraries.zip";
    const std::wstring url = server_url(path);
    put_file(path, patterned_bytes(12345));

    EXPECT_EQ(orvek::probe_package_size(url), 12345u);
    auto log = request_log(path);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "HEAD");

    script(path, {{.head_without_length = true}});
    EXPECT_EQ(orvek::probe_package_size(url), 12345u);
    log = request_log(path);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].method, "HEAD");
    EXPECT_EQ(log[2].method, "GET");
    EXPECT_EQ(log[2].range, "bytes=0-0");

    script(path, {{.status = 404, .times = 2}});
    EXPECT_EQ(orvek::probe_package_size(url), 0u);
    for (const char* total : {"abc", "+12", "123456789012345678901", ""}) {
        script(path, {{.head_without_length = true}, {.content_range = std::string("bytes 0-0/") + total}});
        EXPECT_EQ(orvek::probe_package_size(url), 0u) << total;
    }
    EXPECT_EQ(error_of([] { orvek::probe_package_size(L"not a url"); }), "Invalid package URL.");
}

TEST_F(http_client, request_gate_bounds_requests_in_flight) {
    for (const std::uint64_t limit : {1u, 2u}) {
        const std::string prefix = unique_prefix("gate");
        const std::string path = prefix + "/pointer";
        put_file(path, "x");
        script(path, {{.delay_ms = 200, .times = 4}});
        set_max_connections(limit);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&] { EXPECT_EQ(as_text(orvek::fetch_metadata(server_url(path))), "x"); });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(peak_in_flight(prefix), static_cast<int>(limit));
    }
}

TEST_F(http_client, redirects_certificates_and_urls) {
    const std::string prefix = unique_prefix("redirect");
    const std::string target = prefix + "/target";
    put_file(target, "moved");

    script(prefix + "/secure", {{.redirect_to = narrow(server_url(target))}});
    EXPECT_EQ(as_text(orvek::fetch_metadata(server_url(prefix + "/secure"))), "moved");
    EXPECT_EQ(request_log(target).size(), 1u);

    // Never from HTTPS down to plain HTTP.
    const std::string plain_target = prefix + "/plain";
    put_file(plain_target, "insecure");
    script(prefix + "/downgrade", {{.redirect_to = narrow(plain_http_url(plain_target))}});
    // The platform either hands back the 302 or fails the request.
    const std::string downgrade = error_of([&] { orvek::fetch_metadata(server_url(prefix + "/downgrade")); });
    EXPECT_TRUE(downgrade == "Update server returned HTTP 302." ||
                downgrade == "Could not download update information.")
        << downgrade;
    EXPECT_TRUE(request_log(plain_target).empty());

    // The automatic-proxy session serves other host names.
    if (localhost_resolves()) {
        EXPECT_EQ(as_text(orvek::fetch_metadata(server_url_localhost(target))), "moved");
    }

    const std::wstring untrusted = untrusted_server_url(target);
    EXPECT_EQ(error_of([&] { orvek::fetch_metadata(untrusted); }), "Could not download update information.");
    const temp_dir folder("cert");
    bool counted = false;
    EXPECT_EQ(error_of([&] { orvek::download_file(untrusted, folder / "f", counted); }),
              "Could not download an update file.");
    std::uint64_t credited = 0;
    EXPECT_EQ(error_of([&] { orvek::download_resumable(untrusted, folder / "r", 5, credited); }),
              "Could not download a data file.");
    EXPECT_FALSE(std::filesystem::exists(folder / "f"));

    EXPECT_EQ(error_of([] { orvek::fetch_metadata(L"no url"); }), "Invalid update URL.");
    EXPECT_EQ(error_of([&] { orvek::download_file(L"no url", folder / "f", counted); }), "Invalid download URL.");
    EXPECT_EQ(error_of([&] { orvek::download_resumable(L"no url", folder / "r", 5, credited); }),
              "Invalid data URL.");
}

}  // namespace
