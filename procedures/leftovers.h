#pragma once

// What killed runs left behind: their work folders beside the updater and
// the temporary files of their atomic writes in the installation.

#include <filesystem>
#include <string_view>

namespace orvek {

// Removes them where no running copy of this program may still own them,
// ignoring every error. `program` is this program's own file.
void remove_stale_leftovers(const std::filesystem::path& program, const std::filesystem::path& installation) noexcept;

// The process id that ends a name after `marker` (".orvek_update_" for a work
// folder, ".tmp." for a temporary file); 0 when the name has no such end.
unsigned long leftover_owner(std::wstring_view name, std::wstring_view marker);

}  // namespace orvek
