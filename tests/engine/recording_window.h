#pragma once
// A front end for tests: remembers everything the worker asked of it.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run_result.h"
#include "window_ops.h"

namespace talvex::testing {

class RecordingWindow final : public IWindowOps {
public:
    struct ButtonChange {
        ButtonId id;
        bool enabled;
    };

    void AddStatusLine(const std::string& text) override { Push(text); }
    void AppendStatusLine(const std::string& text) override { Push(text); }
    void SetProgressStep(int step) override {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(step);
    }
    void SetProgressRange(std::uint32_t upper) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ranges_.push_back(upper);
    }
    void SetProgressPos(std::uint32_t position) override {
        std::lock_guard<std::mutex> lock(mutex_);
        positions_.push_back(position);
    }
    void SetProgressPhase(ProgressPhase phase) override {
        std::lock_guard<std::mutex> lock(mutex_);
        phases_.push_back(phase);
    }
    void WorkerFinished() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        cv_.notify_all();
    }
    void EnableButton(ButtonId id, bool enable) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            buttons_.push_back({id, enable});
        }
        cv_.notify_all();
    }
    void ShowMessage(const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            boxes_.push_back(text);
        }
        cv_.notify_all();
    }
    void EndWithResult(ExitCode code) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.push_back(ToInt(code));
        }
        cv_.notify_all();
    }
    void ShowRunResult(const RunResult& result) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            runResults_.push_back(result);
        }
        cv_.notify_all();
    }
    // Waits until count run results have been shown.
    bool WaitRunResults(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return runResults_.size() >= count; });
    }
    std::vector<RunResult> RunResults() const { return Copy(runResults_); }
    void UnattendedFailure(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back(text);
    }

    // The first code asked for, once one came within the time.
    std::optional<int> WaitResult(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, timeout, [this] { return !results_.empty(); });
        if (results_.empty()) return std::nullopt;
        return results_.front();
    }

    // Waits until a status line equal to text has been added.
    bool WaitLine(const std::string& text, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            for (const auto& line : lines_) {
                if (line == text) return true;
            }
            return false;
        });
    }

    // Waits until the button has been enabled at least count times.
    bool WaitEnabled(ButtonId id, std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] {
            std::size_t n = 0;
            for (const auto& b : buttons_) n += (b.id == id && b.enabled) ? 1 : 0;
            return n >= count;
        });
    }

    bool WaitBoxes(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return boxes_.size() >= count; });
    }

    // Forgets everything, for the next run with the same window.
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        boxes_.clear();
        failures_.clear();
        results_.clear();
        runResults_.clear();
        steps_.clear();
        ranges_.clear();
        positions_.clear();
        buttons_.clear();
    }

    std::vector<std::string> Lines() const { return Copy(lines_); }
    std::vector<std::string> Boxes() const { return Copy(boxes_); }
    std::vector<std::string> Failures() const { return Copy(failures_); }
    std::vector<int> Results() const { return Copy(results_); }
    std::vector<ProgressPhase> Phases() const { return Copy(phases_); }
    bool WaitFinished(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return finished_; });
    }
    std::vector<std::uint32_t> Ranges() const { return Copy(ranges_); }
    std::vector<std::uint32_t> Positions() const { return Copy(positions_); }
    std::vector<ButtonChange> Buttons() const { return Copy(buttons_); }

private:
    void Push(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(text);
        }
        cv_.notify_all();
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& v) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return v;
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::vector<std::string> boxes_;
    std::vector<std::string> failures_;
    std::vector<int> results_;
    std::vector<RunResult> runResults_;
    std::vector<int> steps_;
    std::vector<std::uint32_t> ranges_;
    std::vector<std::uint32_t> positions_;
    std::vector<ButtonChange> buttons_;
    std::vector<ProgressPhase> phases_;
    bool finished_ = false;
};

} // namespace talvex::testing
