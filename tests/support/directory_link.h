#pragma once

#include <filesystem>

namespace orvek::test {

// A symbolic link to a folder, removed again when the owner goes (before the
// temp_dir that holds it: a folder link left there would be followed by the
// clean-up). Wine's CreateSymbolicLinkW creates nothing and Wine cannot
// delete such a link, so both are done on the Unix side; Wine reports the
// link as a reparse point.
class directory_link {
public:
    directory_link(const std::filesystem::path& link, const std::filesystem::path& target);
    ~directory_link();
    directory_link(const directory_link&) = delete;
    directory_link& operator=(const directory_link&) = delete;

private:
    std::filesystem::path link_;
};

}  // namespace orvek::test
