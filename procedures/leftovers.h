#pragma once

// What killed runs left behind: their work folders beside the updater and
// the temporary files of their atomic writes in the installation and in its
// verification-state folder.

#include <filesystem>
#include <string_view>

namespace orvek {

// A run's work folder beside the updater: this, then its process id.
inline constexpr std::wstring_view work_folder_prefix = L".orvek_update_";

// Removes them where no running copy of this program may still own them,
// ignoring every error. `program` is this program's own file.
void remove_stale_leftovers(const std::filesystem::path& program, const std::filesystem::path& installation) noexcept;

}  // namespace orvek
