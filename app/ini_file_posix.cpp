#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_replace.h"
#include "regular_file.h"
#include "system_error_text.h"
#include "unique_fd.h"

namespace talvex::detail {
namespace {

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why creating a file in a folder failed, in the user's terms.
std::string CreateFailureReason(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return "read-only folder";
    case EROFS: return "read-only file system";
    case ENOENT:
    case ENOTDIR: return "no such folder";
    default: return "cannot create a file beside it: " + ErrnoText(error);
    }
}

} // namespace

void RemoveDeadLeftovers(const std::string& target) {
    const std::string folder = FolderOf(target);
    const std::string base = BaseNameOf(target);
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) return;
    const unsigned long self = static_cast<unsigned long>(::getpid());
    // NOLINTNEXTLINE(concurrency-mt-unsafe): safe on a stream no other thread reads
    while (const dirent* entry = ::readdir(dir.get())) {
        const unsigned long pid = LeftoverPid(entry->d_name, base);
        if (pid == 0 || pid == self || pid > static_cast<unsigned long>(INT_MAX)) continue;
        // Only ESRCH means gone; EPERM is a live process of another user.
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        // Best effort: a leftover that cannot be removed does no harm.
        ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

const char* NativeLineEnd() { return "\n"; }

bool ReplaceFileDurably(const std::string& path, const std::string& content, std::string* whyNot) {
    auto fail = [whyNot](std::string reason) {
        if (whyNot) *whyNot = std::move(reason);
        return false;
    };
    // A settings file reached through a symbolic link is replaced where it
    // really lies, so the link survives.
    std::string target = path;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) {
            return fail("cannot follow the link: " + ErrnoText(errno));
        }
        target = resolved;
    }

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        if (!S_ISREG(old.st_mode)) return fail(NotRegularFileReason(old.st_mode));
        // The mode bits are checked as well as access(): a file marked
        // read-only stays untouched even for root.
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return fail("read-only file");
        if (::access(target.c_str(), W_OK) != 0) {
            return fail(errno == EROFS ? "read-only file system" : "read-only file");
        }
    } else if (errno != ENOENT) {
        return fail(CreateFailureReason(errno));
    }

    RemoveDeadLeftovers(target);

    // A settings file may hold a secret (Key0): a new one is its owner's
    // alone, and the copy of an existing one starts out owner-only and gets
    // the old owner and mode before the first byte goes in, so a file the
    // user opened up for others stays open.
    const mode_t createMode = 0600;
    std::string tempPath;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && fd.Get() < 0; ++attempt) {
        tempPath = TempFileName(target, static_cast<unsigned long>(::getpid()), attempt);
        fd =
            UniqueFd(::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode));
        if (fd.Get() < 0 && errno != EEXIST) return fail(CreateFailureReason(errno));
    }
    if (fd.Get() < 0) return fail("no free name for a temporary file beside it");
    TempFileGuard guard(tempPath);

    if (exists) {
        // Only root may hand the file back to its owner; others keep their
        // own. The owner first: a change of owner may clear mode bits.
        if (::fchown(fd.Get(), old.st_uid, old.st_gid) != 0 && ::geteuid() == 0) {
            return fail("cannot give the new file its owner: " + ErrnoText(errno));
        }
        if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) {
            return fail("cannot give the new file its permissions: " + ErrnoText(errno));
        }
    }
    NotifyTempFile(TempStage::Created, tempPath);
    if (!WriteAll(fd.Get(), content)) return fail("write failed: " + ErrnoText(errno));
    NotifyTempFile(TempStage::Written, tempPath);
    if (::fsync(fd.Get()) != 0) return fail("write failed: " + ErrnoText(errno));
    if (!fd.Close()) return fail("write failed: " + ErrnoText(errno));
    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
        return fail("cannot replace the file: " + ErrnoText(errno));
    }
    guard.Release();

    // Make the rename itself durable. The new file is already in place, so a
    // failure here cannot be undone and is not reported as a failed write.
    UniqueFd folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) ::fsync(folder.Get());
    return true;
}

} // namespace talvex::detail
