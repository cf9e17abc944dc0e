#pragma once

// The client package cache files fetched during this attempt; removed after
// a committed client update. Touched only by the update worker thread.

#include <filesystem>
#include <vector>

namespace orvek {

extern std::vector<std::filesystem::path> partial_downloads;

// Removes each listed file, its ".resume" state and the then empty cache
// folder, ignoring every error; then empties the list.
void remove_partial_downloads() noexcept;

}  // namespace orvek
