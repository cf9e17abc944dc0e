#include "engine/small_files.h"

#include "support/import_patch.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
using orvek::test::read_file;
using orvek::test::temp_dir;
using orvek::test::write_file;

std::string parse_error(std::string_view bytes)
{
    try {
        orvek::parse_release_version(bytes);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "accepted";
}

std::string write_error(const fs::path& file, std::string_view bytes)
{
    try {
        orvek::write_file_atomically(file, bytes);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "written";
}

// Windows refuses to replace a read-only file; Wine does not, so the tests
// refuse every replace as Windows would.
BOOL WINAPI refused_move(const wchar_t*, const wchar_t*, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

bool has_temporary_beside(const fs::path& file)
{
    const std::wstring prefix = file.filename().wstring() + L".tmp.";
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        if (entry.path().filename().wstring().starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

TEST(small_files, version_text_trimming_and_character_rules)
{
    EXPECT_EQ(orvek::parse_release_version("1.2.3\r\n"), "1.2.3");
    EXPECT_EQ(orvek::parse_release_version("  v9_a-b \t\n"), "v9_a-b");
    EXPECT_EQ(orvek::parse_release_version("\t20240101120000-0123456789ab"), "20240101120000-0123456789ab");
    EXPECT_EQ(orvek::parse_release_version(std::string(64, 'a')), std::string(64, 'a'));

    const std::string invalid = "The release version is invalid.";
    EXPECT_EQ(parse_error("\n1.0"), invalid);  // only blanks are skipped at the front
    EXPECT_EQ(parse_error("1 0"), invalid);
    EXPECT_EQ(parse_error(std::string(65, 'a')), invalid);
    EXPECT_EQ(parse_error(""), invalid);
    EXPECT_EQ(parse_error(" \r\n\t "), invalid);
    EXPECT_EQ(parse_error("1.0\xC3\xA9"), invalid);
    EXPECT_EQ(parse_error("1.0/2"), invalid);
    EXPECT_EQ(parse_error(std::string("1.0\0", 4)), invalid);
}

TEST(small_files, local_version_reads_at_most_128_bytes)
{
    temp_dir dir;
    EXPECT_EQ(orvek::read_local_version(dir / "missing.txt"), "");

    // Exactly 128 bytes: parsed, trailing blanks trimmed.
    write_file(dir / "full.txt", std::string(64, 'b') + std::string(64, ' '));
    EXPECT_EQ(orvek::read_local_version(dir / "full.txt"), std::string(64, 'b'));

    // One byte more is refused before parsing, though trimming would pass it.
    write_file(dir / "long.txt", "1.0" + std::string(126, ' '));
    EXPECT_EQ(orvek::read_local_version(dir / "long.txt"), "");

    write_file(dir / "bad.txt", "not a version\n");
    EXPECT_EQ(orvek::read_local_version(dir / "bad.txt"), "");

    write_file(dir / "good.txt", "20240101120000-0123456789ab\r\n");
    EXPECT_EQ(orvek::read_local_version(dir / "good.txt"), "20240101120000-0123456789ab");
}

TEST(small_files, small_file_reads_whole_files_up_to_16_mib)
{
    temp_dir dir;
    constexpr std::size_t limit = 16 * 1024 * 1024;
    EXPECT_EQ(orvek::read_small_file(dir / "missing"), "");

    write_file(dir / "empty", "");
    EXPECT_EQ(orvek::read_small_file(dir / "empty"), "");

    // Sizes around the reader's block size, with every byte value in them.
    for (const std::size_t size : {1u, 4095u, 4096u, 4097u, 70000u}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7);
        write_file(dir / "sized", bytes);
        EXPECT_TRUE(orvek::read_small_file(dir / "sized") == bytes) << size;
    }

    std::string exact(limit, 'x');
    exact.front() = '\r';
    exact[1] = '\n';
    exact.back() = '\x1a';
    write_file(dir / "exact", exact);
    EXPECT_TRUE(orvek::read_small_file(dir / "exact") == exact);

    exact.push_back('y');
    write_file(dir / "over", exact);
    EXPECT_EQ(orvek::read_small_file(dir / "over").size(), 0u);
}

TEST(small_files, atomic_write_replaces_whole_files_and_leaves_no_temporary)
{
    temp_dir dir;
    const fs::path target = dir / "new" / "deeper" / "version.txt";

    orvek::write_file_atomically(target, "1.0\r\n");
    EXPECT_EQ(read_file(target), "1.0\r\n");
    orvek::write_file_atomically(target, "2.0");
    EXPECT_EQ(read_file(target), "2.0");
    EXPECT_FALSE(has_temporary_beside(target));

    orvek::write_file_atomically(target, "");
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);

    // A folder in the target's place cannot be replaced.
    const fs::path folder = dir / "occupied";
    fs::create_directories(folder / "inside");
    EXPECT_EQ(write_error(folder, "data"), "Could not safely replace an update metadata file.");
    EXPECT_TRUE(fs::is_directory(folder / "inside"));
    EXPECT_FALSE(has_temporary_beside(folder));

    // The temporary is "<target>.tmp.<process id>"; when that name is taken the
    // write fails and the target keeps its old contents.
    const fs::path blocked = dir / "blocked.txt";
    write_file(blocked, "old");
    const fs::path temporary = blocked.wstring() + L".tmp." + std::to_wstring(GetCurrentProcessId());
    fs::create_directory(temporary);
    EXPECT_EQ(write_error(blocked, "new"), "Could not write a temporary update file.");
    EXPECT_EQ(read_file(blocked), "old");
    EXPECT_TRUE(fs::is_directory(temporary));

    // A read-only target that cannot be replaced even so stays read-only.
    const fs::path read_only = dir / "read-only.txt";
    write_file(read_only, "old");
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY);
    {
        const orvek::test::import_patch<decltype(&MoveFileExW)> refusing(&MoveFileExW, &refused_move);
        EXPECT_EQ(write_error(read_only, "new"), "Could not safely replace an update metadata file.");
    }
    EXPECT_EQ(GetFileAttributesW(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    EXPECT_FALSE(has_temporary_beside(read_only));
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
