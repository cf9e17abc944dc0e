#include "support/temp_dir.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvek::test {

temp_dir::temp_dir(std::string_view name)
{
    static std::atomic<unsigned> counter{0};
    const auto base = std::filesystem::temp_directory_path() / L"orvek-tests";
    std::filesystem::create_directories(base);
    for (;;) {
        auto candidate = base / (std::string(name) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("test could not open " + file.string());
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::filesystem::path& file, std::string_view bytes)
{
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("test could not write " + file.string());
    }
}

}  // namespace orvek::test
