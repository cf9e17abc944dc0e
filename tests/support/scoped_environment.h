#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace orvek::test {

// Sets (or, with nullptr, removes) an environment variable of the test
// process for one scope; children started meanwhile inherit it.
class scoped_environment {
public:
    scoped_environment(const wchar_t* name, const wchar_t* value) : name_(name)
    {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        if (length > 0 && length < 32768) saved_ = std::wstring(buffer, length);
        SetEnvironmentVariableW(name, value);
    }
    ~scoped_environment() { SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }
    scoped_environment(const scoped_environment&) = delete;
    scoped_environment& operator=(const scoped_environment&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

}  // namespace orvek::test
