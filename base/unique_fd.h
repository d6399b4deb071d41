#pragma once
// A POSIX file descriptor that is closed exactly once. Used by the POSIX
// backends only; the close itself lives in unique_fd_posix.cpp.

#include <cstddef>
#include <string_view>
#include <utility>

namespace talvex {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { (void)Close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            (void)Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Hands the descriptor to a new owner (fdopen, say) without closing it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes now, so that a caller can see what close() said: a network file
    // system may report a failed write only here. False leaves errno set.
    // The descriptor is given up either way, as Linux releases it even when
    // close() fails; it is never closed twice.
    bool Close();

private:
    int fd_ = -1;
};

// Writes all of bytes, resuming after a signal and after a short write.
// False leaves errno set.
bool WriteAll(int fd, std::string_view bytes);

} // namespace talvex
