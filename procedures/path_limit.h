#pragma once

// Windows refuses a file path of more than MAX_PATH - 1 characters and a
// folder path of more than MAX_PATH - 13 (room for an 8.3 name), and the
// updater does not use its long paths. A step that is about to write below
// the installation first collects the names it will write, spelled by the
// same helpers as the writes, and refuses to start when one would not fit.

#include "engine/zip_extraction.h"

#include <cstddef>
#include <filesystem>
#include <set>
#include <vector>

namespace orvek {

// A transaction's install root and its folder, named together so that the
// two cannot change places.
struct transaction_paths {
    std::filesystem::path root;
    std::filesystem::path folder;
};

class own_names {
public:
    explicit own_names(const std::filesystem::path& installation);

    // A file the step writes, and its folder when that is still to be made.
    void add_file(const std::filesystem::path& file);
    // A folder the step makes.
    void add_folder(const std::filesystem::path& folder);
    // The temporary through which `file` is written atomically.
    void add_temporary(const std::filesystem::path& file);
    // What extracting `entries` into `destination` makes.
    void add_extraction(const std::vector<zip_entry>& entries, const std::filesystem::path& destination);
    // The backup of the file at `relative` below the transaction's root and
    // the second name through which a rollback restores it.
    void add_backup(const transaction_paths& transaction, const std::filesystem::path& relative);
    // The journal the transaction writes atomically.
    void add_journal(const transaction_paths& transaction);
    // What removing the file at `relative` through the transaction writes:
    // its backup, when there is one to remove.
    void add_removal(const transaction_paths& transaction, const std::filesystem::path& relative);
    // What installing a staged file at `relative` writes: the file, and
    // where one is there to be replaced, its backup.
    void add_install(const transaction_paths& transaction, const std::filesystem::path& relative);

    // Throws "The installation folder path is too long (N characters). Move
    // ORVEK to a shorter path." when a name passes its limit. No length is
    // promised: a later step of the same run may need a shorter path.
    void refuse_too_long() const;

private:
    void add(const std::filesystem::path& name, std::size_t limit);

    std::size_t installation_length_;
    bool too_long_ = false;
    std::set<std::wstring> looked_up_folders_;
};

}  // namespace orvek
