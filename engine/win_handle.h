#pragma once

// Owner of one Win32 kernel handle (file, process, snapshot); closes it when
// it goes. Both null and INVALID_HANDLE_VALUE mean "no handle".

#include <windows.h>

#include <utility>

namespace orvek {

class win_handle {
public:
    win_handle() = default;
    explicit win_handle(HANDLE handle) noexcept : handle_(handle) {}
    ~win_handle() { reset(); }
    win_handle(const win_handle&) = delete;
    win_handle& operator=(const win_handle&) = delete;
    win_handle(win_handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    win_handle& operator=(win_handle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    HANDLE get() const noexcept { return handle_; }
    // Hands the handle to a caller that closes it itself.
    HANDLE release() noexcept { return std::exchange(handle_, nullptr); }
    explicit operator bool() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) noexcept {
        if (*this) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// The file handle owner of the verification state.
using file_handle = win_handle;

}  // namespace orvek
