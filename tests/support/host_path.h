#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace orvek::test {

// A host folder that ctest names in the environment, as Wine's Z: drive shows it.
inline std::filesystem::path host_folder(const char* variable)
{
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string(variable) + " is not set; run through ctest");
    std::string path = value;
    std::replace(path.begin(), path.end(), '/', '\\');
    return std::filesystem::path("Z:" + path);
}

}  // namespace orvek::test
