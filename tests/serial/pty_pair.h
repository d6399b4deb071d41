#pragma once
// A pseudo-terminal pair standing in for a serial line: the port under test
// opens the slave by path, the test plays the target on the master.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talvex::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    // The slave fd openpty hands out; kept open so that the master never
    // sees the line as closed between two opens of the port.
    int SlaveFd() const { return slave_; }

    // The target's side of the line.
    bool Send(const std::vector<std::uint8_t>& bytes);
    // Reads up to `want` bytes from the master, waiting at most `limit`.
    std::vector<std::uint8_t> Receive(std::size_t want, std::chrono::milliseconds limit);
    // True when the master has something to read within `limit`.
    bool HasInput(std::chrono::milliseconds limit);
    // Pulls the plug: the slave side sees a hang-up.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// The output speed the kernel holds for a tty fd, read through termios2 so
// that rates outside the Bxxx table show their real value.
std::uint32_t KernelOutputSpeed(int fd);

} // namespace talvex::test
