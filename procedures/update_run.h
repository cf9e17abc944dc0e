#pragma once
// One whole update attempt, run by the update worker thread.

#include <string>
#include <string_view>
#include <vector>

namespace orvek {

// 0 after success, a current installation or a declined release; 1 after a
// failure or a cancel. Failures are reported here and never thrown.
int run_update();

void report_status(const std::wstring& text);

// The 27-character client release identifier: 14 digits, "-", 12 hex digits.
std::string parse_client_release_id(std::string_view body);

// The arguments after the program's name, split as Windows splits them.
std::vector<std::wstring> program_arguments(const wchar_t* command_line);

}  // namespace orvek
