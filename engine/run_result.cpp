#include "run_result.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "front_texts.h"

namespace talvex {

namespace {

// What a failure at an address did, in the operator's words.
const char* FailureAtWhat(ExitCode code) {
    switch (code) {
    case ExitCode::Erase: return "erase refused";
    case ExitCode::Write: return "write refused";
    case ExitCode::Verify: return "verify failed";
    case ExitCode::Address: return "record outside the flash";
    case ExitCode::Protection: return "protection refused";
    default: return "failed";
    }
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '.' || line.back() == '\r')) {
        line.pop_back();
    }
    const std::size_t start = line.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : line.substr(start);
}

double Luminance(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

} // namespace

std::string ResultBarText(const RunResult& result) {
    char text[160];
    if (result.Passed()) {
        std::snprintf(text, sizeof text, "Done: %llu bytes in %.1f s",
                      static_cast<unsigned long long>(result.bytes), result.seconds);
        return text;
    }
    std::string what;
    if (result.failedAddress) {
        std::snprintf(text, sizeof text, "%s at 0x%lx", FailureAtWhat(result.code),
                      static_cast<unsigned long>(*result.failedAddress));
        what = text;
    } else {
        // The failure text may carry what a target sent.
        what = Printable(FirstLine(result.failure));
        if (what.empty()) what = ExitCodeMeaning(ToInt(result.code));
    }
    return "Failed: " + what + " (code " + std::to_string(ToInt(result.code)) + ")";
}

bool ResultTally::Count(const RunResult& result) {
    if (!result.download || result.code == ExitCode::Interrupted) return false;
    (result.Passed() ? passed_ : failed_) += 1;
    return true;
}

std::string ResultTally::Title(const std::string& base) const {
    if (passed_ == 0 && failed_ == 0) return base;
    return base + ": " + std::to_string(passed_) + " passed, " + std::to_string(failed_) +
           " failed";
}

Rgb ResultTint(const Rgb& highlight, bool passed) {
    const double target = Luminance(highlight[0], highlight[1], highlight[2]) / 255.0;
    const int hi = std::max({highlight[0], highlight[1], highlight[2]});
    const int lo = std::min({highlight[0], highlight[1], highlight[2]});
    // A grey highlight has no colour of its own to keep; a muted one keeps
    // enough to be told apart from it.
    const double saturation = std::max(hi == 0 ? 0.0 : double(hi - lo) / hi, 0.6);
    const double weak = 1.0 - saturation;
    // The pure hue at full value, then scaled to the highlight's luminance.
    const double r = passed ? weak : 1.0;
    const double g = passed ? 1.0 : weak;
    const double b = weak;
    const double value = std::min(1.0, target / Luminance(r, g, b));
    const auto channel = [value](double c) {
        return std::clamp(static_cast<int>(std::lround(c * value * 255.0)), 0, 255);
    };
    return {channel(r), channel(g), channel(b)};
}

void RunResultCollector::RunBegan(const Settings&, const std::string&, bool download) {
    result_ = RunResult{};
    result_.download = download;
    counts_.fill(std::nullopt);
    start_ = Clock::now();
    open_ = true;
}

void RunResultCollector::PhaseBegan(RunPhase phase) {
    if (!open_) return;
    result_.failedPhase = phase;
    // A phase done again counts what its last attempt achieved.
    counts_[static_cast<std::size_t>(phase)] = 0;
}

void RunResultCollector::PhaseCount(RunPhase phase, std::uint64_t done) {
    if (open_) counts_[static_cast<std::size_t>(phase)] = done;
}

void RunResultCollector::FailedAt(std::uint32_t address) {
    if (open_ && !result_.failedAddress) result_.failedAddress = address;
}

void RunResultCollector::RunEnded(ExitCode code, const std::string& failure) {
    if (!open_) return;
    open_ = false;
    result_.code = code;
    result_.failure = failure;
    result_.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    // What the target took: the bytes written, else those verified, else
    // the image's own count.
    for (RunPhase phase : {RunPhase::Write, RunPhase::Verify, RunPhase::Check}) {
        if (const auto& n = counts_[static_cast<std::size_t>(phase)]) {
            result_.bytes = *n;
            break;
        }
    }
    if (result_.Passed()) {
        result_.failedPhase.reset();
        result_.failedAddress.reset();
    }
    if (onEnd_) onEnd_(result_);
}

} // namespace talvex
