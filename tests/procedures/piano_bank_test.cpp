#include "procedures/piano_bank.h"

#include "engine/verification_cache.h"
#include "sound_release.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <set>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

class piano_bank : public transfer_test {
protected:
    // Publishes the objects and installs m and v as the client would.
    void publish() {
        for (const auto& [path, bytes] : files)
            manifest += path + "|" + sha256_of(bytes) + "|" + std::to_string(bytes.size()) + "\n";
        id = sha256_of(manifest);
        for (const auto& [path, bytes] : files) put_file(prefix + "/" + id + "/" + sha256_of(bytes), bytes);
        fs::create_directories(installation.data() / "piano");
        write_file(installation.data() / "piano/m", manifest);
        write_file(installation.data() / "piano/v", id + "\r\n");
    }
    std::string run() const {
        repair_requested = false;
        return error_of([&] { update_piano_bank(installation.data() / "piano", root(), server_url(prefix + "/")); });
    }
    // Object hashes fetched since log entry `from`.
    std::multiset<std::string> fetched_since(std::size_t& from) const {
        const auto log = request_log(prefix + "/" + id + "/");
        std::multiset<std::string> fetched;
        for (; from < log.size(); ++from) fetched.insert(log[from].path.substr(log[from].path.size() - 64));
        return fetched;
    }
    void expect_bank_of_links() const {
        for (const auto& [path, bytes] : files) {
            EXPECT_TRUE(same_bytes(read_file(root() / id / path), bytes)) << path;
            EXPECT_EQ(get_file_identity(root() / id / path), get_file_identity(object(bytes))) << path;
        }
        EXPECT_EQ(read_file(root() / id / "ready"), id);
        EXPECT_FALSE(fs::exists(root() / (".stage-" + id)));
    }
    fs::path root() const { return installation.cache_root() / "bank"; }
    fs::path object(const std::string& bytes) const { return root() / "objects" / (sha256_of(bytes) + ".part"); }

    const std::string prefix = unique_prefix("piano_bank");
    test_installation installation;
    std::map<std::string, std::string> files{
        {"bank.txt", "light\n"}, {"LICENSE", "CC-BY\n"}, {"ATTRIBUTION.txt", "a player\n"}, {"source.json", "{}\n"},
        {"Samples/A0v1.flac", patterned_bytes(3000, 1)}, {"Samples/C#4_v8.flac", patterned_bytes(5000, 2)},
        {"Samples/C#4-copy.flac", patterned_bytes(5000, 2)}};  // shares its object
    std::string manifest;
    std::string id;
};

TEST_F(piano_bank, builds_from_linked_objects_then_only_verifies) {
    publish();
    std::size_t mark = 0;
    ASSERT_EQ(run(), "");
    expect_bank_of_links();
    EXPECT_EQ(fetched_since(mark).size(), files.size() - 1);  // the shared object once
    EXPECT_EQ(finished_files, files.size());
    EXPECT_EQ(done_bytes, total_bytes);

    reset_counters();
    set_status(L"before");
    fs::remove(root() / id / "ready");
    ASSERT_EQ(run(), "");
    expect_bank_of_links();
    EXPECT_EQ(fetched_since(mark), std::multiset<std::string>{});
    EXPECT_EQ(checked_files, files.size());
    EXPECT_EQ(current_status(), L"before");
}

TEST_F(piano_bank, changed_sample_moves_the_bank_aside_and_refetches_only_its_object) {
    publish();
    ASSERT_EQ(run(), "");
    std::size_t mark = request_log(prefix + "/" + id + "/").size();
    // Changed in place through the link, so its object is spoiled too; and
    // an object cut short must be resumed, not fetched whole.
    std::string changed = files["Samples/A0v1.flac"];
    changed[10] ^= 0x20;
    write_file(root() / id / "Samples/A0v1.flac", changed);
    fs::resize_file(object(files["Samples/C#4_v8.flac"]), 2000);
    // Read-only files (objects too, through their links), and the stage an
    // interrupted run left, are no obstacle.
    for (const char* path : {"source.json", "Samples/A0v1.flac"})
        SetFileAttributesW((root() / id / path).c_str(), FILE_ATTRIBUTE_READONLY);
    fs::create_directories(root() / (".stage-" + id));
    fs::create_hard_link(object(files["source.json"]), root() / (".stage-" + id) / "source.json");

    ASSERT_EQ(run(), "");
    expect_bank_of_links();
    const std::string c4 = sha256_of(files["Samples/C#4_v8.flac"]);
    EXPECT_EQ(fetched_since(mark), (std::multiset<std::string>{sha256_of(files["Samples/A0v1.flac"]), c4}));
    EXPECT_EQ(request_log(prefix + "/" + id + "/" + c4).back().range, "bytes=2000-");
    std::vector<fs::path> damaged;
    for (const auto& entry : fs::directory_iterator(root()))
        if (entry.path().filename().string().starts_with(".damaged-" + id + "-")) damaged.push_back(entry.path());
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(read_file(damaged[0] / "Samples/A0v1.flac"), changed);
    SetFileAttributesW(object(files["source.json"]).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// One line of size 1 (or `size`) per blank-separated path.
std::string lines(const std::string& paths, const std::string& size = "1") {
    std::string text;
    for (std::size_t start = 0; start < paths.size();) {
        const std::size_t end = std::min(paths.find(' ', start), paths.size());
        text += paths.substr(start, end - start) + "|" + std::string(64, 'a') + "|" + size + "\n";
        start = end + 1;
    }
    return text;
}

std::string samples(int count, const std::string& size = "1") {
    std::string text;
    for (int n = 0; n < count; ++n) text += lines("Samples/s" + std::to_string(n) + ".flac", size);
    return text;
}

TEST_F(piano_bank, manifest_pattern_limits_and_required_files) {
    const std::string meta = "bank.txt LICENSE ATTRIBUTION.txt source.json";
    const std::string base = lines(meta);
    const std::string invalid = "Invalid piano bank manifest.", duplicate = "Duplicate piano bank path.",
                      limits = "Piano bank exceeds download limits.";
    const std::pair<std::string, std::string> rows[] = {
        {base + lines("Samples/Aa09#_-.flac", "1073741824"), ""},
        {base + "Samples/x.flac|" + std::string(64, 'a') + "|7", ""},  // no final LF
        {lines(meta, "1073741823") + samples(4, "1073741824") + lines("Samples/z.flac", "4"), ""},  // 8 GiB
        {lines(meta, "1073741823") + samples(4, "1073741824") + lines("Samples/z.flac", "5"), limits},
        {base + samples(4092), ""},
        {base + samples(4093), limits},
        {base + lines("Samples/a.flac", "1073741825"), limits},
        {base + lines("Samples/a.flac", "99999999999999999999"), "stoull argument out of range"},
        {base + lines("Samples/a.flac Samples/A.flac"), duplicate},
        {base + lines("LICENSE"), duplicate},
        {base + lines("Samples/a.flac", "0"), invalid},
        {base + lines("Samples/a.flac", "01"), invalid},
        {base + "Samples/a.flac|" + std::string(63, 'a') + "A|1\n", invalid},
        {base + "Samples/a.flac|" + std::string(64, 'a') + "|1\r\n", invalid},
        {base + "\n" + lines("Samples/a.flac"), invalid},
        {"# bank\n" + base + lines("Samples/a.flac"), invalid},
        {base + lines("Samples/sub/a.flac"), invalid},
        {base + lines("Samples/lpt1.flac"), invalid},  // a device, not a file
        {base + lines("Samples/" + std::string(20000, 'a') + ".flac"), invalid},  // no stack overflow
        {base, "Piano bank has no samples."},
        {lines("bank.txt LICENSE ATTRIBUTION.txt") + samples(2), "Piano bank license or metadata missing."},
        {"", "Piano bank license or metadata missing."},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(error_of([&] { parse_piano_manifest(text); }), expected) << text.substr(0, 300);
    const manifest_entry entry = parse_piano_manifest(base + lines("Samples/b.flac", "12")).at("Samples/b.flac");
    EXPECT_EQ(entry.line + "\n", lines("Samples/b.flac", "12"));
    EXPECT_EQ(entry.sha256 + std::to_string(entry.size), std::string(64, 'a') + "12");
}

}  // namespace
}  // namespace orvek::test
