#include "engine/ranged_download.h"

#include "engine/http_client.h"
#include "engine/own_file_removal.h"
#include "engine/read_buffer.h"
#include "engine/run_state.h"
#include "engine/sha256.h"
#include "engine/small_files.h"
#include "engine/transaction.h"
#include "engine/worker_group.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <vector>

namespace orvek {

namespace {

constexpr std::size_t range_buffer_size = 262'144;
constexpr int range_attempt_count = 4;

std::filesystem::path with_suffix(const std::filesystem::path& file, const wchar_t* suffix) {
    std::filesystem::path result = file;
    result += suffix;
    return result;
}

// The state file names what the parts belong to; any change of URL, size or
// hash makes the parts worthless.
std::string range_state_text(const std::wstring& url, std::uint64_t size, const std::string& sha256) {
    std::string text;
    text.reserve(url.size() + 100);
    for (const wchar_t unit : url)
        text.push_back(static_cast<char>(unit & 0xff));
    text += "\nORVEK-RANGES-1\n";
    text += std::to_string(size);
    text += '\n';
    text += sha256;
    text += "\n2\n";
    return text;
}

void remove_ignoring_errors(const std::filesystem::path& file) {
    std::error_code ignored;
    remove_own_file(file, ignored);
}

void assemble_parts(const std::filesystem::path& destination, const std::array<std::filesystem::path, 2>& parts) {
    std::ofstream output(destination, std::ios::binary | std::ios::trunc);
    if (!output.is_open())
        throw std::runtime_error("Cannot assemble multipart download.");
    const read_buffer buffer(range_buffer_size);
    try {
        for (const std::filesystem::path& part : parts) {
            std::ifstream input(part, std::ios::binary);
            if (!input.is_open())
                throw std::runtime_error("Missing multipart segment.");
            while (input) {
                check_pause_cancel();
                input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                write_download_chunk(output, buffer.data(), static_cast<std::size_t>(input.gcount()));
            }
            if (!input.eof())
                throw std::runtime_error("Cannot read multipart segment.");
        }
        output.flush();
        if (!output)
            throw std::runtime_error("Cannot flush assembled download.");
    } catch (...) {
        // A half-assembled file must not pass for the download; the parts stay.
        output.close();
        remove_ignoring_errors(destination);
        throw;
    }
}

void record_first_failure(const range_worker_task& task) {
    const std::lock_guard lock(task.failure_mutex);
    if (!task.first_failure)
        task.first_failure = std::current_exception();
}

}  // namespace

void download_range(const std::wstring& url, const std::filesystem::path& part_path, std::uint64_t first,
                    std::uint64_t last, std::uint64_t total, std::uint64_t& part_bytes) {
    check_pause_cancel();
    std::uint64_t have = std::filesystem::exists(part_path) ? std::filesystem::file_size(part_path) : 0;
    const std::uint64_t length = last - first + 1;
    if (have > length) {
        remove_own_file(part_path);
        have = 0;
    }
    // Bytes on disk are credited once per call, however many attempts it takes.
    if (have > part_bytes)
        done_bytes += have - part_bytes;
    else
        done_bytes -= part_bytes - have;
    part_bytes = have;
    if (have == length)
        return;

    const request_slot slot;
    request_headers headers;
    headers.lines = L"Range: bytes=" + std::to_wstring(first + have) + L"-" + std::to_wstring(last) +
                    L"\r\nAccept-Encoding: identity\r\n";
    headers.flags = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
    headers.required = true;
    const http_request http =
        send_http_request(url, L"GET", {"Invalid multipart URL.", "Multipart network request failed."}, headers);
    const HINTERNET request = http.request.get();

    const std::optional<DWORD> status = query_status_code(request);
    if (!status)
        throw std::runtime_error("Missing HTTP status.");
    if (*status == 200 || *status == 416)
        throw range_unavailable("Range unavailable; using a single connection.");
    if (*status != 206)
        throw_http_status(*status);
    const std::wstring expected_range = L"bytes " + std::to_wstring(first + have) + L"-" + std::to_wstring(last) +
                                        L"/" + std::to_wstring(total);
    if (query_header_text(request, WINHTTP_QUERY_CONTENT_RANGE) != expected_range)
        throw range_unavailable("Invalid multipart range; using a full verified download.");

    // Created only now, after a valid answer.
    std::ofstream output(part_path, std::ios::binary | std::ios::app);
    if (!output.is_open())
        throw std::runtime_error("Cannot open multipart file. Check disk space and permissions.");
    const read_buffer buffer(range_buffer_size);
    body_writer writer(output, buffer.span());
    constexpr char interrupted[] = "Multipart transfer interrupted.";
    while (have < length) {
        check_pause_cancel();
        const std::span<char> space = writer.free_space();
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(space.size(), length - have));
        const DWORD read = read_available(request, space.first(wanted), interrupted);
        if (read == 0)
            throw std::runtime_error(interrupted);
        writer.add(read);
        have += read;
        part_bytes += read;
        done_bytes += read;
        received_bytes += read;
    }
    writer.write_out();
    char extra = 0;
    DWORD extra_read = 0;
    if (!WinHttpReadData(request, &extra, 1, &extra_read) || extra_read != 0)
        throw range_unavailable("Invalid multipart body length.");
    output.flush();
    if (!output)
        throw std::runtime_error("Cannot flush multipart file.");
}

void run_range_worker(const range_worker_task& task) {
    try {
        const std::uint64_t half = task.size / 2;
        const std::uint64_t first = task.index * half;
        const std::uint64_t last = task.index == 0 ? half - 1 : task.size - 1;
        for (int attempt = 0;; ++attempt) {
            try {
                download_range(task.url, task.part_paths[task.index], first, last, task.size,
                               task.part_bytes[task.index]);
                return;
            } catch (const range_unavailable&) {
                // Not a failure: the starter falls back to one connection.
                task.ranges_unavailable.store(true);
                return;
            } catch (const std::exception& error) {
                check_pause_cancel();
                if (attempt == range_attempt_count - 1 || is_final_http_failure(error.what()))
                    throw;
                sleep_interruptible(1000u << attempt);
            }
        }
    } catch (...) {
        record_first_failure(task);
    }
}

void range_worker_main(range_worker_task task) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    run_range_worker(task);
}

std::filesystem::path range_state_path(const std::filesystem::path& destination) {
    return with_suffix(destination, L".resume");
}

void download_multipart(const std::wstring& url, const std::filesystem::path& destination, std::uint64_t size,
                        const std::string& sha256) {
    check_pause_cancel();
    const path_state destination_state = refuse_reparse_points(destination);
    const std::string state_text = range_state_text(url, size, sha256);
    const std::filesystem::path state_path = range_state_path(destination);
    const std::array<std::filesystem::path, 2> part_paths{with_suffix(destination, L".range0"),
                                                          with_suffix(destination, L".range1")};
    const path_state saved_state = refuse_reparse_points(state_path);
    const std::array<path_state, 2> part_states{refuse_reparse_points(part_paths[0]),
                                                refuse_reparse_points(part_paths[1])};
    // Names just found absent are not looked up again: under Wine every such
    // lookup reads the whole data folder, which holds thousands of files.
    // The state afterwards: absent, or unknown when the removal failed.
    const auto remove_unless_absent = [](const std::filesystem::path& file, path_state state) {
        std::error_code error;
        if (state != path_state::absent)
            remove_own_file(file, error);
        return error ? path_state::unknown : path_state::absent;
    };
    path_state destination_now = destination_state;
    const bool stale = (saved_state == path_state::absent ? std::string() : read_small_file(state_path)) != state_text;
    if (stale) {
        remove_unless_absent(part_paths[0], part_states[0]);
        remove_unless_absent(part_paths[1], part_states[1]);
        destination_now = remove_unless_absent(destination, destination_state);
        write_file_atomically(state_path, state_text);
    }

    const bool multipart = size >= multipart_threshold;
    // Kept parts of an earlier call, or the ones this call makes.
    const bool parts_may_exist =
        multipart || (!stale && (part_states[0] != path_state::absent || part_states[1] != path_state::absent));
    bool single = !multipart;
    if (multipart && !std::filesystem::exists(destination)) {
        std::array<std::uint64_t, 2> part_bytes{0, 0};
        std::atomic<bool> ranges_unavailable{false};
        std::mutex failure_mutex;
        std::exception_ptr first_failure;
        // Declared last: on any exit its destructor joins the workers before
        // the state they refer to goes.
        worker_group workers;
        for (std::uint64_t index = 0; index < 2; ++index) {
            workers.start_range_worker(range_worker_task{index, size, url, part_paths, part_bytes,
                                                         ranges_unavailable, failure_mutex, first_failure});
        }
        workers.join_all();
        if (first_failure)
            std::rethrow_exception(first_failure);
        single = ranges_unavailable.load();
        if (single) {
            destination_now = path_state::absent;  // as found above; the workers write only parts
            done_bytes -= part_bytes[0] + part_bytes[1];
            remove_own_file(part_paths[0]);
            remove_own_file(part_paths[1]);
        } else {
            assemble_parts(destination, part_paths);
        }
    } else if (multipart) {
        if (std::filesystem::file_size(destination) != size) {
            remove_own_file(destination);
            // The state file matches now, so the parts are resumed.
            download_multipart(url, destination, size, sha256);
            return;
        }
        done_bytes += size;
    }

    if (single) {
        // The resumable download need not look the destination up again.
        std::optional<bool> is_file;
        if (destination_now != path_state::unknown)
            is_file = destination_now == path_state::file;
        download_resumable_with_retry(url, destination, size, is_file);
    }

    check_pause_cancel();
    if (std::filesystem::file_size(destination) != size)
        throw std::runtime_error("Assembled file has the wrong size.");
    try {
        verify_file_sha256(destination, sha256, check_pause_cancel);
    } catch (...) {
        // A cancelled run keeps everything; a paused one waits here first.
        check_pause_cancel();
        remove_ignoring_errors(destination);
        remove_ignoring_errors(part_paths[0]);
        remove_ignoring_errors(part_paths[1]);
        throw;
    }
    if (parts_may_exist) {
        remove_ignoring_errors(part_paths[0]);
        remove_ignoring_errors(part_paths[1]);
    }
}

}  // namespace orvek
