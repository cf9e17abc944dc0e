#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvek::test {

// A ZIP of stored entries (name, bytes); names ending in "/" are folders.
std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace orvek::test
