#pragma once

// Windows refuses a path longer than MAX_PATH - 1 characters, and the
// updater does not use its long paths. A step that is about to write names
// of its own below the installation collects them first and refuses to start
// when the longest would not fit.

#include <filesystem>

namespace orvek {

class own_names {
public:
    // The temporary of an atomic write of `relative` by this process.
    void add_temporary(const std::filesystem::path& relative);
    // The second name through which a rollback of the transaction kept in
    // `transaction` (relative to the installation) restores `file` (relative
    // to that transaction's root).
    void add_restore(const std::filesystem::path& transaction, const std::filesystem::path& file);
    // What installing `stage` through that transaction writes: the journal's
    // temporary and the restore name of every staged file.
    void add_staged_tree(const std::filesystem::path& transaction, const std::filesystem::path& stage);

    // Throws "The installation folder path is too long (N characters; at most
    // M). Move ORVEK to a shorter path." when the longest name passes the
    // limit; M is the longest installation path with which it would fit.
    void refuse_too_long(const std::filesystem::path& installation) const;

private:
    // A name relative to the installation.
    void add(const std::filesystem::path& relative);

    std::filesystem::path longest_;
};

}  // namespace orvek
