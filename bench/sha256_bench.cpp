// Throughput of hash_file_sha256 against a bare CNG loop over the same file:
// same provider, 1 MiB reads, nothing else. Prints one line per run:
//   <way> <seconds> <bytes> <sha256>

#include "engine/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

struct bare_result {
    std::string digest;
    unsigned long long bytes = 0;
};

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(what);
}

bare_result bare_cng_hash(const wchar_t* file) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, /*implementation*/ nullptr,
                                                    /*flags*/ 0)))
        fail("provider");
    ULONG object_length = 0;
    ULONG written = 0;
    BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_length),
                      sizeof(object_length), &written, /*flags*/ 0);
    std::vector<UCHAR> object(object_length);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, object.data(), object_length, /*secret*/ nullptr,
                                         /*secret length*/ 0, /*flags*/ 0)))
        fail("hash");
    const HANDLE input = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     /*security*/ nullptr, OPEN_EXISTING, /*flags*/ 0, /*template*/ nullptr);
    if (input == INVALID_HANDLE_VALUE)
        fail("open");
    std::vector<UCHAR> buffer(1048576);
    bare_result result;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &read, /*overlapped*/ nullptr))
            fail("read");
        if (read == 0)
            break;
        BCryptHashData(hash, buffer.data(), read, /*flags*/ 0);
        result.bytes += read;
    }
    CloseHandle(input);
    UCHAR digest[32] = {};
    BCryptFinishHash(hash, digest, sizeof(digest), /*flags*/ 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, /*flags*/ 0);
    static constexpr char hex[] = "0123456789abcdef";
    for (const UCHAR byte : digest) {
        result.digest.push_back(hex[byte >> 4]);
        result.digest.push_back(hex[byte & 15]);
    }
    return result;
}

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: sha256_bench <file> [rounds]\n");
        return 2;
    }
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 2;
    try {
        for (int round = 0; round < rounds; ++round) {
            auto start = steady::now();
            const bare_result bare = bare_cng_hash(argv[1]);
            std::printf("bare-cng %.4f %llu %s\n", seconds_since(start), bare.bytes, bare.digest.c_str());

            start = steady::now();
            int blocks = 0;
            const std::string digest = orvek::hash_file_sha256(argv[1], [&] { ++blocks; });
            std::printf("hash_file_sha256 %.4f %llu %s\n", seconds_since(start), bare.bytes, digest.c_str());
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "sha256_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
