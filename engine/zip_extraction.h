#pragma once

// ZIP packages are extracted by a hidden PowerShell with the .NET ZIP classes.

#include <filesystem>
#include <string>
#include <string_view>

namespace orvek {

// Runs the extractor and waits for it, terminating it on Cancel. The
// destination is created by the extractor when missing.
void extract_zip(const std::filesystem::path& zip, const std::filesystem::path& destination);

// Doubles every single quotation mark PowerShell knows (U+0027, U+2018 to
// U+201B), for a PowerShell single-quoted string.
std::wstring quote_powershell_literal(std::wstring_view text);

// The parameter string given to powershell.exe.
std::wstring extractor_parameters(const std::filesystem::path& zip, const std::filesystem::path& destination);

}  // namespace orvek
