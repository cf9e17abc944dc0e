#include "engine/sha256.h"

#include "engine/read_buffer.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace orvek {

namespace {

constexpr std::size_t read_block_size = 1048576;
constexpr ULONG sha256_digest_size = 32;

[[noreturn]] void throw_sha256_error(const char* message) {
    throw std::runtime_error(message);
}

bool read_ulong_property(BCRYPT_ALG_HANDLE algorithm, const wchar_t* property, ULONG& value) {
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value),
                                              sizeof(value), &written, /*flags*/ 0);
    return BCRYPT_SUCCESS(status) && written == sizeof(value);
}

// The SHA-256 provider, opened once for the process: opening one costs more
// than hashing a small file, and a sound update hashes thousands. Provider
// handles may be shared by threads; each hash keeps its own hash object.
struct sha256_provider {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ULONG object_length = 0;

    sha256_provider() {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                        /*implementation*/ nullptr, /*flags*/ 0))) {
            algorithm = nullptr;
            throw_sha256_error("Could not initialize Windows SHA-256 verification.");
        }
        ULONG digest_length = 0;
        const char* failure = nullptr;
        if (!read_ulong_property(algorithm, BCRYPT_OBJECT_LENGTH, object_length) || object_length == 0)
            failure = "Could not initialize Windows SHA-256 verification.";
        else if (!read_ulong_property(algorithm, BCRYPT_HASH_LENGTH, digest_length) ||
                 digest_length != sha256_digest_size)
            failure = "Windows SHA-256 provider returned an invalid digest size.";
        if (failure != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, /*flags*/ 0);
            throw_sha256_error(failure);
        }
    }
    sha256_provider(const sha256_provider&) = delete;
    sha256_provider& operator=(const sha256_provider&) = delete;
    ~sha256_provider() { BCryptCloseAlgorithmProvider(algorithm, /*flags*/ 0); }
};

// A failed opening throws from the initializer, so the next call tries again.
const sha256_provider& shared_sha256_provider() {
    static const sha256_provider provider;
    return provider;
}

// The hash object of one hashing call.
struct sha256_hash {
    BCRYPT_HASH_HANDLE handle = nullptr;

    sha256_hash() = default;
    sha256_hash(const sha256_hash&) = delete;
    sha256_hash& operator=(const sha256_hash&) = delete;
    ~sha256_hash() {
        if (handle != nullptr)
            BCryptDestroyHash(handle);
    }
};

}  // namespace

std::string hash_file_sha256(const std::filesystem::path& file, const progress_callback& progress) {
    const sha256_provider& provider = shared_sha256_provider();
    std::vector<UCHAR> hash_object(provider.object_length, 0);
    std::array<UCHAR, sha256_digest_size> digest{};
    sha256_hash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.algorithm, &hash.handle, hash_object.data(), provider.object_length,
                                         /*secret*/ nullptr, /*secret length*/ 0, /*flags*/ 0))) {
        hash.handle = nullptr;
        throw_sha256_error("Could not create a Windows SHA-256 hash.");
    }

    // The C runtime opens without sharing restrictions, so a writer elsewhere
    // is not locked out while we read.
    std::ifstream input(file, std::ios::binary);
    if (!input.is_open())
        throw_sha256_error("Could not open the downloaded package for SHA-256 verification.");

    const read_buffer buffer(read_block_size);
    while (input) {
        if (progress)
            progress();
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize count = input.gcount();
        if (count > 0 &&
            !BCRYPT_SUCCESS(BCryptHashData(hash.handle, reinterpret_cast<PUCHAR>(buffer.data()),
                                           static_cast<ULONG>(count), /*flags*/ 0)))
            throw_sha256_error("Windows SHA-256 calculation failed.");
    }
    if (!input.eof())
        throw_sha256_error("Could not read the downloaded package for SHA-256 verification.");

    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.handle, digest.data(), sha256_digest_size, /*flags*/ 0)))
        throw_sha256_error("Could not finish Windows SHA-256 calculation.");

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
