#pragma once
// A Windows HANDLE that is closed exactly once. The handle is kept as the
// void* it is, so that this header needs no Windows header; the close itself
// lives in unique_handle_win32.cpp, and only Win32 backends use it.

#include <cstdint>
#include <string_view>
#include <utility>

namespace talvex {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(void* handle) : handle_(handle) {}
    ~UniqueHandle() { (void)Close(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, Invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            (void)Close();
            handle_ = std::exchange(other.handle_, Invalid());
        }
        return *this;
    }

    void* Get() const { return handle_; }
    // The API answers a failure with either INVALID_HANDLE_VALUE (files,
    // devices) or null (events, processes); neither is a handle.
    bool Valid() const { return handle_ != nullptr && handle_ != Invalid(); }
    // Hands the handle to a new owner (a C runtime descriptor, say).
    void* Release() { return std::exchange(handle_, Invalid()); }
    // Closes now so that a failure can be reported; GetLastError() tells why.
    // The handle is given up either way.
    bool Close();

private:
    // INVALID_HANDLE_VALUE, spelled without the Windows header.
    static void* Invalid() { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }

    void* handle_ = Invalid();
};

// Writes all of bytes to a file handle opened for synchronous writing. False
// leaves GetLastError() set, or means the system took nothing.
bool WriteAll(void* handle, std::string_view bytes);

} // namespace talvex
