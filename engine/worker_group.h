#pragma once

// Owner of the helper threads of a run (range workers, sound download
// workers): every thread is joined before the group ends, so the state the
// threads refer to in their starter's frame outlives them.

#include "engine/run_state.h"

#include <thread>
#include <utility>
#include <vector>

namespace orvek {

struct range_worker_task;
// Defined by the sound data flow, which also defines start_sound_worker.
struct sound_download_worker_closure;

class worker_group {
public:
    worker_group() = default;
    ~worker_group();
    worker_group(const worker_group&) = delete;
    worker_group& operator=(const worker_group&) = delete;

    // Each copies its argument into the new thread. A thread that cannot be
    // started cancels the whole run and the start error is rethrown.
    void start_range_worker(const range_worker_task& task);
    void start_sound_worker(const sound_download_worker_closure& closure);

    // Joins, in start order, every thread still joinable.
    void join_all();

private:
    template <typename Body>
    void start_thread(Body&& body) {
        try {
            threads.emplace_back(std::forward<Body>(body));
        } catch (...) {
            // Threads already started end at their next checkpoint.
            request_cancel();
            throw;
        }
    }

    std::vector<std::thread> threads;
};

}  // namespace orvek
