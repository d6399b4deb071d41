// A trace that goes to a FIFO: without a reader, with one, and with one
// that stops reading or goes away.

#include "fifo_reader.h"
#include "trace_file.h"
#include "trace_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TraceFifoTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fifo_.Made()); }
    void OpenReader(bool small) {
        ASSERT_TRUE(reader_.Open(fifo_.Path(),
                                 small ? testing::PipeSize::OnePage : testing::PipeSize::AsMade));
    }
    std::string Drain() { return reader_.ReadAvailable(); }
    // Opens the sink in a thread of its own: an open that waits for a reader
    // is released by opening one, so the test fails instead of hanging.
    std::unique_ptr<FileTraceSink> OpenWithoutHanging(std::string& whyNot) {
        auto opened = std::async(std::launch::async, [this, &whyNot] {
            return FileTraceSink::Open(fifo_.Path(), whyNot);
        });
        if (opened.wait_for(2s) != std::future_status::ready) {
            testing::FifoReader release;
            EXPECT_TRUE(release.Open(fifo_.Path(), testing::PipeSize::AsMade));
            opened.wait();
            ADD_FAILURE() << "the open waited for a reader";
        }
        return opened.get();
    }

    testing::TempFifo fifo_{"trace.fifo"};
    testing::FifoReader reader_;
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
    reader_.Close();
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
