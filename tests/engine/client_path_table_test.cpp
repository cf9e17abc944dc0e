// The path rule and the release tool read one table of client file paths, so
// the tool refuses every path that the updater would refuse when installing.

#include "engine/transaction.h"
#include "support/host_path.h"
#include "support/transfer_test.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

namespace orvek::test {
namespace {

// In the table "\\" is one backslash and "\xHH" the byte HH.
std::string unescaped(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\\\") == 0) {
            bytes += '\\';
            ++i;
        } else if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size()) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

TEST(client_path_table, the_path_rule_gives_each_listed_verdict)
{
    const std::map<std::string, std::string> messages{{"ok", ""},
                                                      {"invalid", "Invalid transaction path."},
                                                      {"reserved", "Reserved updater transaction path."},
                                                      {"unsafe", "Unsafe transaction path."}};
    std::ifstream table(host_folder("ORVEK_BUILD_DIR") / "test-data" / "refused_client_paths.txt", std::ios::binary);
    ASSERT_TRUE(table) << "the client path table is missing";
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto verdict_end = line.find('\t');
        const auto path_start = line.find('\t', verdict_end + 1) + 1;
        ASSERT_TRUE(verdict_end != std::string::npos && path_start != 0) << line;
        const std::string path = unescaped(line.substr(path_start));
        EXPECT_EQ(error_of([&] { checked_transaction_path(path); }), messages.at(line.substr(0, verdict_end)))
            << "path: " << line.substr(path_start);
        ++rows;
    }
    EXPECT_GT(rows, 40);
}

}  // namespace
}  // namespace orvek::test
