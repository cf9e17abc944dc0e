#include "procedures/sound_manifest.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace orvek {
namespace {

const std::string hex_a(64, 'a');
const std::string hex_b(64, 'b');

std::string entry(const std::string& id, const std::string& size = "1", const std::string& sha = hex_a) {
    return id + "|" + sha + "|" + size;
}

// The catalog line, so the other lines are judged on their own.
const std::string catalog = entry("i") + "\n";

std::string failure_of(const std::string& text) {
    try {
        parse_sound_manifest(text);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "parsed";
}

constexpr char invalid[] = "The sound manifest is invalid.";
constexpr char bad_size[] = "Invalid manifest file size.";
constexpr char reserved[] = "Reserved sound asset identifier.";
constexpr char colliding[] = "Sound manifest contains case-colliding identifiers.";
constexpr char no_catalog[] = "The sound catalog is missing.";

TEST(sound_manifest, line_ends_and_empty_lines) {
    const std::string lf = catalog + entry("ab12", "5", hex_b) + "\n";
    const std::string crlf = entry("i") + "\r\n" + entry("ab12", "5", hex_b) + "\r\n";
    const auto from_lf = parse_sound_manifest(lf);
    const auto from_crlf = parse_sound_manifest(crlf);
    ASSERT_EQ(from_lf.size(), 2u);
    ASSERT_EQ(from_crlf.size(), 2u);
    EXPECT_EQ(from_crlf.at("ab12").line, entry("ab12", "5", hex_b));
    EXPECT_EQ(from_crlf.at("ab12").sha256, hex_b);
    EXPECT_EQ(from_crlf.at("ab12").size, 5u);

    // A second CR stays in the line and spoils the size field.
    EXPECT_EQ(failure_of(catalog + entry("ab12") + "\r\r\n"), bad_size);
    // Lines of nothing or of a lone CR are skipped; a blank is a line.
    EXPECT_EQ(parse_sound_manifest("\n\r\n" + catalog + "\n").size(), 1u);
    EXPECT_EQ(failure_of(catalog + " \n"), invalid);
    // The last line needs no line end, and a CR at the very end is dropped.
    EXPECT_EQ(parse_sound_manifest(catalog + entry("x")).size(), 2u);
    EXPECT_EQ(parse_sound_manifest(catalog + entry("x") + "\r").at("x").line, entry("x"));
}

TEST(sound_manifest, sizes) {
    EXPECT_EQ(parse_sound_manifest(entry("i", "1")).at("i").size, 1u);
    EXPECT_EQ(parse_sound_manifest(entry("i", "007")).at("i").size, 7u);
    EXPECT_EQ(parse_sound_manifest(entry("i", "18446744073709551615")).at("i").size, 18446744073709551615ull);
    EXPECT_EQ(failure_of(entry("i", "18446744073709551616")), invalid);
    EXPECT_EQ(failure_of(entry("i", "99999999999999999999999")), invalid);
    EXPECT_EQ(failure_of(entry("i", "0")), invalid);
    EXPECT_EQ(failure_of(entry("i", "000")), invalid);
    EXPECT_EQ(failure_of(entry("i", "+1")), bad_size);
    EXPECT_EQ(failure_of(entry("i", " 1")), bad_size);
    EXPECT_EQ(failure_of(entry("i", "1 ")), bad_size);
    EXPECT_EQ(failure_of(entry("i", "1|2")), bad_size);
    EXPECT_EQ(failure_of(entry("i", "")), invalid);
}

TEST(sound_manifest, fields_and_characters) {
    std::string upper_hex = hex_a;
    upper_hex.replace(0, 6, "ABCDEF");
    EXPECT_EQ(parse_sound_manifest(entry("i", "1", upper_hex)).at("i").sha256, "abcdef" + hex_a.substr(6));
    EXPECT_EQ(parse_sound_manifest(entry("i", "1", upper_hex)).at("i").line, entry("i", "1", upper_hex));

    EXPECT_EQ(failure_of(catalog + "abc" + hex_a + "1"), invalid);
    EXPECT_EQ(failure_of(catalog + "abc|" + hex_a + "1"), invalid);
    EXPECT_EQ(failure_of(catalog + entry("abcdefgh1")), invalid);
    EXPECT_EQ(parse_sound_manifest(catalog + entry("abcdefgh")).count("abcdefgh"), 1u);
    EXPECT_EQ(failure_of(catalog + entry("")), invalid);
    EXPECT_EQ(failure_of(catalog + entry("a", "1", std::string(63, 'a'))), invalid);
    EXPECT_EQ(failure_of(catalog + entry("a", "1", std::string(65, 'a'))), invalid);
    EXPECT_EQ(failure_of(catalog + entry("a", "1", std::string(63, 'a') + "g")), invalid);
    for (const std::string id : {"a-b", "a_b", "a.b", "a\xC3\xA9", "\x80"})
        EXPECT_EQ(failure_of(catalog + entry(id)), invalid) << id;
    // The ID test comes before the size test.
    EXPECT_EQ(failure_of(catalog + entry("a-b", "x")), invalid);
}

TEST(sound_manifest, reserved_and_colliding_ids) {
    for (const std::string id : {"con", "Nul", "prn", "AUX", "m", "M", "v", "V", "com1", "LPT9"})
        EXPECT_EQ(failure_of(catalog + entry(id)), reserved) << id;
    for (const std::string id : {"COM0", "COM10", "LPTX", "LPT0", "CONX", "MV"})
        EXPECT_EQ(parse_sound_manifest(catalog + entry(id)).count(id), 1u) << id;

    EXPECT_EQ(failure_of(catalog + entry("abc") + "\n" + entry("ABC", "2", hex_b)), colliding);
    EXPECT_EQ(failure_of(catalog + entry("abc") + "\n" + entry("abc")), colliding);
    // The catalog and an upper-case I collide too.
    EXPECT_EQ(failure_of(catalog + entry("I")), colliding);
    // A reserved ID reports itself before its size; a collision before the size.
    EXPECT_EQ(failure_of(catalog + entry("con", "0")), reserved);
    EXPECT_EQ(failure_of(catalog + entry("abc") + "\n" + entry("abc", "0")), colliding);
}

TEST(sound_manifest, catalog_is_required) {
    EXPECT_EQ(failure_of(""), no_catalog);
    EXPECT_EQ(failure_of("\n\r\n\n"), no_catalog);
    EXPECT_EQ(failure_of(entry("I") + "\n" + entry("a")), no_catalog);
    // The catalog may stand anywhere.
    const auto manifest = parse_sound_manifest(entry("a") + "\n" + entry("b") + "\n" + entry("i"));
    EXPECT_EQ(manifest.size(), 3u);
    EXPECT_EQ(manifest.count("i"), 1u);
}

TEST(sound_manifest, byte_predicates) {
    EXPECT_TRUE(is_sound_asset_id("A1b2C3d4"));
    EXPECT_FALSE(is_sound_asset_id(""));
    EXPECT_FALSE(is_sound_asset_id("A1b2C3d45"));
    EXPECT_FALSE(is_sound_asset_id(".a.part"));
    EXPECT_FALSE(is_sound_asset_id("a-b"));
    EXPECT_TRUE(is_pointer_hex_digit("09afAF"));
    EXPECT_FALSE(is_pointer_hex_digit("0g"));
    EXPECT_FALSE(is_pointer_hex_digit("\xE0"));
    EXPECT_TRUE(is_size_digit("0123456789"));
    EXPECT_FALSE(is_size_digit("1e3"));
    EXPECT_EQ(upper_case_id("aZ9\xE9z"), "AZ9\xE9Z");
}

}  // namespace
}  // namespace orvek
