#include "procedures/path_limit.h"

#include "engine/small_files.h"
#include "engine/transaction.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace orvek {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t file_limit = MAX_PATH - 1;
constexpr std::size_t folder_limit = MAX_PATH - 13;

bool is_folder(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_file(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

own_names::own_names(const fs::path& installation) : installation_length_(installation.native().size()) {}

void own_names::add(const fs::path& name, std::size_t limit) { too_long_ = too_long_ || name.native().size() > limit; }

void own_names::add_file(const fs::path& file) {
    add(file, file_limit);
    // A folder that is there already is not written; each is looked up once.
    const fs::path folder = file.parent_path();
    if (!looked_up_folders_.insert(folder.native()).second) return;
    if (!is_folder(folder)) add_folder(folder);
}

void own_names::add_folder(const fs::path& folder) { add(folder, folder_limit); }

void own_names::add_temporary(const fs::path& file) { add_file(temporary_path(file)); }

void own_names::add_extraction(const std::vector<zip_entry>& entries, const fs::path& destination) {
    for (const zip_entry& entry : entries) {
        if (entry.folder) add_folder(destination / entry.name);
        else add_file(destination / entry.name);
    }
}

void own_names::add_backup(const transaction_paths& transaction, const fs::path& relative) {
    add_file(transaction.folder / relative);
    add_file(restore_path(transaction.folder, relative));
}

void own_names::add_journal(const transaction_paths& transaction) {
    add_temporary(transaction_journal_path(transaction.folder));
}

void own_names::add_removal(const transaction_paths& transaction, const fs::path& relative) {
    if (is_file(transaction.root / relative)) add_backup(transaction, relative);
}

void own_names::add_install(const transaction_paths& transaction, const fs::path& relative) {
    add_file(transaction.root / relative);
    add_removal(transaction, relative);
}

void own_names::refuse_too_long() const {
    if (!too_long_) return;
    throw std::runtime_error("The installation folder path is too long (" + std::to_string(installation_length_) +
                             " characters). Move ORVEK to a shorter path.");
}

}  // namespace orvek
