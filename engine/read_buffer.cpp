#include "engine/read_buffer.h"

#include <mutex>
#include <utility>
#include <vector>

namespace orvek {

namespace {

struct buffer_pool {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::unique_ptr<char[]>>> idle;
};

// Never destroyed: a thread still reading while the process ends must not
// give its buffer back to a pool that is gone.
buffer_pool& pool()
{
    static buffer_pool* const instance = new buffer_pool;
    return *instance;
}

}  // namespace

read_buffer::read_buffer(std::size_t size) : size_(size)
{
    {
        const std::lock_guard lock(pool().mutex);
        auto& idle = pool().idle;
        for (auto entry = idle.begin(); entry != idle.end(); ++entry) {
            if (entry->first == size) {
                memory_ = std::move(entry->second);
                idle.erase(entry);
                return;
            }
        }
    }
    memory_ = std::make_unique_for_overwrite<char[]>(size);
}

read_buffer::~read_buffer()
{
    try {
        const std::lock_guard lock(pool().mutex);
        pool().idle.emplace_back(size_, std::move(memory_));
    } catch (...) {
        // Out of memory for the list: the buffer is simply freed.
    }
}

}  // namespace orvek
