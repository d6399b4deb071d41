#include "regular_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The folder helper of the settings tests, with the two uses made here.
class TempDir : public talvex::testing::TempDir {
public:
    std::string Path(const std::string& name) const { return File(name); }
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream(File(name), std::ios::binary) << content;
        return File(name);
    }
};

std::string ReadAll(std::FILE* file) {
    std::string content;
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
    return content;
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(RegularFile, RefusesEveryOtherKindAtOnceAndSaysWhatItIs) {
    TempDir dir;
    const std::string fifo = dir.Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.Path("folder"));
    const std::string socketPath = dir.Path("socket");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    std::filesystem::create_symlink(fifo, dir.Path("link-to-pipe"));

    const struct {
        const char* name;
        std::string path;
        const char* reason;
    } cases[] = {
        {"FIFO without a writer", fifo, "not a regular file but a FIFO"},
        {"link to a FIFO", dir.Path("link-to-pipe"), "not a regular file but a FIFO"},
        {"folder", dir.Path("folder"), "not a regular file but a folder"},
        {"endless device", "/dev/zero", "not a regular file but a device"},
        {"terminal", "/dev/tty", "not a regular file but a device"},
        {"socket", socketPath, "not a regular file but a socket"},
    };
    const int before = OpenDescriptors();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = Clock::now();
        const RegularFile opened = OpenRegularFileForReading(c.path);
        EXPECT_LT(Clock::now() - start, 100ms);
        EXPECT_EQ(opened.status, RegularFileStatus::NotRegular);
        EXPECT_EQ(opened.reason, c.reason);
        EXPECT_FALSE(opened.file);
    }
    EXPECT_EQ(OpenDescriptors(), before) << "a refused name keeps nothing open";
    ::close(listener);
}

TEST(RegularFile, TellsAMissingFileFromOneThatCannotBeOpened) {
    TempDir dir;
    const std::string file = dir.Write("plain", "x");
    const struct {
        const char* name;
        std::string path;
        RegularFileStatus status;
        const char* reason;
    } cases[] = {
        {"no such file", dir.Path("missing"), RegularFileStatus::Missing,
         "No such file or directory"},
        {"no such folder", dir.Path("gone/file"), RegularFileStatus::Missing,
         "No such file or directory"},
        // A file where a folder should be: nothing there either, and the
        // system's own words for it.
        {"file on the way", file + "/below", RegularFileStatus::Missing, "Not a directory"},
        {"name too long", dir.Path(std::string(5000, 'n')), RegularFileStatus::CannotOpen,
         "File name too long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RegularFile opened = OpenRegularFileForReading(c.path);
        EXPECT_EQ(opened.status, c.status);
        EXPECT_EQ(opened.reason, c.reason);
        EXPECT_FALSE(opened.file);
    }
}

TEST(RegularFile, AFileWithoutReadPermissionCannotBeOpened) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    TempDir dir;
    const std::string file = dir.Write("secret", "x");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    const RegularFile opened = OpenRegularFileForReading(file);
    EXPECT_EQ(opened.status, RegularFileStatus::CannotOpen);
    EXPECT_EQ(opened.reason, "Permission denied");
    EXPECT_FALSE(opened.file);
}

TEST(RegularFile, TakesAFileUpToTheLimitAndNoByteMore) {
    TempDir dir;
    const std::string content = "0123456789";
    const std::string file = dir.Write("ten", content);
    const struct {
        std::uint64_t limit;
        RegularFileStatus status;
    } cases[] = {
        {9, RegularFileStatus::TooLarge},
        {10, RegularFileStatus::Opened},
        {11, RegularFileStatus::Opened},
        {0, RegularFileStatus::TooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        RegularFile opened = OpenRegularFileForReading(file, c.limit);
        EXPECT_EQ(opened.status, c.status);
        EXPECT_EQ(opened.size, content.size());
        EXPECT_EQ(static_cast<bool>(opened.file), c.status == RegularFileStatus::Opened);
    }
    const std::string empty = dir.Write("empty", "");
    EXPECT_EQ(OpenRegularFileForReading(empty, 0).status, RegularFileStatus::Opened);
}

TEST(RegularFile, OpensAFileOrALinkToOneForOrdinaryBlockingReads) {
    TempDir dir;
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 253);
    const std::string file = dir.Write("image.bin", content);
    std::filesystem::create_symlink(file, dir.Path("link"));
    for (const std::string& path : {file, dir.Path("link")}) {
        SCOPED_TRACE(path);
        RegularFile opened = OpenRegularFileForReading(path);
        ASSERT_EQ(opened.status, RegularFileStatus::Opened);
        ASSERT_TRUE(opened.file);
        EXPECT_EQ(opened.size, content.size());
        // Opened without waiting, but read like any file: no EAGAIN later.
        const int flags = ::fcntl(::fileno(opened.file.get()), F_GETFL);
        EXPECT_EQ(flags & O_NONBLOCK, 0);
        EXPECT_NE(::fcntl(::fileno(opened.file.get()), F_GETFD) & FD_CLOEXEC, 0)
            << "a program that the tool starts must not inherit the file";
        EXPECT_TRUE(ReadAll(opened.file.get()) == content);
    }
}

TEST(RegularFile, NamesWhatAModeIsInstead) {
    const struct {
        unsigned mode;
        const char* reason;
    } cases[] = {
        {S_IFDIR | 0755, "not a regular file but a folder"},
        {S_IFIFO | 0600, "not a regular file but a FIFO"},
        {S_IFCHR | 0666, "not a regular file but a device"},
        {S_IFBLK | 0660, "not a regular file but a device"},
        {S_IFSOCK | 0777, "not a regular file but a socket"},
        {S_IFLNK | 0777, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(NotRegularFileReason(c.mode), c.reason);
    }
}

} // namespace
} // namespace talvex
