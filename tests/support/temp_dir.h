#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orvek::test {

// A unique empty folder under the temporary folder, removed with its contents
// when the owner goes.
class temp_dir {
public:
    explicit temp_dir(std::string_view name = "t");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Whole-file helpers for tests.
std::string read_file(const std::filesystem::path& file);
void write_file(const std::filesystem::path& file, std::string_view bytes);

}  // namespace orvek::test
