// talvex-refhost: the least a host can do to flash a target. It sends the
// wake byte, reads the identification, then sends prepared frames one after
// the other and waits for each one's answer, with nothing in between: no
// image file, no settings, no retries, no progress. The bench times it
// against talvex-cli on the same emulated line; whatever talvex-cli takes
// beyond this is what TALVEX itself costs.
//
// It waits for the identification as the bootloader's protocol has every
// host wait: a read of up to 24 bytes that lasts the line's read time-out,
// and a wake byte whenever a read brings nothing; so the comparison is of
// what the two hosts add, not of the protocol's own waits.
//
// Usage: talvex-refhost PORT BAUD FRAMES
// FRAMES holds every frame as a 2-byte big-endian length and its bytes.
// Exit code 0 when every frame was acknowledged, 1 otherwise.

#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <ctime>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "talvex-refhost: %s\n", what);
    return 1;
}

// Up to count bytes within timeoutMs; the number read.
std::size_t ReadBytes(int fd, std::uint8_t* into, std::size_t count, int timeoutMs) {
    std::size_t got = 0;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long deadline = now.tv_sec * 1000000000LL + now.tv_nsec + timeoutMs * 1000000LL;
    while (got < count) {
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = deadline - (now.tv_sec * 1000000000LL + now.tv_nsec);
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const timespec limit{static_cast<time_t>(left / 1000000000),
                             static_cast<long>(left % 1000000000)};
        if (::ppoll(&p, 1, &limit, nullptr) <= 0) break;
        const ssize_t n = ::read(fd, into + got, count - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return got;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return ::tcdrain(fd) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Fail("usage: talvex-refhost PORT BAUD FRAMES");
    const long baud = std::atol(argv[2]);
    if (baud <= 0) return Fail("the baud rate must be a positive number");
    std::FILE* in = std::fopen(argv[3], "rb");
    if (!in) return Fail("cannot open the frames file");
    std::vector<std::uint8_t> all;
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        all.insert(all.end(), chunk, chunk + n);
    std::fclose(in);

    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail("cannot open the port");
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &t);
    ::tcflush(fd, TCIOFLUSH);

    // The read time-out for 24 bytes at this rate, as every host uses it.
    const int idWaitMs = static_cast<int>(2000000 / baud + 1 + (2000 / baud + 1) * 24);
    std::uint8_t id[24];
    const std::uint8_t wake = 0x08;
    for (int reads = 0;; ++reads) {
        if (reads == 50) return Fail("no identification");
        if (ReadBytes(fd, id, sizeof id, idWaitMs) > 0) break;
        if (!WriteAll(fd, &wake, 1)) return Fail("cannot write the wake byte");
    }

    for (std::size_t at = 0; at + 2 <= all.size();) {
        const std::size_t length = (std::size_t(all[at]) << 8) | all[at + 1];
        at += 2;
        if (at + length > all.size()) return Fail("a frame runs past the end of the frames file");
        if (!WriteAll(fd, all.data() + at, length)) return Fail("cannot write a frame");
        at += length;
        std::uint8_t answer = 0;
        if (ReadBytes(fd, &answer, 1, 5000) != 1 || answer != 0x06)
            return Fail("a frame was not acknowledged");
    }
    ::close(fd);
    return 0;
}
