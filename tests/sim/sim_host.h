#pragma once
// A hand-made host for the simulator's tests: opens the serial end with
// plain termios calls and moves raw bytes, so that nothing of the real host
// is involved.

#include "zarq_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Frame(char letter, std::uint32_t value, const Bytes& data = {}) {
    Bytes f;
    f.reserve(data.size() + 9);
    for (std::uint8_t b :
         {std::uint8_t(0x07), std::uint8_t(0x0E), static_cast<std::uint8_t>(5 + data.size()),
          static_cast<std::uint8_t>(letter), static_cast<std::uint8_t>(value >> 24),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value)})
        f.push_back(b);
    for (std::uint8_t b : data) f.push_back(b);
    std::uint8_t sum = 0;
    for (std::size_t i = 2; i < f.size(); ++i) sum = static_cast<std::uint8_t>(sum + f[i]);
    f.push_back(static_cast<std::uint8_t>(0x100 - sum));
    return f;
}

inline Bytes VerifyFrame(std::uint32_t offset, const Bytes& plain) {
    Bytes rotated;
    for (std::uint8_t b : plain) rotated.push_back(static_cast<std::uint8_t>((b << 3) | (b >> 5)));
    return Frame('V', offset, rotated);
}

// Milliseconds of the steady clock since t0.
inline double MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes ResyncBlock() {
    Bytes b(23, 0x00);
    b.push_back(0x07);
    b.push_back(0x07);
    return b;
}

inline Bytes HexBytes(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

class TestHost {
public:
    explicit TestHost(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~TestHost() {
        if (fd_ >= 0) ::close(fd_);
    }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Up to max bytes; returns early once max arrived or the line has been
    // quiet for quietMs after the first byte.
    Bytes Read(std::size_t max, int timeoutMs, int quietMs = 30) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < max) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (!out.empty()) left = std::min<long long>(left, quietMs);
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, max - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // The single answer byte, or -1 when none came.
    int Answer(int timeoutMs = 3000) {
        const Bytes b = Read(1, timeoutMs);
        return b.empty() ? -1 : b[0];
    }

    int Exchange(const Bytes& frame, int timeoutMs = 3000) {
        Send(frame);
        return Answer(timeoutMs);
    }

    // As the host does after an unacknowledged try: the resync block, then
    // the same frame again.
    int Retry(const Bytes& frame, int timeoutMs = 3000) {
        Send(ResyncBlock());
        return Exchange(frame, timeoutMs);
    }

    std::string Identify(int timeoutMs = 3000) {
        Send({0x08});
        const Bytes b = Read(64, timeoutMs, 50);
        return std::string(b.begin(), b.end());
    }

private:
    int fd_ = -1;
};

// A simulator started from command-line arguments, with a host attached.
struct SimRun {
    explicit SimRun(std::vector<std::string> args, bool withDefaultDb = true) {
        if (withDefaultDb) {
            args.insert(args.begin(), TALVEX_TEST_PARTDB);
            args.insert(args.begin(), "--partdb");
        }
        zarq::SimOptions options;
        std::string error;
        parsed = zarq::ParseSimArgs(args, options, error);
        EXPECT_TRUE(parsed) << error;
        sim = std::make_unique<zarq::Simulator>(options);
        started = sim->Start(error);
        EXPECT_TRUE(started) << error;
        if (started) host = std::make_unique<TestHost>(sim->DevicePath());
    }
    bool parsed = false;
    bool started = false;
    std::unique_ptr<zarq::Simulator> sim;
    std::unique_ptr<TestHost> host;
};

constexpr int kAck = 0x06;
constexpr int kNak = 0x15;
constexpr int kNone = -1;

inline std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/zarq-sim-test-" +
           std::to_string(::getpid()) + "-" + name;
}

} // namespace simtest
