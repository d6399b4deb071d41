#pragma once
// A pseudo-terminal pair standing in for a serial line: the port under test
// opens the slave by path, the test plays the target on the master.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace talvex::test {

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        path_ = name;
        termios raw{}; // the target side sees bytes exactly as sent
        ::tcgetattr(master_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master_, TCSANOW, &raw);
    }
    ~PtyPair() {
        CloseMaster();
        ::close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return path_; }
    // Kept open so that the master never sees the line closed between opens.
    int SlaveFd() const { return slave_; }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Up to `want` bytes from the master, waiting at most `limit` for each.
    std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> got(want);
        std::size_t have = 0;
        pollfd p{master_, POLLIN, 0};
        while (have<want&& ::poll(&p, 1, static_cast<int>(limit.count()))> 0) {
            const ssize_t n = ::read(master_, got.data() + have, want - have);
            if (n <= 0) break;
            have += static_cast<std::size_t>(n);
        }
        got.resize(have);
        return got;
    }
    // Pulls the plug: the slave side sees a hang-up.
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The output speed the kernel holds for a tty, read through termios2 so that
// rates outside the Bxxx table show their real value (termios2_probe.cpp).
std::uint32_t KernelOutputSpeed(int fd);

} // namespace talvex::test
