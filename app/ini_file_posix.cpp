#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_replace.h"

namespace talvex::detail {
namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Close();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~UniqueFd() { Close(); }
    int Get() const { return fd_; }
    bool Close()
    {
        if (fd_ < 0) return true;
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool WriteAll(int fd, const std::string& content)
{
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

const char* NativeLineEnd()
{
    return "\n";
}

bool ReplaceFileDurably(const std::string& path, const std::string& content)
{
    // A settings file reached through a symbolic link is replaced where it
    // really lies, so the link survives.
    std::string target = path;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) return false;
        target = resolved;
    }

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        if (!S_ISREG(old.st_mode)) return false;
        // The mode bits are checked as well as access(): a file marked
        // read-only stays untouched even for root.
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
        if (::access(target.c_str(), W_OK) != 0) return false;
    } else if (errno != ENOENT) {
        return false;
    }

    std::string tempPath;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
        tempPath = target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(attempt);
        fd = UniqueFd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.Get() < 0 && errno != EEXIST) return false;
    }
    if (fd.Get() < 0) return false;
    TempFileGuard guard(tempPath);

    if (!WriteAll(fd.Get(), content)) return false;
    if (exists) {
        if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) return false;
        // Only root may hand the file back to its owner; others keep their own.
        if (::fchown(fd.Get(), old.st_uid, old.st_gid) != 0 && ::geteuid() == 0) return false;
    }
    if (::fsync(fd.Get()) != 0) return false;
    if (!fd.Close()) return false;
    if (::rename(tempPath.c_str(), target.c_str()) != 0) return false;
    guard.Release();

    // Make the rename itself durable. The new file is already in place, so a
    // failure here cannot be undone and is not reported as a failed write.
    UniqueFd folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) ::fsync(folder.Get());
    return true;
}

} // namespace talvex::detail
