// Helper of the transaction crash test: installs a staged tree and rolls it
// back, over and over, so the test can kill it at any moment. Each cycle
// first recovers what the previous (possibly killed) cycle left and checks
// that the installation is exactly as before; any difference or error is
// written to <work>\failure.txt and ends the program.
//
// usage: transaction-crash-child <work folder> <cycles> [<ready event name>]
//   <work>\before.digest, <work>\after.digest  the installation before and after the install
//   <work>\template                            the staged tree
//   <work>\root                                the installation (its transaction folder inside)

#include "engine/transaction.h"
#include "file_tree.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void report(const fs::path& work, const std::string& text)
{
    std::ofstream(work / "failure.txt", std::ios::binary) << text;
}

void link_tree(const fs::path& from, const fs::path& to)
{
    fs::remove_all(to);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        if (!entry.is_regular_file()) continue;
        const fs::path target = to / entry.path().lexically_relative(from);
        fs::create_directories(target.parent_path());
        fs::create_hard_link(entry.path(), target);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 && argc != 4) return 2;
    const fs::path work = argv[1];
    const long cycles = std::wcstol(argv[2], nullptr, 10);
    const fs::path root = work / "root";
    const fs::path stage = work / "stage";
    const fs::path transaction = root / ".orvek-client-rollback";
    try {
        const auto before = orvek::test::load_digest(work / "before.digest");
        const auto after = orvek::test::load_digest(work / "after.digest");
        if (argc == 4) {
            const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
            if (ready) SetEvent(ready);
        }

        for (long cycle = 0; cycle < cycles; ++cycle) {
            orvek::recover_transaction(root, transaction);
            const std::string recovered = orvek::test::tree_difference(before, orvek::test::read_digest(root, L".orvek-client-rollback"));
            if (!recovered.empty()) {
                report(work, "after recovery in cycle " + std::to_string(cycle) + ": " + recovered);
                return 3;
            }
            link_tree(work / "template", stage);
            if (cycle % 3 == 2) orvek::discard_rollback_directory(transaction);

            const auto records = orvek::install_staged_tree(stage, root, transaction);
            const std::string installed = orvek::test::tree_difference(after, orvek::test::read_digest(root, L".orvek-client-rollback"));
            if (!installed.empty()) {
                report(work, "after install in cycle " + std::to_string(cycle) + ": " + installed);
                return 3;
            }
            // Every other install is undone here, the rest by the next recovery.
            if (cycle % 2 == 1) {
                orvek::rollback_install(records, transaction);
                fs::remove(transaction / "transaction.journal");
            }
        }
    } catch (const std::exception& error) {
        report(work, std::string("error: ") + error.what());
        return 4;
    }
    return 0;
}
