#pragma once
// How the bench judges its goals: a goal is met when the median of its runs
// meets it; the spread of the runs is printed beside it and never moves the
// bar. When the spread is too wide to judge, or other jobs took the machine
// while a timed goal was measured, the goal is inconclusive instead, so
// that a busy machine is not taken for a miss, nor for a pass.

#include <vector>

namespace talvex::bench {

double Median(std::vector<double> values);
// The range of the values; 0 for fewer than two.
double Spread(const std::vector<double>& values);

// Other processes took more than this share of the machine's processor
// time while a timed goal ran.
constexpr double kBusyShare = 0.10;
// A spread wider than this share of the goal is too wide to judge, unless
// the median lies further than the spread from the bar, so that every run
// lies on the same side of it.
constexpr double kWidestSpread = 0.20;

enum class Verdict { Met, Missed, TooWide, Busy };

struct Goal {
    double median = 0;
    double spread = 0; // of the runs' figures
    double bar = 0;
    bool atLeast = false;   // met when median >= bar, else when median <= bar
    bool measured = true;   // its spread comes from the machine and can be too wide
    bool timed = true;      // taken on the wall clock, which other jobs stretch
    double othersShare = 0; // of the machine's processor time, while its runs ran
};

Verdict Judge(const Goal& goal);
// "yes", "no" or "inconclusive: machine too busy".
const char* VerdictText(Verdict verdict);

constexpr int kExitMet = 0;
constexpr int kExitMissed = 1;
constexpr int kExitBroken = 2; // a run failed or the bench could not measure
constexpr int kExitInconclusive = 3;

// kExitMissed when a goal was missed; otherwise kExitInconclusive when one
// could not be judged; kExitMet when every goal was met.
int ExitCodeFor(const std::vector<Verdict>& verdicts);

} // namespace talvex::bench
