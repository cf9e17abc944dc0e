#pragma once

// The sound data update: brings the installation's data folder to the
// release the server's pointer names, downloading what is missing or
// damaged with a pool of 1 to 8 threads and installing it in one
// transaction.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace orvek {

// One asset to download, as the manifest lists it.
struct sound_download_item {
    std::string id;
    std::string sha256;  // lower case
    std::uint64_t size = 0;
};

// The work the pool threads share. Every member refers to an object in
// update_sound_data's frame, which joins the threads before those end.
struct sound_download_worker_closure {
    std::atomic<bool>& stop_requested;
    std::atomic<std::uint64_t>& next_index;
    const std::vector<sound_download_item>& items;
    const std::filesystem::path& data_dir;
    const std::wstring& releases_base;
    const std::string& manifest_id;
    std::mutex& pool_mutex;
    std::exception_ptr& first_error;  // guarded by pool_mutex
    std::atomic<std::uint64_t>& finished_workers;
    std::condition_variable& workers_done;
};

// What each pool thread runs: its own copy of the shared closure.
struct sound_download_thread_closure {
    sound_download_worker_closure work;
    void operator()() const;
};

// The starter's wait predicate: every started worker has left its loop.
struct all_workers_finished {
    const std::atomic<std::uint64_t>& finished_workers;
    const std::uint64_t& started_workers;
    bool operator()() const { return finished_workers.load() == started_workers; }
};

// Below-normal priority, then the worker loop.
void run_sound_download_thread(const sound_download_worker_closure& work);
// Takes items until the list is exhausted or the pool is stopped; the first
// failure is stored, stops the pool and cancels the run. Never throws.
void sound_download_worker(const sound_download_worker_closure& work) noexcept;

// "ORVEK_UPDATER_CONNECTIONS" as an unsigned decimal number clamped to 1..8;
// 2 when it cannot be read.
std::uint64_t parse_connection_setting(const std::wstring& value);

// The name of an asset's verified download in the data folder.
std::filesystem::path sound_part_path(const std::filesystem::path& data_dir, const sound_download_item& item);

void update_sound_data(const std::wstring& pointer_url, const std::wstring& releases_base,
                       const std::filesystem::path& installation, const std::filesystem::path& work);

}  // namespace orvek
