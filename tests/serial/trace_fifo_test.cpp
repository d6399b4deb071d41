// A trace that goes to a FIFO: without a reader, with one, and with one
// that stops reading or goes away.

#include "trace_file.h"
#include "trace_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TraceFifoTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/talvex-fifo-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fifo_ = (dir_ / "trace.fifo").string();
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    }
    void TearDown() override {
        if (reader_ >= 0) ::close(reader_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    void OpenReader(bool small) {
        reader_ = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader_, 0);
#ifdef F_SETPIPE_SZ
        if (small) ::fcntl(reader_, F_SETPIPE_SZ, 4096);
#else
        (void)small;
#endif
    }
    std::string Drain() {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(reader_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    // Opens the sink in a thread of its own: an open that waits for a reader
    // is released by opening one, so the test fails instead of hanging.
    std::unique_ptr<FileTraceSink> OpenWithoutHanging(std::string& whyNot) {
        auto opened = std::async(std::launch::async,
                                 [this, &whyNot] { return FileTraceSink::Open(fifo_, whyNot); });
        if (opened.wait_for(2s) != std::future_status::ready) {
            const int release = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            opened.wait();
            if (release >= 0) ::close(release);
            ADD_FAILURE() << "the open waited for a reader";
        }
        return opened.get();
    }

    fs::path dir_;
    std::string fifo_;
    int reader_ = -1;
};

TEST_F(TraceFifoTest, WithoutAReaderTheOpenFailsAtOnceAndSaysWhy) {
    std::string whyNot;
    const auto started = Clock::now();
    const auto sink = OpenWithoutHanging(whyNot);
    EXPECT_FALSE(sink);
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_EQ(whyNot, "it is a FIFO that no process reads");
}

TEST_F(TraceFifoTest, AReaderGetsEveryLine) {
    OpenReader(false);
    std::string whyNot;
    const auto sink = OpenWithoutHanging(whyNot);
    ASSERT_TRUE(sink) << whyNot;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        expected += line;
        sink->Write(line);
        if (i % 10 == 9) sink->Flush();
    }
    sink->Flush();
    EXPECT_EQ(sink->Failure(), "");
    EXPECT_EQ(Drain(), expected);
}

TEST_F(TraceFifoTest, AReaderThatStopsReadingNeverHoldsAFlushAndCostsTheTrace) {
    OpenReader(true);
    std::string whyNot;
    const auto sink = OpenWithoutHanging(whyNot);
    ASSERT_TRUE(sink) << whyNot;
    const std::string line(99, 'x');
    // Several times what the FIFO holds, flushed as after every answer:
    // the worker times its answers around these calls.
    Clock::duration longest{};
    for (int i = 0; i < 200; ++i) {
        sink->Write(line + "\n");
        const auto before = Clock::now();
        sink->Flush();
        longest = std::max(longest, Clock::now() - before);
    }
    EXPECT_LT(longest, 50ms);
    EXPECT_EQ(sink->Failure(), "") << "not yet: the reader may only be slow";
    std::this_thread::sleep_for(kTraceStallLimit + 50ms);
    sink->Write(line + "\n");
    sink->Flush();
    EXPECT_EQ(sink->Failure(), "its reader took nothing for 0.5 s");
    // The reader finds the lines up to where it stopped, and no more.
    const std::string text = Drain();
    EXPECT_GT(text.size(), 0u);
    EXPECT_LT(text.size(), 200u * 100u);
    sink->Write(line + "\n");
    sink->Close();
    EXPECT_EQ(Drain(), "") << "nothing after the trace was given up";
}

TEST_F(TraceFifoTest, TheLastLinesWaitAShortWhileForTheReader) {
    OpenReader(true);
    std::string whyNot;
    auto sink = OpenWithoutHanging(whyNot);
    ASSERT_TRUE(sink) << whyNot;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        const std::string line = std::string(99, static_cast<char>('a' + i % 26)) + "\n";
        expected += line;
        sink->Write(line);
        sink->Flush();
    }
    // A reader that is only slow gets everything.
    std::string got;
    std::thread slow([&] {
        std::this_thread::sleep_for(100ms);
        const auto until = Clock::now() + 2s;
        while (got.size() < expected.size() && Clock::now() < until) {
            got += Drain();
            std::this_thread::sleep_for(5ms);
        }
    });
    sink->Close();
    slow.join();
    EXPECT_EQ(sink->Failure(), "");
    EXPECT_EQ(got, expected);

    // One that takes nothing holds the end no longer than the limit.
    sink->Write(std::string(8192, 'z'));
    const auto before = Clock::now();
    sink->Close();
    const auto took = Clock::now() - before;
    EXPECT_GE(took, kTraceStallLimit - 10ms);
    EXPECT_LT(took, kTraceStallLimit + 300ms);
    EXPECT_EQ(sink->Failure(), "its reader did not take the last lines within 0.5 s");
}

TEST_F(TraceFifoTest, AReaderThatGoesAwayEndsTheTraceButNotTheProcess) {
    OpenReader(false);
    std::string whyNot;
    const auto sink = OpenWithoutHanging(whyNot);
    ASSERT_TRUE(sink) << whyNot;
    sink->Write("first\n");
    sink->Flush();
    EXPECT_EQ(Drain(), "first\n");
    ::close(reader_);
    reader_ = -1;
    // Without SIGPIPE held back this would end the test program.
    sink->Write("second\n");
    sink->Flush();
    EXPECT_EQ(sink->Failure(), "its reader closed it");
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(::sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left waiting";
}

} // namespace
} // namespace talvex
