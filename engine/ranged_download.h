#pragma once

// Download of one file of known size and SHA-256: over two connections into
// two resumable part files for large files, over one resumable connection
// otherwise; verified before it counts as done.

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>

namespace orvek {

// Files from this size on go over two connections.
inline constexpr std::uint64_t multipart_threshold = 8'388'608;

// A range request the server cannot serve; the download then falls back to
// one connection. Never reaches the user.
class range_unavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one range worker thread runs; the references point into the frame of
// download_multipart, which joins its workers before it ends.
struct range_worker_task {
    std::uint64_t index;
    const std::uint64_t& size;
    const std::wstring& url;
    const std::array<std::filesystem::path, 2>& part_paths;
    std::array<std::uint64_t, 2>& part_bytes;
    std::atomic<bool>& ranges_unavailable;
    std::mutex& failure_mutex;
    std::exception_ptr& first_failure;
};

// "<destination>.resume": what the parts of a download into `destination`
// belong to.
std::filesystem::path range_state_path(const std::filesystem::path& destination);

// Brings `destination` to the verified file. Keeps "<destination>.resume"
// and resumes the parts "<destination>.range0"/".range1" across runs while
// the state file names the same URL, size and hash.
void download_multipart(const std::wstring& url, const std::filesystem::path& destination, std::uint64_t size,
                        const std::string& sha256);

// Bytes [first, last] of a file of `total` bytes into `part_path`, resumed
// from its length. `part_bytes` is this part's credit in done_bytes.
void download_range(const std::wstring& url, const std::filesystem::path& part_path, std::uint64_t first,
                    std::uint64_t last, std::uint64_t total, std::uint64_t& part_bytes);

// Thread entry: below-normal priority, then run_range_worker.
void range_worker_main(range_worker_task task);
// Never throws: results go to ranges_unavailable and first_failure.
void run_range_worker(const range_worker_task& task);

}  // namespace orvek
