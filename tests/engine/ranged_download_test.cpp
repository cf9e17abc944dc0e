#include "engine/ranged_download.h"

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
namespace fs = std::filesystem;

class ranged_download : public transfer_test {};

constexpr std::uint64_t two_part_size = orvek::multipart_threshold;
constexpr std::uint64_t half = two_part_size / 2;

// One published file and its download paths.
struct published {
    std::string path;
    std::wstring url;
    std::string content;
    std::string sha256;
    fs::path dest;

    published(const temp_dir& folder, std::string_view name, std::size_t size, unsigned seed = 11)
        : path(unique_prefix(name) + "/asset"), url(server_url(path)), content(patterned_bytes(size, seed)),
          sha256(sha256_of(content)), dest(folder / (std::string(name) + ".part")) {
        put_file(path, content);
    }

    fs::path with(const char* suffix) const {
        fs::path file = dest;
        file += suffix;
        return file;
    }
    fs::path state() const { return with(".resume"); }
    fs::path part(int index) const { return with(index == 0 ? ".range0" : ".range1"); }

    void download() const { orvek::download_multipart(url, dest, content.size(), sha256); }
    std::string download_error() const {
        return error_of([&] { download(); });
    }
    std::vector<logged_request> log() const { return request_log(path); }
};

std::string state_text(const std::wstring& url, std::uint64_t size, const std::string& sha256) {
    return std::string(url.begin(), url.end()) + "\nORVEK-RANGES-1\n" + std::to_string(size) + "\n" + sha256 +
           "\n2\n";
}

std::multiset<std::string> ranges_of(const std::vector<logged_request>& log, std::size_t from = 0) {
    std::multiset<std::string> ranges;
    for (std::size_t i = from; i < log.size(); ++i)
        ranges.insert(log[i].range);
    return ranges;
}

std::string range_header(std::uint64_t first, std::uint64_t last) {
    return "bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

void expect_verified_without_parts(const published& file) {
    EXPECT_TRUE(same_bytes(read_file(file.dest), file.content));
    EXPECT_FALSE(fs::exists(file.part(0)));
    EXPECT_FALSE(fs::exists(file.part(1)));
    EXPECT_EQ(read_file(file.state()), state_text(file.url, file.content.size(), file.sha256));
}

TEST_F(ranged_download, splits_at_eight_mebibytes) {
    const temp_dir folder("split");

    const published small(folder, "below", two_part_size - 1);
    EXPECT_NO_THROW(small.download());
    auto log = small.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].range, "");
    expect_verified_without_parts(small);
    EXPECT_EQ(orvek::done_bytes.load(), two_part_size - 1);

    reset_counters();
    const published even(folder, "even", two_part_size);
    // Held back a little so that both ranges are surely in flight together.
    script(even.path, {{.delay_ms = 300, .times = 2}});
    EXPECT_NO_THROW(even.download());
    log = even.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(ranges_of(log), (std::multiset<std::string>{range_header(0, half - 1),
                                                            range_header(half, two_part_size - 1)}));
    EXPECT_EQ(log[0].accept_encoding, "identity");
    EXPECT_EQ(log[1].accept_encoding, "identity");
    EXPECT_EQ(peak_in_flight(even.path), 2);
    expect_verified_without_parts(even);
    EXPECT_EQ(orvek::done_bytes.load(), two_part_size);
    EXPECT_EQ(orvek::received_bytes.load(), two_part_size);

    const published odd(folder, "odd", two_part_size + 1);
    EXPECT_NO_THROW(odd.download());
    EXPECT_EQ(ranges_of(odd.log()),
              (std::multiset<std::string>{"bytes=0-4194303", "bytes=4194304-8388608"}));
    expect_verified_without_parts(odd);

    // The request gate bounds the two ranges as well.
    set_max_connections(1);
    const published gated(folder, "gated", two_part_size);
    script(gated.path, {{.delay_ms = 200, .times = 2}});
    EXPECT_NO_THROW(gated.download());
    EXPECT_EQ(gated.log().size(), 2u);
    EXPECT_EQ(peak_in_flight(gated.path), 1);
}

TEST_F(ranged_download, unusable_ranges_fall_back_to_one_connection) {
    const temp_dir folder("fallback");
    const std::vector<response_rule> refusals = {
        {.ignore_range = true, .times = 2},
        {.status = 416, .times = 2},
        {.content_range = "bytes 0-4194303/8388609", .times = 2},
        {.extra_bytes = 10, .times = 2},
    };
    int n = 0;
    for (const response_rule& refusal : refusals) {
        reset_counters();
        const published file(folder, "fallback" + std::to_string(n++), two_part_size);
        script(file.path, {refusal});
        EXPECT_EQ(file.download_error(), "") << n;
        const auto log = file.log();
        ASSERT_EQ(log.size(), 3u) << n;
        EXPECT_EQ(log[2].range, "") << n;
        expect_verified_without_parts(file);
        // The discarded parts were taken back out of the progress.
        EXPECT_EQ(orvek::done_bytes.load(), two_part_size) << n;
    }

    // A real failure of one range wins over the other's fall-back.
    const published mixed(folder, "mixed", two_part_size);
    script(mixed.path, {{.status = 404}, {.ignore_range = true}});
    EXPECT_EQ(mixed.download_error(), "Update server returned HTTP 404.");
    EXPECT_EQ(mixed.log().size(), 2u);
    EXPECT_FALSE(fs::exists(mixed.dest));
}

TEST_F(ranged_download, parts_survive_failures_and_are_resumed) {
    const temp_dir folder("resume");

    // A 404 on one range: the other range still finishes and is kept.
    const published file(folder, "notfound", two_part_size);
    script(file.path, {{.status = 404}});
    EXPECT_EQ(file.download_error(), "Update server returned HTTP 404.");
    EXPECT_EQ(file.log().size(), 2u);
    const bool first_done = fs::exists(file.part(0));
    ASSERT_NE(first_done, fs::exists(file.part(1)));
    EXPECT_EQ(fs::file_size(file.part(first_done ? 0 : 1)), half);
    EXPECT_FALSE(fs::exists(file.dest));
    EXPECT_NO_THROW(file.download());
    const auto log = file.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].range, first_done ? range_header(half, two_part_size - 1) : range_header(0, half - 1));
    expect_verified_without_parts(file);

    // Connections that drop mid-body: every attempt of a range resumes, and a
    // second call asks only for what is still missing.
    reset_counters();
    const published dropped(folder, "dropped", two_part_size);
    script(dropped.path, {{.drop_after = 100000, .times = 8}});
    EXPECT_EQ(dropped.download_error(), "Multipart transfer interrupted.");
    auto first_log = dropped.log();
    ASSERT_EQ(first_log.size(), 8u);
    const std::uint64_t have0 = fs::file_size(dropped.part(0));
    const std::uint64_t have1 = fs::file_size(dropped.part(1));
    EXPECT_GT(have0, 100000u);
    EXPECT_GT(have1, 100000u);
    EXPECT_EQ(orvek::done_bytes.load(), have0 + have1);
    EXPECT_EQ(orvek::received_bytes.load(), have0 + have1);

    reset_counters();
    EXPECT_NO_THROW(dropped.download());
    EXPECT_EQ(ranges_of(dropped.log(), first_log.size()),
              (std::multiset<std::string>{range_header(have0, half - 1),
                                          range_header(half + have1, two_part_size - 1)}));
    expect_verified_without_parts(dropped);
    EXPECT_EQ(orvek::done_bytes.load(), two_part_size);
    EXPECT_EQ(orvek::received_bytes.load(), two_part_size - have0 - have1);

    // A small file whose connection drops: the next attempt looks at the file
    // again and resumes it.
    const published small(folder, "small", 300000);
    script(small.path, {{.drop_after = 100000}});
    EXPECT_NO_THROW(small.download());
    const auto small_log = small.log();
    ASSERT_EQ(small_log.size(), 2u);
    EXPECT_EQ(small_log[1].range, "bytes=100000-");
    EXPECT_TRUE(same_bytes(read_file(small.dest), small.content));
}

TEST_F(ranged_download, cancel_acts_while_slow_ranges_arrive) {
    const temp_dir folder("slow");
    const published file(folder, "slow", two_part_size);
    script(file.path, {{.bytes_per_second = 2000, .times = 2}});
    EXPECT_TRUE(cancel_acts_on_a_slow_line([&] { file.download(); }));
}

TEST_F(ranged_download, state_file_decides_what_is_kept) {
    const temp_dir folder("state");
    const published file(folder, "state", two_part_size);
    const std::string garbage_half(half, 'g');
    const auto prepare = [&](const std::string& state, bool parts, bool dest) {
        reset_counters();
        write_file(file.state(), state);
        for (int i = 0; i < 2; ++i) {
            fs::remove(file.part(i));
            if (parts)
                write_file(file.part(i), garbage_half);
        }
        fs::remove(file.dest);
        if (dest)
            write_file(file.dest, std::string(two_part_size, 'g'));
    };
    const std::string matching = state_text(file.url, two_part_size, file.sha256);
    std::size_t requests = 0;
    const auto new_requests = [&] {
        const std::size_t now = file.log().size();
        const std::size_t added = now - requests;
        requests = now;
        return added;
    };

    // Complete parts under a matching state: assembled without a request.
    prepare(matching, false, false);
    write_file(file.part(0), file.content.substr(0, half));
    write_file(file.part(1), file.content.substr(half));
    EXPECT_NO_THROW(file.download());
    EXPECT_EQ(new_requests(), 0u);
    expect_verified_without_parts(file);
    EXPECT_EQ(orvek::done_bytes.load(), two_part_size);

    // A complete destination under a matching state: only checked.
    reset_counters();
    EXPECT_NO_THROW(file.download());
    EXPECT_EQ(new_requests(), 0u);
    EXPECT_EQ(orvek::done_bytes.load(), two_part_size);

    // Another URL, size or hash: parts and destination are worthless.
    const std::wstring other_url = server_url("/elsewhere/asset");
    const std::string other_hash(64, 'a');
    const std::string changed[] = {state_text(other_url, two_part_size, file.sha256),
                                   state_text(file.url, two_part_size + 1, file.sha256),
                                   state_text(file.url, two_part_size, other_hash), ""};
    for (const std::string& state : changed) {
        for (const bool garbage_dest : {false, true}) {
            prepare(state, !garbage_dest, garbage_dest);
            // Left read-only, they are still the download's own to remove.
            for (const fs::path& stale : {file.part(0), file.part(1), file.dest})
                SetFileAttributesW(stale.c_str(), FILE_ATTRIBUTE_READONLY);
            EXPECT_EQ(file.download_error(), "") << state;
            EXPECT_EQ(new_requests(), 2u) << state;
            expect_verified_without_parts(file);
        }
    }

    // A destination of another size is dropped and the parts are resumed.
    prepare(matching, false, false);
    write_file(file.part(0), file.content.substr(0, half));
    write_file(file.dest, "short");
    EXPECT_NO_THROW(file.download());
    EXPECT_EQ(new_requests(), 1u);
    expect_verified_without_parts(file);

    // A failed hash check removes the download and its parts, not the state.
    const std::string wrong_hash = sha256_of("something else");
    EXPECT_EQ(error_of([&] { orvek::download_multipart(file.url, file.dest, two_part_size, wrong_hash); }),
              "Downloaded package SHA-256 does not match its checksum manifest.");
    EXPECT_FALSE(fs::exists(file.dest));
    EXPECT_FALSE(fs::exists(file.part(0)));
    EXPECT_FALSE(fs::exists(file.part(1)));
    EXPECT_EQ(read_file(file.state()), state_text(file.url, two_part_size, wrong_hash));
}

TEST_F(ranged_download, cancel_during_the_hash_keeps_everything) {
    const temp_dir folder("cancel");
    // Large enough that the hash is surely still running when the cancel comes.
    const std::uint64_t size = 160 * 1048576;
    const std::wstring url = server_url(unique_prefix("cancel") + "/asset");
    const std::string sha256(64, 'b');
    const fs::path dest = folder / "big.part";
    write_file(dest, std::string(size, 'x'));
    write_file(folder / "big.part.resume", state_text(url, size, sha256));
    write_file(folder / "big.part.range0", "p");

    std::string error;
    std::thread download([&] { error = error_of([&] { orvek::download_multipart(url, dest, size, sha256); }); });
    // The complete destination is credited right before its hash starts.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (orvek::done_bytes.load() != size && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    orvek::request_cancel();
    download.join();

    EXPECT_EQ(error, orvek::cancelled_at_checkpoint_text);
    EXPECT_EQ(fs::file_size(dest), size);
    EXPECT_TRUE(fs::exists(folder / "big.part.range0"));
    EXPECT_TRUE(fs::exists(folder / "big.part.resume"));
}

}  // namespace
