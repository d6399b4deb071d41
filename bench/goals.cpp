#include "goals.h"

#include <algorithm>
#include <cmath>

namespace talvex::bench {

double Median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Spread(const std::vector<double>& values) {
    if (values.size() < 2) return 0;
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return *high - *low;
}

Verdict Judge(const Goal& goal) {
    if (goal.timed && goal.othersShare > kBusyShare) return Verdict::Busy;
    // A wide spread leaves the verdict open only where the runs could lie on
    // both sides of the bar: every run lies within one spread of the median.
    if (goal.measured && goal.spread > kWidestSpread * std::fabs(goal.bar) &&
        std::fabs(goal.median - goal.bar) <= goal.spread) {
        return Verdict::TooWide;
    }
    const bool met = goal.atLeast ? goal.median >= goal.bar : goal.median <= goal.bar;
    return met ? Verdict::Met : Verdict::Missed;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::Met: return "yes";
    case Verdict::Missed: return "no";
    case Verdict::TooWide:
    case Verdict::Busy: return "inconclusive: machine too busy";
    }
    return "";
}

int ExitCodeFor(const std::vector<Verdict>& verdicts) {
    const auto any = [&verdicts](auto test) {
        return std::any_of(verdicts.begin(), verdicts.end(), test);
    };
    if (any([](Verdict v) { return v == Verdict::Missed; })) return kExitMissed;
    if (any([](Verdict v) { return v != Verdict::Met; })) return kExitInconclusive;
    return kExitMet;
}

} // namespace talvex::bench
