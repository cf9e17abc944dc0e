#pragma once

#include <windows.h>

#include <filesystem>

namespace orvek::test {

// A stand-in program or test helper, built into bin/standins beside the tests.
inline std::filesystem::path standin_path(const wchar_t* name)
{
    wchar_t module[MAX_PATH];
    GetModuleFileNameW(/*this program*/ nullptr, module, MAX_PATH);
    return std::filesystem::path(module).parent_path() / L"standins" / name;
}

}  // namespace orvek::test
