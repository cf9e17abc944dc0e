#include "support/zip_builder.h"

#include <cstdint>
#include <string_view>

namespace orvek::test {

namespace {

std::uint32_t crc32_of(std::string_view bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string archive;
    std::string directory;
    const auto put16 = [](std::string& out, std::uint32_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>((v >> 8) & 0xFF);
    };
    const auto put32 = [&](std::string& out, std::uint32_t v) {
        put16(out, v & 0xFFFF);
        put16(out, v >> 16);
    };
    for (const auto& [name, bytes] : entries) {
        const auto offset = static_cast<std::uint32_t>(archive.size());
        const std::uint32_t crc = crc32_of(bytes);
        const auto size = static_cast<std::uint32_t>(bytes.size());
        put32(archive, 0x04034b50);
        put16(archive, 20);
        put16(archive, 0x0800);  // UTF-8 names
        put16(archive, 0);       // stored
        put32(archive, 0);       // time and date
        put32(archive, crc);
        put32(archive, size);
        put32(archive, size);
        put16(archive, static_cast<std::uint32_t>(name.size()));
        put16(archive, 0);
        archive += name + bytes;

        put32(directory, 0x02014b50);
        put16(directory, 20);
        put16(directory, 20);
        put16(directory, 0x0800);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<std::uint32_t>(name.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, offset);
        directory += name;
    }
    const auto directory_offset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    put32(archive, 0x06054b50);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put32(archive, static_cast<std::uint32_t>(directory.size()));
    put32(archive, directory_offset);
    put16(archive, 0);
    return archive;
}

}  // namespace orvek::test
