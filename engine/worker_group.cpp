#include "engine/worker_group.h"

#include "engine/ranged_download.h"

namespace orvek {

worker_group::~worker_group() {
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            try {
                thread.join();
            } catch (...) {
                // A join that fails leaves nothing we could do here.
            }
        }
    }
}

void worker_group::start_range_worker(const range_worker_task& task) {
    start_thread([task] { range_worker_main(task); });
}

void worker_group::join_all() {
    for (std::thread& thread : threads) {
        if (thread.joinable())
            thread.join();
    }
}

}  // namespace orvek
