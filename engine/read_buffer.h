#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace orvek {

// A read buffer lent from a pool the process keeps, and given back when the
// owner goes. Under Wine a read into fresh memory first faults in the whole
// length asked for (about 2.5 ms per MiB), which outweighs all other work on
// a small file, so buffers are reused instead of allocated per file.
class read_buffer {
public:
    explicit read_buffer(std::size_t size);
    ~read_buffer();
    read_buffer(const read_buffer&) = delete;
    read_buffer& operator=(const read_buffer&) = delete;

    std::span<char> span() const noexcept { return {memory_.get(), size_}; }
    char* data() const noexcept { return memory_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::size_t size_;
    std::unique_ptr<char[]> memory_;
};

}  // namespace orvek
