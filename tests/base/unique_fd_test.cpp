#include "unique_fd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace talvex {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
};

TEST(UniqueFd, ClosesWhatItOwnsOnceAndOnlyThat) {
    Pipe p;
    ASSERT_GE(p.read, 0);
    {
        UniqueFd a(p.read);
        UniqueFd b(p.write);
        EXPECT_TRUE(a.Valid());

        // Moving hands the descriptor over; the source no longer closes it.
        UniqueFd moved(std::move(a));
        EXPECT_FALSE(a.Valid());
        EXPECT_EQ(moved.Get(), p.read);

        // Assigning over an owner closes what it held first.
        moved = std::move(b);
        EXPECT_FALSE(IsOpen(p.read));
        EXPECT_TRUE(IsOpen(p.write));
        EXPECT_EQ(moved.Get(), p.write);

        EXPECT_TRUE(moved.Close());
        EXPECT_FALSE(IsOpen(p.write));
        // A second close is no close: the number may belong to someone else
        // by now: a new pipe takes the lowest free numbers, the ones just
        // closed.
        Pipe other;
        EXPECT_TRUE(moved.Close());
        EXPECT_TRUE(IsOpen(other.read));
        EXPECT_TRUE(IsOpen(other.write));
        ::close(other.read);
        ::close(other.write);
    }
}

TEST(UniqueFd, ReleaseHandsTheDescriptorOnOpen) {
    Pipe p;
    ASSERT_GE(p.read, 0);
    int kept = -1;
    {
        UniqueFd fd(p.read);
        kept = fd.Release();
        EXPECT_FALSE(fd.Valid());
    }
    EXPECT_EQ(kept, p.read);
    EXPECT_TRUE(IsOpen(kept));
    ::close(p.read);
    ::close(p.write);
}

TEST(UniqueFd, CloseReportsAFailureWithItsReason) {
    Pipe p;
    ASSERT_GE(p.read, 0);
    UniqueFd fd(p.read);
    ::close(p.read); // behind its back: the close that follows must fail
    errno = 0;
    EXPECT_FALSE(fd.Close());
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(fd.Valid());
    ::close(p.write);
}

TEST(WriteAll, DeliversEveryByteThroughShortWrites) {
    Pipe p;
    ASSERT_GE(p.read, 0);
    // Far more than a pipe holds, so that the writes come back short and
    // the rest must follow.
    std::string content(1 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(p.read, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    });
    {
        UniqueFd writer(p.write);
        EXPECT_TRUE(WriteAll(writer.Get(), content));
    }
    reader.join();
    ::close(p.read);
    EXPECT_EQ(received.size(), content.size());
    EXPECT_TRUE(received == content);
}

TEST(WriteAll, FailsWithTheSystemsReason) {
    Pipe p;
    ASSERT_GE(p.read, 0);
    errno = 0;
    EXPECT_FALSE(WriteAll(p.read, "x")); // the read end takes no bytes
    EXPECT_EQ(errno, EBADF);
    ::close(p.read);
    ::close(p.write);
    EXPECT_TRUE(WriteAll(-1, "")) << "nothing to write is no failure";
}

} // namespace
} // namespace talvex
