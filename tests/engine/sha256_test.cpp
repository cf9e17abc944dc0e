#include "engine/sha256.h"

#include "engine/run_state.h"
#include "support/temp_dir.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using orvek::test::temp_dir;
using orvek::test::error_of;
using orvek::test::patterned_bytes;
using orvek::test::write_file;

constexpr char empty_digest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char abc_digest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class sha256 : public orvek::test::transfer_test {};

TEST_F(sha256, digests_and_progress_calls_per_block) {
    const temp_dir folder("sha");
    struct vector_case {
        const char* name;
        std::string bytes;
        const char* digest;
        int progress_calls;
    };
    const vector_case cases[] = {
        {"empty", "", empty_digest, 1},
        {"abc", "abc", abc_digest, 1},
        {"one-mib", patterned_bytes(1048576), "130500321e59e451f9774a513b704497300e227d09dced721dc144db9b562b98", 2},
        {"one-mib-and-one", patterned_bytes(1048577),
         "8645c20abdd2a2f1bf18857ba805a182cbdc9bc1bf39c33512ad2534d0219d32", 2},
    };
    for (const vector_case& c : cases) {
        const auto file = folder / c.name;
        write_file(file, c.bytes);
        int calls = 0;
        EXPECT_EQ(orvek::hash_file_sha256(file, [&] { ++calls; }), c.digest) << c.name;
        EXPECT_EQ(calls, c.progress_calls) << c.name;
        // No callback at all is allowed too.
        EXPECT_EQ(orvek::hash_file_sha256(file, nullptr), c.digest) << c.name;
    }

    const auto abc = folder / "abc";
    EXPECT_NO_THROW(orvek::verify_file_sha256(abc, abc_digest, nullptr));
    std::string upper = abc_digest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(error_of([&] { orvek::verify_file_sha256(abc, upper, nullptr); }),
              "Downloaded package SHA-256 does not match its checksum manifest.");
    EXPECT_EQ(error_of([&] { orvek::verify_file_sha256(abc, empty_digest, nullptr); }),
              "Downloaded package SHA-256 does not match its checksum manifest.");
    EXPECT_EQ(error_of([&] { orvek::hash_file_sha256(folder / "missing", nullptr); }),
              "Could not open the downloaded package for SHA-256 verification.");
}

// The provider and the read buffers are shared by the whole process: threads
// hashing at once, short files after long ones, threads that come and go,
// must each get their own file's digest (and leave the heap whole).
TEST_F(sha256, threads_hashing_at_once_get_their_own_digests) {
    const temp_dir folder("sha-threads");
    write_file(folder / "abc", "abc");
    write_file(folder / "long", patterned_bytes(1048577));
    std::atomic<int> wrong{0};
    for (int wave = 0; wave < 40; ++wave) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                wrong += orvek::hash_file_sha256(folder / "long", nullptr) !=
                         "8645c20abdd2a2f1bf18857ba805a182cbdc9bc1bf39c33512ad2534d0219d32";
                wrong += orvek::hash_file_sha256(folder / "abc", nullptr) != abc_digest;
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(sha256, cancel_ends_the_hash_at_the_next_block) {
    const temp_dir folder("sha");
    const auto file = folder / "large";
    write_file(file, patterned_bytes(4 * 1048576));
    int calls = 0;
    const auto progress = [&] {
        if (++calls == 2)
            orvek::request_cancel();
        orvek::check_pause_cancel();
    };
    EXPECT_EQ(error_of([&] { orvek::verify_file_sha256(file, empty_digest, progress); }),
              orvek::cancelled_at_checkpoint_text);
    EXPECT_EQ(calls, 2);

    // Whatever the callback throws passes through unchanged.
    struct own_error {};
    EXPECT_THROW(orvek::hash_file_sha256(file, [] { throw own_error{}; }), own_error);
}

TEST_F(sha256, checksum_manifest_forms) {
    const std::string digits = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";
    const std::string lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string entry = digits + " *orvek.zip";

    EXPECT_EQ(orvek::parse_checksum_manifest(entry, "orvek.zip"), lower);
    EXPECT_EQ(orvek::parse_checksum_manifest(entry + "\r\n\n", "orvek.zip"), lower);
    EXPECT_EQ(orvek::parse_checksum_manifest("\n\r\n" + entry + "\n", "orvek.zip"), lower);

    const std::string malformed = "Checksum manifest is malformed or names an unexpected package.";
    const std::string invalid_hex = "Checksum manifest contains an invalid SHA-256 value.";
    const std::string count = "Checksum manifest must contain exactly one package entry.";
    struct bad_case {
        std::string manifest;
        std::string message;
    };
    const bad_case cases[] = {
        {digits + "  orvek.zip", malformed},
        {entry + " ", malformed},
        {digits + " *client-libraries.zip\n" + entry, malformed},
        {digits + " *ORVEK.zip", malformed},
        {digits + " *", malformed},
        {digits.substr(1) + " *orvek.zip", malformed},
        {"g" + digits.substr(1) + " *orvek.zip", invalid_hex},
        // The layout is checked before the digits, line by line.
        {"g" + digits.substr(1) + " *other.zip", malformed},
        {"g" + digits.substr(1) + " *orvek.zip\n" + entry + " ", invalid_hex},
        {entry + "\n" + entry, count},
        {entry + "\r\n" + entry + "\n", count},
        {"\n\r\n\n", count},
        {"", count},
        {entry + "\r\r\n", malformed},
    };
    for (const bad_case& c : cases) {
        EXPECT_EQ(error_of([&] { orvek::parse_checksum_manifest(c.manifest, "orvek.zip"); }), c.message)
            << c.manifest;
    }
}

}  // namespace
