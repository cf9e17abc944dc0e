#pragma once

// Whole-tree snapshots for the tests: every regular file below a folder, by
// "/"-separated relative path, with its bytes (file_tree) or a 64-bit digest
// of them (tree_digest, cheap to store and to compare in the crash test).

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

namespace orvek::test {

using file_tree = std::map<std::string, std::string>;
using tree_digest = std::map<std::string, std::uint64_t>;

inline std::uint64_t digest_of(std::string_view bytes)
{
    std::uint64_t hash = 14695981039346656037ULL ^ bytes.size();
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return hash;
}

inline tree_digest digest_of(const file_tree& tree)
{
    tree_digest digest;
    for (const auto& [name, bytes] : tree) digest[name] = digest_of(bytes);
    return digest;
}

// `skip` names a top-level folder left out (the transaction folder).
template <typename Visit>
void visit_tree(const std::filesystem::path& folder, const std::wstring& skip, Visit visit)
{
    for (auto entry = std::filesystem::recursive_directory_iterator(folder);
         entry != std::filesystem::recursive_directory_iterator(); ++entry) {
        if (!skip.empty() && entry.depth() == 0 && entry->path().filename() == skip) {
            entry.disable_recursion_pending();
            continue;
        }
        if (!entry->is_regular_file()) continue;
        std::ifstream in(entry->path(), std::ios::binary);
        visit(entry->path().lexically_relative(folder).generic_string(),
              std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
}

inline file_tree read_tree(const std::filesystem::path& folder, const std::wstring& skip = {})
{
    file_tree tree;
    visit_tree(folder, skip, [&](std::string name, std::string bytes) { tree[std::move(name)] = std::move(bytes); });
    return tree;
}

inline tree_digest read_digest(const std::filesystem::path& folder, const std::wstring& skip = {})
{
    tree_digest digest;
    visit_tree(folder, skip, [&](std::string name, const std::string& bytes) { digest[std::move(name)] = digest_of(bytes); });
    return digest;
}

inline void save_digest(const std::filesystem::path& file, const tree_digest& digest)
{
    std::ofstream out(file, std::ios::binary);
    for (const auto& [name, hash] : digest) out << hash << '\t' << name << '\n';
}

inline tree_digest load_digest(const std::filesystem::path& file)
{
    tree_digest digest;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        digest[line.substr(tab + 1)] = std::stoull(line.substr(0, tab));
    }
    return digest;
}

// "" when equal, else the first difference in words.
template <typename Tree>
std::string tree_difference(const Tree& expected, const Tree& actual)
{
    for (const auto& [name, value] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) return "missing " + name;
        if (found->second != value) return "changed " + name;
    }
    for (const auto& entry : actual) {
        if (!expected.contains(entry.first)) return "unexpected " + entry.first;
    }
    return {};
}

}  // namespace orvek::test
