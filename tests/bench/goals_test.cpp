// The bench judges a goal by the median of its runs: the spread never moves
// the bar, and a busy machine or a spread too wide to judge make a goal
// inconclusive, with an exit code of its own.

#include "goals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace talvex::bench {
namespace {

TEST(BenchGoals, TheMedianOfTheRunsMeetsTheGoalOrNot) {
    const struct {
        const char* name;
        Goal goal;
        Verdict verdict;
    } cases[] = {
        // The frames-per-second goal that a noisy run of 6795 frames/s used
        // to pass, its spread being subtracted from the bar.
        {"far below an at-least goal, whatever the spread",
         {6795, 3900, 20000, true, true, true, 0.0},
         Verdict::Missed},
        {"at an at-least goal", {20000, 100, 20000, true, true, true, 0.0}, Verdict::Met},
        {"just below an at-least goal",
         {19999, 100, 20000, true, true, true, 0.0},
         Verdict::Missed},
        // Ratios of 1.025 and 1.022 passed "at most 1.02" with their spread.
        {"above an at-most goal by less than the spread",
         {1.025, 0.053, 1.02, false, true, true, 0.0},
         Verdict::Missed},
        {"at an at-most goal", {1.02, 0.01, 1.02, false, true, true, 0.0}, Verdict::Met},
        {"spread within 20 % of the goal still judged",
         {1.0, 0.2, 1.02, false, true, true, 0.0},
         Verdict::Met},
        {"spread above 20 % of the goal",
         {1.0, 0.21, 1.02, false, true, true, 0.0},
         Verdict::TooWide},
        {"spread too wide, the median within it of an at-least goal",
         {23000, 4100, 20000, true, true, true, 0.0},
         Verdict::TooWide},
        {"spread too wide, the median within it below an at-least goal",
         {17000, 4100, 20000, true, true, true, 0.0},
         Verdict::TooWide},
        {"a wide spread that cannot reach the bar: every run met it",
         {30000, 4100, 20000, true, true, true, 0.0},
         Verdict::Met},
        {"a wide spread that cannot reach the bar: every run missed it",
         {6795, 5000, 20000, true, true, true, 0.0},
         Verdict::Missed},
        // The emulated line's median lateness: a share of an exchange, far
        // under its bar, whose runs differ by more than a fifth of the bar.
        {"a small share with a spread wider than a fifth of its bar",
         {0.00012, 0.00025, 0.001, false, true, true, 0.0},
         Verdict::Met},
        {"a timed goal while others took the machine",
         {25000, 10, 20000, true, true, true, 0.5},
         Verdict::Busy},
        {"a timed goal missed while others took the machine",
         {6795, 10, 20000, true, true, true, 0.5},
         Verdict::Busy},
        {"others within what an idle machine does",
         {25000, 10, 20000, true, true, true, 0.05},
         Verdict::Met},
        {"memory does not depend on the machine's load",
         {2000, 0, 1024, false, true, false, 0.9},
         Verdict::Missed},
        {"a count of repeats: no spread to judge",
         {0, 1, 0, false, false, true, 0.0},
         Verdict::Met},
        {"a count of repeats above 0", {1, 0, 0, false, false, true, 0.0}, Verdict::Missed},
        {"no runs at all", {std::nan(""), 0, 10, false, true, false, 0.0}, Verdict::Missed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Judge(c.goal), c.verdict);
    }
}

TEST(BenchGoals, TheExitCodeTellsAMissFromABusyMachine) {
    using V = Verdict;
    const struct {
        std::vector<Verdict> verdicts;
        int code;
    } cases[] = {
        {{V::Met, V::Met}, kExitMet},           {{V::Met, V::Missed}, kExitMissed},
        {{V::Met, V::Busy}, kExitInconclusive}, {{V::TooWide, V::Met}, kExitInconclusive},
        {{V::Busy, V::Missed}, kExitMissed},
    };
    for (const auto& c : cases) EXPECT_EQ(ExitCodeFor(c.verdicts), c.code);
    EXPECT_NE(kExitInconclusive, kExitBroken);
    EXPECT_STREQ(VerdictText(V::Busy), "inconclusive: machine too busy");
    EXPECT_STREQ(VerdictText(V::TooWide), "inconclusive: machine too busy");
}

TEST(BenchGoals, MedianAndSpreadOfRuns) {
    EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
    EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(Median({7}), 7);
    EXPECT_TRUE(std::isnan(Median({})));
    EXPECT_DOUBLE_EQ(Spread({1.0, 1.5, 1.2}), 0.5);
    EXPECT_DOUBLE_EQ(Spread({1.0}), 0);
}

} // namespace
} // namespace talvex::bench
