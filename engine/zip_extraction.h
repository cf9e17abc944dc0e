#pragma once

// ZIP packages are extracted by a hidden PowerShell with the .NET ZIP classes.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace orvek {

// Runs the extractor and waits for it, terminating it on Cancel. The
// destination is created by the extractor when missing.
void extract_zip(const std::filesystem::path& zip, const std::filesystem::path& destination);

// One entry of a ZIP, named as the extractor names it below its destination.
struct zip_entry {
    std::filesystem::path name;
    bool folder = false;
};

// The entries a ZIP's central directory lists, as they land below the
// destination, without extracting anything; throws "Could not extract the
// update package." for a file the extractor could not read either, and for a
// name it would not write below the destination.
std::vector<zip_entry> read_zip_entries(const std::filesystem::path& zip);

// Doubles every single quotation mark PowerShell knows (U+0027, U+2018 to
// U+201B), for a PowerShell single-quoted string.
std::wstring quote_powershell_literal(std::wstring_view text);

// The parameter string given to powershell.exe.
std::wstring extractor_parameters(const std::filesystem::path& zip, const std::filesystem::path& destination);

}  // namespace orvek
