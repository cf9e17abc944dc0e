#include "procedures/piano_bank.h"

#include "engine/verification_cache.h"
#include "sound_release.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace orvek::test {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> metadata{
    {"bank.txt", "Salamander light\n"}, {"LICENSE", "CC-BY 3.0\n"}, {"ATTRIBUTION.txt", "sampled by a player\n"},
    {"source.json", "{}\n"}};

class piano_bank : public transfer_test {
protected:
    void SetUp() override {
        transfer_test::SetUp();
        repair_requested = false;
    }

    // Publishes the bank's objects and installs its m and v as the client would.
    void publish(const std::map<std::string, std::string>& files) {
        manifest.clear();
        for (const auto& [path, bytes] : files)
            manifest += path + "|" + sha256_of(bytes) + "|" + std::to_string(bytes.size()) + "\n";
        id = sha256_of(manifest);
        for (const auto& [path, bytes] : files) put_file(object_url_path(sha256_of(bytes)), bytes);
        fs::create_directories(piano_data());
        write_file(piano_data() / "m", manifest);
        write_file(piano_data() / "v", id + "\r\n");
    }
    std::string run() const {
        return error_of([&] { update_piano_bank(piano_data(), root(), server_url(prefix + "/piano/releases/")); });
    }
    std::string object_url_path(const std::string& sha256) const {
        return prefix + "/piano/releases/" + id + "/" + sha256;
    }
    // Object hashes fetched since log entry `from`, and the log's size.
    std::multiset<std::string> fetched_since(std::size_t& from) const {
        const auto log = request_log(prefix);
        std::multiset<std::string> fetched;
        for (std::size_t i = from; i < log.size(); ++i) fetched.insert(log[i].path.substr(log[i].path.size() - 64));
        from = log.size();
        return fetched;
    }
    void expect_bank(const std::map<std::string, std::string>& files) const {
        const fs::path bank = root() / id;
        for (const auto& [path, bytes] : files) {
            EXPECT_TRUE(same_bytes(read_file(bank / path), bytes)) << path;
            // A link to its object, not a copy.
            EXPECT_EQ(get_file_identity(bank / path), get_file_identity(root() / "objects" / (sha256_of(bytes) + ".part")))
                << path;
        }
        EXPECT_EQ(read_file(bank / "ready"), id);
        EXPECT_FALSE(fs::exists(root() / (".stage-" + id)));
    }
    fs::path piano_data() const { return installation.data() / "piano"; }
    fs::path root() const { return installation.cache_root() / "salamander-light"; }

    const std::string prefix = unique_prefix("piano_bank");
    test_installation installation;
    std::string manifest;
    std::string id;
};

std::map<std::string, std::string> bank_files() {
    auto files = metadata;
    files["Samples/A0v1.flac"] = patterned_bytes(3000, 1);
    files["Samples/C#4_v8.flac"] = patterned_bytes(5000, 2);
    files["Samples/C#4-copy.flac"] = files["Samples/C#4_v8.flac"];  // shares its object
    return files;
}

TEST_F(piano_bank, builds_from_linked_objects_then_only_verifies) {
    const auto files = bank_files();
    publish(files);
    std::size_t mark = 0;
    ASSERT_EQ(run(), "");
    expect_bank(files);
    EXPECT_EQ(fetched_since(mark).size(), files.size() - 1);  // the shared object once
    EXPECT_EQ(total_files, files.size());
    EXPECT_EQ(finished_files, files.size());
    EXPECT_EQ(done_bytes, total_bytes);
    EXPECT_EQ(current_status().substr(0, 35), L"Downloading Salamander piano sounds");

    reset_counters();
    set_status(L"before");
    fs::remove(root() / id / "ready");
    ASSERT_EQ(run(), "");
    expect_bank(files);
    EXPECT_EQ(fetched_since(mark), std::multiset<std::string>{});
    EXPECT_EQ(checked_files, files.size());
    EXPECT_EQ(current_status(), L"before");
}

TEST_F(piano_bank, changed_sample_moves_the_bank_aside_and_refetches_only_its_object) {
    const auto files = bank_files();
    publish(files);
    ASSERT_EQ(run(), "");
    std::size_t mark = request_log(prefix).size();

    // Written in place through the link, so the object is spoiled as well.
    std::string changed = files.at("Samples/A0v1.flac");
    changed[10] ^= 0x20;
    write_file(root() / id / "Samples/A0v1.flac", changed);
    // An object cut short is resumed, not fetched again.
    const std::string c4 = sha256_of(files.at("Samples/C#4_v8.flac"));
    fs::resize_file(root() / "objects" / (c4 + ".part"), 2000);
    reset_counters();
    ASSERT_EQ(run(), "");

    expect_bank(files);
    EXPECT_EQ(fetched_since(mark), (std::multiset<std::string>{sha256_of(files.at("Samples/A0v1.flac")), c4}));
    const auto log = request_log(object_url_path(c4));
    EXPECT_EQ(log.back().range, "bytes=2000-");
    EXPECT_GT(checked_files, files.size());
    int damaged = 0;
    for (const auto& entry : fs::directory_iterator(root()))
        if (entry.path().filename().string().starts_with(".damaged-" + id + "-")) {
            ++damaged;
            EXPECT_EQ(read_file(entry.path() / "Samples/A0v1.flac"), changed);
        }
    EXPECT_EQ(damaged, 1);
}

TEST_F(piano_bank, refuses_a_release_it_cannot_trust) {
    publish(bank_files());
    const std::string good_manifest = manifest;
    struct case_row {
        std::string v, m, expected;
    };
    const case_row rows[] = {
        {"", good_manifest, "Missing piano bank release ID. Update the client first."},
        {upper_case_id(id), good_manifest, "Missing piano bank release ID. Update the client first."},
        {id.substr(1), good_manifest, "Missing piano bank release ID. Update the client first."},
        {id, good_manifest + "\n", "Downloaded package SHA-256 does not match its checksum manifest."},
        {id, "", "Could not open the downloaded package for SHA-256 verification."},
    };
    for (const case_row& row : rows) {
        write_file(piano_data() / "v", row.v);
        fs::remove(piano_data() / "m");
        if (!row.m.empty()) write_file(piano_data() / "m", row.m);
        EXPECT_EQ(run(), row.expected) << row.v;
    }
    EXPECT_FALSE(fs::exists(root()));
}

std::string line(const std::string& path, const std::string& size = "1", const std::string& sha = std::string(64, 'a')) {
    return path + "|" + sha + "|" + size + "\n";
}

std::string metadata_lines(const std::string& size = "1") {
    std::string text;
    for (const auto& [path, bytes] : metadata) text += line(path, size);
    return text;
}

std::string samples(int count, const std::string& size = "1") {
    std::string text;
    for (int n = 0; n < count; ++n) text += line("Samples/s" + std::to_string(n) + ".flac", size);
    return text;
}

TEST_F(piano_bank, manifest_pattern_limits_and_required_files) {
    const std::string base = metadata_lines();
    constexpr char invalid[] = "Invalid piano bank manifest.";
    constexpr char duplicate[] = "Duplicate piano bank path.";
    constexpr char limits[] = "Piano bank exceeds download limits.";
    constexpr char missing[] = "Piano bank license or metadata missing.";
    const struct {
        std::string text, expected;
    } rows[] = {
        {base + line("Samples/Aa09#_-.flac"), ""},
        {base + "Samples/x.flac|" + std::string(64, 'a') + "|7", ""},  // no final LF
        {base + line("Samples/a.flac", "1073741824"), ""},
        {metadata_lines("1073741823") + samples(4, "1073741824") + line("Samples/z.flac", "4"), ""},  // 8 GiB
        {base + samples(4092), ""},
        {base + samples(4093), limits},
        {base + line("Samples/a.flac", "1073741825"), limits},
        {metadata_lines("1073741823") + samples(4, "1073741824") + line("Samples/z.flac", "5"), limits},
        {base + line("Samples/a.flac", "99999999999999999999"), "stoull argument out of range"},
        {base + line("Samples/a.flac", "0"), invalid},
        {base + line("Samples/a.flac", "01"), invalid},
        {base + line("Samples/a.flac", "1", std::string(63, 'a') + "A"), invalid},
        {base + line("Samples/a.flac", "1", std::string(63, 'a')), invalid},
        {base + "Samples/a.flac|" + std::string(64, 'a') + "|1\r\n", invalid},
        {base + "\n" + line("Samples/a.flac"), invalid},
        {"# bank\n" + base + line("Samples/a.flac"), invalid},
        {base + line("Samples/a b.flac"), invalid},
        {base + line("Samples/sub/a.flac"), invalid},
        {base + line("samples/a.flac"), invalid},
        {base + line("Samples/a.FLAC"), invalid},
        {base + line("Samples/.flac"), invalid},
        {base + line("bank.TXT"), invalid},
        {base + line("Samples/lpt1.flac"), invalid},  // a device, not a file
        {base + line("Samples/" + std::string(20000, 'a') + ".flac"), invalid},  // no stack overflow
        {base + line("Samples/a.flac") + line("Samples/A.flac"), duplicate},
        {base + line("LICENSE"), duplicate},
        {base, "Piano bank has no samples."},
        {line("bank.txt") + line("LICENSE") + line("ATTRIBUTION.txt") + samples(2), missing},
        {"", missing},
    };
    for (const auto& row : rows) {
        std::string error;
        try {
            parse_piano_manifest(row.text);
        } catch (const std::exception& caught) {
            error = caught.what();
        }
        EXPECT_EQ(error, row.expected) << row.text.substr(0, 300);
    }
    const manifest_map parsed = parse_piano_manifest(base + line("Samples/b.flac", "12", std::string(64, 'c')));
    EXPECT_EQ(parsed.at("Samples/b.flac").line, "Samples/b.flac|" + std::string(64, 'c') + "|12");
    EXPECT_EQ(parsed.at("Samples/b.flac").sha256, std::string(64, 'c'));
    EXPECT_EQ(parsed.at("Samples/b.flac").size, 12u);
}

}  // namespace
}  // namespace orvek::test
