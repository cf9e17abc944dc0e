#include "procedures/partial_downloads.h"

#include "engine/own_file_removal.h"
#include "engine/ranged_download.h"

#include <system_error>

namespace orvek {

std::vector<std::filesystem::path> partial_downloads;

void remove_partial_downloads() noexcept {
    namespace fs = std::filesystem;
    for (const fs::path& file : partial_downloads) {
        std::error_code ignored;
        remove_own_file(file, ignored);
        remove_own_file(range_state_path(file), ignored);
        std::error_code empty_error;
        const bool empty = fs::is_empty(file.parent_path(), empty_error);
        if (!empty_error && empty) fs::remove(file.parent_path(), ignored);
    }
    partial_downloads.clear();
}

}  // namespace orvek
