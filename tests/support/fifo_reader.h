#pragma once
// The far end of a FIFO that the program under test writes into: a log
// collector that takes everything, or one that hangs and takes nothing, with
// the pipe shrunk to a page so that a short run fills it.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::testing {

inline ::testing::AssertionResult MakeFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "mkfifo " << path << ": " << std::strerror(errno);
}

// A FIFO in a folder of its own under the temporary folder, so that tests
// run side by side never meet; the folder goes with it.
class TempFifo {
public:
    explicit TempFifo(const std::string& name) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/talvex-fifo-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            made_ = ::testing::AssertionFailure()
                    << "mkdtemp " << pattern << ": " << std::strerror(errno);
            return;
        }
        dir_ = pattern;
        path_ = (dir_ / name).string();
        made_ = MakeFifo(path_);
    }
    ~TempFifo() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    TempFifo(const TempFifo&) = delete;
    TempFifo& operator=(const TempFifo&) = delete;

    const std::string& Path() const { return path_; }
    // Why the FIFO is missing, for an ASSERT before the test uses it.
    const ::testing::AssertionResult& Made() const { return made_; }

private:
    std::filesystem::path dir_;
    std::string path_;
    ::testing::AssertionResult made_ = ::testing::AssertionFailure() << "not made";
};

enum class PipeSize { AsMade, OnePage };

class FifoReader {
public:
    FifoReader() = default;
    ~FifoReader() { Close(); }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    // Opens the reading end at once, writer or not, so that a writer that
    // opens without waiting finds a reader there.
    ::testing::AssertionResult Open(const std::string& path, PipeSize size) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            return ::testing::AssertionFailure() << "open " << path << ": " << std::strerror(errno);
        }
#ifdef F_SETPIPE_SZ
        if (size == PipeSize::OnePage) ::fcntl(fd_, F_SETPIPE_SZ, 4096);
#else
        (void)size;
#endif
        return ::testing::AssertionSuccess();
    }

    // What has come and was not read yet, without waiting for more.
    std::string ReadAvailable() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while (fd_ >= 0 && (n = ::read(fd_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }

    // From now on a thread of its own takes everything that comes.
    void KeepReading() {
        done_ = false;
        thread_ = std::thread([this] {
            while (!done_) {
                kept_ += ReadAvailable();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            kept_ += ReadAvailable();
        });
    }
    // Ends that thread once it has taken what is there; everything it read.
    std::string StopReading() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        return kept_;
    }

    // The writer finds its reader gone.
    void Close() {
        StopReading();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::thread thread_;
    std::string kept_;
};

} // namespace talvex::testing
