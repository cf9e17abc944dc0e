#include "procedures/client_packages.h"

#include "engine/run_state.h"
#include "procedures/partial_downloads.h"
#include "sound_release.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

class client_packages : public transfer_test {
protected:
    void SetUp() override {
        transfer_test::SetUp();
        partial_downloads.clear();
    }

    // Publishes the package and a manifest that names `listed_sha` for `listed_name`.
    void publish(const std::string& listed_sha, const std::string& listed_name = "orvek.zip") {
        put_file(prefix + "/orvek.zip", package);
        put_file(prefix + "/client-core.sha256", listed_sha + " *" + listed_name + "\n");
    }
    std::string fetch(const fs::path& dest) {
        return error_of([&] {
            download_client_package(server_url(prefix + "/orvek.zip"), server_url(prefix + "/client-core.sha256"),
                                    "orvek.zip", dest);
        });
    }
    // Neither HEAD nor the one-byte GET of the size probe tells the size.
    void script_probe_without_size() const {
        response_rule head;
        head.head_without_length = true;
        response_rule ranged_get;
        ranged_get.ignore_range = true;
        ranged_get.no_content_length = true;
        script(prefix + "/orvek.zip", {head, ranged_get});
    }
    std::vector<fs::path> cache_files() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(installation.cache_root()))
            if (entry.path().extension() == ".part") found.push_back(entry.path());
        return found;
    }
    std::size_t package_requests(std::size_t from, const std::string& method) const {
        const auto log = request_log(prefix + "/orvek.zip");
        return static_cast<std::size_t>(std::count_if(log.begin() + static_cast<std::ptrdiff_t>(from), log.end(),
                                                       [&](const logged_request& r) { return r.method == method; }));
    }

    const std::string prefix = unique_prefix("client_packages");
    const std::string package = patterned_bytes(300'000, 3);
    const std::string sha = sha256_of(package);
    test_installation installation;
    const fs::path dest = installation.work() / "core.zip";
};

TEST_F(client_packages, complete_cache_file_is_not_transferred_again) {
    publish(sha);
    ASSERT_EQ(fetch(dest), "");
    EXPECT_TRUE(same_bytes(read_file(dest), package));
    const auto cached = cache_files();
    ASSERT_EQ(cached.size(), 1u);
    EXPECT_EQ(cached[0].filename(), sha + ".part");
    EXPECT_EQ(partial_downloads, cached);
    EXPECT_EQ(current_status(), L"Downloading and verifying client package.");
    EXPECT_EQ(total_bytes, package.size());
    EXPECT_EQ(finished_files, 1u);

    fs::remove(dest);
    const std::size_t mark = request_log(prefix + "/orvek.zip").size();
    const std::uint64_t done_before = done_bytes;
    ASSERT_EQ(fetch(dest), "");
    EXPECT_TRUE(same_bytes(read_file(dest), package));
    EXPECT_EQ(package_requests(mark, "GET"), 0u);
    EXPECT_EQ(package_requests(mark, "HEAD"), 1u);
    EXPECT_EQ(done_bytes - done_before, package.size());
}

TEST_F(client_packages, server_without_a_size_gives_a_plain_download_into_dest) {
    publish(sha);
    script_probe_without_size();
    set_status(L"before the package");

    ASSERT_EQ(fetch(dest), "");
    EXPECT_TRUE(same_bytes(read_file(dest), package));
    EXPECT_TRUE(cache_files().empty());
    EXPECT_TRUE(partial_downloads.empty());
    EXPECT_EQ(current_status(), L"before the package");
}

TEST_F(client_packages, each_stage_names_itself_and_a_mismatching_copy_is_removed) {
    EXPECT_EQ(fetch(dest), "Could not download package checksum manifest: Update server returned HTTP 404.");
    publish(sha, "client-libraries.zip");
    EXPECT_EQ(fetch(dest),
              "Package checksum manifest error: Checksum manifest is malformed or names an unexpected package.");
    EXPECT_EQ(request_log(prefix + "/orvek.zip").size(), 0u);

    publish(sha);
    script(prefix + "/orvek.zip", {status_rule(404, 0, 3)});
    EXPECT_EQ(fetch(dest), "Package download failed: Update server returned HTTP 404.");

    // A plain download whose bytes do not match: the copy in dest goes.
    publish(std::string(64, 'a'));
    script_probe_without_size();
    EXPECT_EQ(fetch(dest),
              "Package checksum verification failed: Downloaded package SHA-256 does not match its checksum manifest.");
    EXPECT_FALSE(fs::exists(dest));
}

}  // namespace
}  // namespace orvek::test
