// The figures, texts and waiting that every front end takes from the core:
// a slip here shows in the console, the gang line and the window at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "front_texts.h"
#include "progress_bar_state.h"
#include "progress_model.h"
#include "result_wait.h"

namespace talvex {
namespace {

TEST(PercentDone, RoundsDownSoThatOnlyAFinishedPhaseShowsAHundred) {
    struct Case {
        std::uint32_t position;
        std::uint32_t range;
        unsigned percent;
    };
    const Case cases[] = {
        {0, 2048, 0},
        {2047, 2048, 99},
        {2048, 2048, 100},
        {20, 3, 100}, // halfword padding past the range
        {0, 0, 100},  // nothing to do is done
        {1, 200, 0},  // half a percent is not yet one
        {199, 200, 99},
        {0xFFFFFFFEu, 0xFFFFFFFFu, 99}, // no overflow at the widest range
        {0x80000000u, 0xFFFFFFFFu, 50},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PercentDone(c.position, c.range), c.percent) << c.position << "/" << c.range;
    }
}

struct FiguresCase {
    const char* what;
    ProgressRules rules;
    std::uint32_t position;
    std::uint32_t range;
    double elapsed;
    std::optional<double> rate;
    std::optional<unsigned long> left;
};

TEST(MeasureProgress, EachFrontEndKeepsItsOwnDelayAndRoundingOfTheTimeLeft) {
    const FiguresCase cases[] = {
        {"console before its delay", kConsoleProgress, 100, 1000, 0.19, {}, {}},
        {"console at its delay", kConsoleProgress, 100, 1000, 0.2, 500.0, 2},
        {"window before its delay", kWindowProgress, 100, 1000, 0.99, {}, {}},
        {"window at its delay", kWindowProgress, 100, 1000, 1.0, 100.0, 9},
        // 1.4 s left: the console rounds to the nearest second, the window up.
        {"console nearest, down", kConsoleProgress, 500, 1200, 1.0, 500.0, 1},
        {"window up", kWindowProgress, 500, 1200, 1.0, 500.0, 2},
        // 1.5 s left rounds up either way.
        {"console nearest, up", kConsoleProgress, 400, 1000, 1.0, 400.0, 2},
        // An exact figure stays exact: 1536 * 10 / 512 is 30, not 31.
        {"window exact", kWindowProgress, 512, 2048, 10.0, 51.2, 30},
        // Less than a second left is still a second in the window...
        {"window under a second", kWindowProgress, 1999, 2000, 1.0, 1999.0, 1},
        // ...and nothing in the console.
        {"console under half a second", kConsoleProgress, 1999, 2000, 1.0, 1999.0, 0},
        {"nothing done: no rate", kWindowProgress, 0, 2048, 5.0, {}, {}},
        {"done: a rate, no time left", kWindowProgress, 2048, 2048, 4.0, 512.0, {}},
        // Padding counts in the rate, as every unit moved does.
        {"padding past the range", kConsoleProgress, 2050, 2048, 2.0, 1025.0, {}},
        {"empty phase", kConsoleProgress, 0, 0, 3.0, {}, {}},
    };
    for (const FiguresCase& c : cases) {
        const ProgressFigures figures = MeasureProgress(c.position, c.range, c.elapsed, c.rules);
        EXPECT_EQ(figures.percent, PercentDone(c.position, c.range)) << c.what;
        ASSERT_EQ(figures.rate.has_value(), c.rate.has_value()) << c.what;
        if (c.rate) {
            EXPECT_DOUBLE_EQ(*figures.rate, *c.rate) << c.what;
        }
        EXPECT_EQ(figures.secondsLeft, c.left) << c.what;
    }
}

TEST(ProgressTexts, TimeLeftAndRateAsTheFrontEndsPrintThem) {
    EXPECT_EQ(FormatTimeLeft(0, true), "0:00");
    EXPECT_EQ(FormatTimeLeft(59, false), "0:59");
    EXPECT_EQ(FormatTimeLeft(3599, true), "59:59");
    EXPECT_EQ(FormatTimeLeft(3999, true), "1:06:39");
    EXPECT_EQ(FormatTimeLeft(3999, false), "66:39");
    EXPECT_EQ(FormatTimeLeft(36000, true), "10:00:00");
    EXPECT_EQ(FormatRate(11468.8, "bytes"), "11.2 KB/s");
    EXPECT_EQ(FormatRate(3.0, "pages"), "3.0 pages/s");
    EXPECT_STREQ(PhaseName(ProgressPhase::Verify), "Verifying");
    EXPECT_STREQ(PhaseUnit(ProgressPhase::Erase), "pages");
    EXPECT_STREQ(PhaseUnit(ProgressPhase::Write), "bytes");
    EXPECT_EQ(PhaseLetter(ProgressPhase::Protect), 'P');
}

TEST(WindowProgressText, NamesThePhaseAndShowsTimeLeftOnceAPhaseHasRunASecond) {
    struct Case {
        ProgressPhase phase;
        std::uint32_t position;
        std::uint32_t range;
        double elapsed;
        const char* text;
    };
    const Case cases[] = {
        {ProgressPhase::Write, 0, 2048, 0.0, "Writing 0%"},
        // Under a second the rate says little yet.
        {ProgressPhase::Write, 1024, 2048, 0.9, "Writing 50%"},
        {ProgressPhase::Write, 1024, 2048, 1.0, "Writing 50%, 0:01 left"},
        // Less than a second left still shows as a second.
        {ProgressPhase::Write, 1400, 2048, 1.0, "Writing 68%, 0:01 left"},
        {ProgressPhase::Verify, 512, 2048, 10.0, "Verifying 25%, 0:30 left"},
        {ProgressPhase::Erase, 1, 128, 2.0, "Erasing 0%, 4:14 left"},
        {ProgressPhase::Write, 1, 4000, 1.0, "Writing 0%, 1:06:39 left"},
        // Nothing done yet: no rate to tell the time from.
        {ProgressPhase::Write, 0, 2048, 5.0, "Writing 0%"},
        // Done: no time left to show.
        {ProgressPhase::Write, 2048, 2048, 5.0, "Writing 100%"},
        // Halfword padding can carry the position past the range.
        {ProgressPhase::Write, 2050, 2048, 5.0, "Writing 100%"},
        // A phase with nothing to do is done, not a division by zero.
        {ProgressPhase::Erase, 0, 0, 3.0, "Erasing 100%"},
        {ProgressPhase::Protect, 1, 2, 0.5, "Protecting 50%"},
        // The widest range the engine can give.
        {ProgressPhase::Write, 0x80000000u, 0xFFFFFFFFu, 0.5, "Writing 50%"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WindowProgressText(c.phase, c.position, c.range, c.elapsed), c.text)
            << c.position << "/" << c.range << " after " << c.elapsed << " s";
    }
}

TEST(ProgressBarState, ThePhaseLastsFromItsRangeToTheNextStatusLine) {
    using Clock = ProgressBarState::Clock;
    const Clock::time_point t0{};
    ProgressBarState bar;
    EXPECT_EQ(bar.Text(t0), "") << "no phase before the first";
    EXPECT_EQ(bar.Maximum(), 100);
    EXPECT_EQ(bar.Value(), 0);
    bar.SetPhase(ProgressPhase::Write);
    bar.SetRange(2048, t0);
    bar.SetPosition(1024);
    EXPECT_EQ(bar.Text(t0 + std::chrono::seconds(1)), "Writing 50%, 0:01 left");
    EXPECT_EQ(bar.Maximum(), 2048);
    EXPECT_EQ(bar.Value(), 1024);
    // A new range starts over with nothing done.
    bar.SetRange(512, t0 + std::chrono::seconds(5));
    EXPECT_EQ(bar.Value(), 0);
    EXPECT_EQ(bar.Text(t0 + std::chrono::seconds(5)), "Writing 0%");
    bar.SetPosition(512);
    bar.EndPhase();
    EXPECT_EQ(bar.Text(t0 + std::chrono::seconds(6)), "") << "a status line ends the phase";
    EXPECT_EQ(bar.Value(), 512) << "the bar keeps its figures";
}

TEST(ProgressBarState, FitsEveryRangeIntoTheBarsInt) {
    struct Case {
        std::uint32_t range;
        std::uint32_t position;
        int maximum;
        int value;
    };
    const Case cases[] = {
        {0, 0, 1, 0},             // empty: an empty bar, not a busy one
        {2048, 2050, 2048, 2048}, // padding past the range stops at full
        {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFF, 0x7FFFFFFF},
        {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFF, 0x40000000}, // beyond int: halved
    };
    for (const Case& c : cases) {
        ProgressBarState bar;
        bar.SetRange(c.range, ProgressBarState::Clock::time_point{});
        bar.SetPosition(c.position);
        EXPECT_EQ(bar.Maximum(), c.maximum) << c.range;
        EXPECT_EQ(bar.Value(), c.value) << c.position << "/" << c.range;
    }
}

TEST(StatusRowUtf8, KeepsEveryLineOnOneRowAndAlwaysValidUtf8) {
    const struct {
        std::string raw;
        const char* row;
    } cases[] = {
        {"ZaRQ4126 BOOT rJ.2 received.", "ZaRQ4126 BOOT rJ.2 received."},
        {"ZaRQ\r\n4126\x01 received.", "ZaRQ\\r\\n4126\\x01 received."},
        {"tab\there\x7f", "tab\\x09here\\x7f"},
        // Bytes that are not UTF-8 come from the line as they are: Latin-1.
        {"noise \xff\xfe received.", "noise \xc3\xbf\xc3\xbe received."},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xe6\x9d\xbf.hex", "\xe6\x9d\xbf.hex"},
        // A sequence cut short at the end, an overlong form and a surrogate
        // are not UTF-8.
        {"cut \xe6\x9d", "cut \xc3\xa6\xc2\x9d"},
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StatusRowUtf8(c.raw), c.row) << Printable(c.raw);
    }
}

TEST(Printable, EveryControlCharacterBecomesAnEscapeAndNothingElseChanges) {
    struct Case {
        std::string text;
        std::string printable;
    };
    const Case cases[] = {
        {"ZaRQ\r\n4126", "ZaRQ\\r\\n4126"},
        {"tab\there\x7f", "tab\\x09here\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"\x1b[2J", "\\x1b[2J"},
        // UTF-8 and stray high bytes pass as they are.
        {"Gr\xc3\xbc\xc3\x9f\x80\xff", "Gr\xc3\xbc\xc3\x9f\x80\xff"},
        {"back\\slash", "back\\slash"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Printable(c.text), c.printable) << c.printable;
}

// A result and an idle state that come after a given number of slices.
struct FakeRun {
    int resultAfter = 0;
    int idleAfter = 0;
    int resultSlices = 0;
    int idleSlices = 0;
    int ticks = 0;
    std::atomic<bool>* stopAtIdleSlice = nullptr;

    ResultWait Wait() {
        ResultWait wait;
        wait.result = [this](std::chrono::milliseconds slice) {
            EXPECT_EQ(slice, kRedrawInterval);
            return ++resultSlices > resultAfter;
        };
        wait.idle = [this](std::chrono::milliseconds) {
            EXPECT_GT(resultSlices, resultAfter) << "idle asked before the result";
            if (stopAtIdleSlice) *stopAtIdleSlice = true;
            return ++idleSlices > idleAfter;
        };
        wait.tick = [this] { ++ticks; };
        return wait;
    }
};

TEST(WaitForResultThenIdle, WaitsForTheResultThenForTheLastLines) {
    std::atomic<bool> stop{false};
    FakeRun run;
    run.resultAfter = 3;
    run.idleAfter = 2;
    EXPECT_TRUE(WaitForResultThenIdle(stop, run.Wait()));
    EXPECT_EQ(run.resultSlices, 4);
    EXPECT_EQ(run.idleSlices, 3);
    // Every slice that brought nothing keeps the display going.
    EXPECT_EQ(run.ticks, 5);
}

TEST(WaitForResultThenIdle, AStopEndsTheWaitInEitherStage) {
    std::atomic<bool> stop{true};
    FakeRun before;
    EXPECT_FALSE(WaitForResultThenIdle(stop, before.Wait()));
    EXPECT_EQ(before.resultSlices, 0) << "a stop already given is seen before any wait";

    stop = false;
    FakeRun during;
    during.idleAfter = 1000;
    during.stopAtIdleSlice = &stop;
    EXPECT_FALSE(WaitForResultThenIdle(stop, during.Wait()));
    EXPECT_EQ(during.idleSlices, 1) << "the stop is seen after the slice it came in";
}

TEST(WaitForResultThenIdle, WorksWithoutATick) {
    std::atomic<bool> stop{false};
    FakeRun run;
    run.resultAfter = 2;
    ResultWait wait = run.Wait();
    wait.tick = nullptr;
    EXPECT_TRUE(WaitForResultThenIdle(stop, wait));
    EXPECT_EQ(run.ticks, 0);
}

} // namespace
} // namespace talvex
