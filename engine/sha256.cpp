#include "engine/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace orvek {

namespace {

constexpr std::size_t read_block_size = 1048576;
constexpr ULONG sha256_digest_size = 32;

[[noreturn]] void throw_sha256_error(const char* message) {
    throw std::runtime_error(message);
}

// The two CNG handles of one hashing call; the normal path releases them
// itself, so this only acts when a step fails or the callback throws.
struct sha256_handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;

    sha256_handles() = default;
    sha256_handles(const sha256_handles&) = delete;
    sha256_handles& operator=(const sha256_handles&) = delete;
    ~sha256_handles() { release(); }

    void release() noexcept {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
            hash = nullptr;
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, /*flags*/ 0);
            algorithm = nullptr;
        }
    }
};

bool read_ulong_property(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property, ULONG& value) {
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value),
                                              sizeof(value), &written, /*flags*/ 0);
    return BCRYPT_SUCCESS(status) && written == sizeof(value);
}

}  // namespace

std::string hash_file_sha256(const std::filesystem::path& file, const progress_callback& progress) {
    sha256_handles handles;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handles.algorithm, BCRYPT_SHA256_ALGORITHM,
                                                    /*implementation*/ nullptr, /*flags*/ 0))) {
        handles.algorithm = nullptr;
        throw_sha256_error("Could not initialize Windows SHA-256 verification.");
    }

    ULONG object_length = 0;
    if (!read_ulong_property(handles.algorithm, BCRYPT_OBJECT_LENGTH, object_length) || object_length == 0)
        throw_sha256_error("Could not initialize Windows SHA-256 verification.");

    ULONG digest_length = 0;
    if (!read_ulong_property(handles.algorithm, BCRYPT_HASH_LENGTH, digest_length) ||
        digest_length != sha256_digest_size)
        throw_sha256_error("Windows SHA-256 provider returned an invalid digest size.");

    std::vector<UCHAR> hash_object(object_length, 0);
    std::vector<UCHAR> digest(sha256_digest_size, 0);
    if (!BCRYPT_SUCCESS(BCryptCreateHash(handles.algorithm, &handles.hash, hash_object.data(), object_length,
                                         /*secret*/ nullptr, /*secret length*/ 0, /*flags*/ 0))) {
        handles.hash = nullptr;
        throw_sha256_error("Could not create a Windows SHA-256 hash.");
    }

    // The C runtime opens without sharing restrictions, so a writer elsewhere
    // is not locked out while we read.
    std::ifstream input(file, std::ios::binary);
    if (!input.is_open())
        throw_sha256_error("Could not open the downloaded package for SHA-256 verification.");

    std::vector<char> buffer(read_block_size);
    while (input) {
        if (progress)
            progress();
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize count = input.gcount();
        if (count > 0 &&
            !BCRYPT_SUCCESS(BCryptHashData(handles.hash, reinterpret_cast<PUCHAR>(buffer.data()),
                                           static_cast<ULONG>(count), /*flags*/ 0)))
            throw_sha256_error("Windows SHA-256 calculation failed.");
    }
    if (!input.eof())
        throw_sha256_error("Could not read the downloaded package for SHA-256 verification.");

    if (!BCRYPT_SUCCESS(BCryptFinishHash(handles.hash, digest.data(), sha256_digest_size, /*flags*/ 0)))
        throw_sha256_error("Could not finish Windows SHA-256 calculation.");
    handles.release();

    static constexpr char hex_digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (const UCHAR byte : digest) {
        text.push_back(hex_digits[byte >> 4]);
        text.push_back(hex_digits[byte & 0x0f]);
    }
    return text;
}

void verify_file_sha256(const std::filesystem::path& file, const std::string& expected,
                        const progress_callback& progress) {
    if (hash_file_sha256(file, progress) != expected)
        throw std::runtime_error("Downloaded package SHA-256 does not match its checksum manifest.");
}

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::string parse_checksum_manifest(std::string_view manifest, const std::string& expected_name) {
    constexpr std::size_t name_start = 66;
    std::size_t position = 0;
    std::size_t count = 0;
    std::string result;
    while (position < manifest.size()) {
        std::size_t end = manifest.find('\n', position);
        if (end == std::string_view::npos)
            end = manifest.size();
        std::string_view line = manifest.substr(position, end - position);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty()) {
            if (line.size() < name_start + 1 || line[64] != ' ' || line[65] != '*' ||
                line.substr(name_start) != expected_name)
                throw std::runtime_error("Checksum manifest is malformed or names an unexpected package.");
            result.clear();
            for (const char c : line.substr(0, 64)) {
                if (!is_hex_digit(c))
                    throw std::runtime_error("Checksum manifest contains an invalid SHA-256 value.");
                result.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
            }
            ++count;
        }
        position = end + 1;
    }
    if (count != 1)
        throw std::runtime_error("Checksum manifest must contain exactly one package entry.");
    return result;
}

}  // namespace orvek
