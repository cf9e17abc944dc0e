#pragma once

// Whole-tree snapshots for the crash tests: every regular file below a
// folder, by "/"-separated relative path, with its bytes.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace orvek::test {

using file_tree = std::map<std::string, std::string>;

// `skip` names a top-level folder left out (the transaction folder).
inline file_tree read_tree(const std::filesystem::path& folder, const std::wstring& skip = {})
{
    file_tree tree;
    for (auto entry = std::filesystem::recursive_directory_iterator(folder);
         entry != std::filesystem::recursive_directory_iterator(); ++entry) {
        if (!skip.empty() && entry.depth() == 0 && entry->path().filename() == skip) {
            entry.disable_recursion_pending();
            continue;
        }
        if (!entry->is_regular_file()) continue;
        std::ifstream in(entry->path(), std::ios::binary);
        tree[entry->path().lexically_relative(folder).generic_string()] =
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return tree;
}

// "" when equal, else the first difference in words.
inline std::string tree_difference(const file_tree& expected, const file_tree& actual)
{
    for (const auto& [name, bytes] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) return "missing " + name;
        if (found->second != bytes) return "changed " + name;
    }
    for (const auto& [name, bytes] : actual) {
        if (!expected.contains(name)) return "unexpected " + name;
    }
    return {};
}

}  // namespace orvek::test
