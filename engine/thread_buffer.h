#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace orvek {

// A read buffer the calling thread keeps for its whole life, one for each
// use (Tag), so that two uses never share one. Under Wine a read into fresh
// memory first faults in the whole length asked for (about 2.5 ms per MiB),
// which outweighs all other work on a small file.
template <typename Tag, std::size_t Size>
std::span<char, Size> thread_buffer()
{
    thread_local const std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(Size);
    return std::span<char, Size>(buffer.get(), Size);
}

}  // namespace orvek
