#include "procedures/path_limit.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace orvek {

namespace fs = std::filesystem;

void own_names::add(const fs::path& relative) {
    if (relative.native().size() > longest_.native().size()) longest_ = relative;
}

void own_names::add_temporary(const fs::path& relative) {
    // As the atomic write names it: "<name>.tmp.<process id>".
    add(relative.native() + L".tmp." + std::to_wstring(GetCurrentProcessId()));
}

void own_names::add_restore(const fs::path& transaction, const fs::path& file) {
    add(transaction / L".orvek-restore" / file);
}

void own_names::add_staged_tree(const fs::path& transaction, const fs::path& stage) {
    add_temporary(transaction / L"transaction.journal");
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(stage))
        if (entry.is_regular_file()) add_restore(transaction, entry.path().lexically_relative(stage));
}

void own_names::refuse_too_long(const fs::path& installation) const {
    constexpr std::size_t limit = MAX_PATH - 1;
    if (longest_.empty()) return;
    const std::size_t length = (installation / longest_).native().size();
    if (length <= limit) return;
    const std::size_t own = length - installation.native().size();
    throw std::runtime_error("The installation folder path is too long (" +
                             std::to_string(installation.native().size()) + " characters; at most " +
                             std::to_string(own < limit ? limit - own : 0) + "). Move ORVEK to a shorter path.");
}

}  // namespace orvek
