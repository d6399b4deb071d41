// The steps of an unattended run: 1 while it runs, 2 once it is finished,
// 3 while its run step is pending. A finished run must say so whenever the
// worker stops, also when its front end stops it the moment the result
// comes, as talvex-cli and the gang do; and a run step asked for after the
// result must send nothing and leave the worker idle.

#include <optional>

#include "engine_fixture.h"
#include "forwarding_port.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

// A front end that ends the process as soon as it hears the result: it
// stops the worker from within EndWithResult, so the flags the worker
// leaves are those of the step that asked for the result, not of a later
// pass of its loop.
class StopAtResult final : public IWindowOps {
public:
    explicit StopAtResult(RecordingWindow& seen) : seen_(seen) {}
    void Attach(SerialThread* worker) { worker_ = worker; }

    void AddStatusLine(const std::string& text) override { seen_.AddStatusLine(text); }
    void AppendStatusLine(const std::string& text) override { seen_.AppendStatusLine(text); }
    void SetProgressStep(int step) override { seen_.SetProgressStep(step); }
    void SetProgressRange(std::uint32_t upper) override { seen_.SetProgressRange(upper); }
    void SetProgressPos(std::uint32_t position) override { seen_.SetProgressPos(position); }
    void EnableButton(ButtonId id, bool enable) override { seen_.EnableButton(id, enable); }
    void ShowMessage(const std::string& text) override { seen_.ShowMessage(text); }
    void UnattendedFailure(const std::string& text) override { seen_.UnattendedFailure(text); }
    void WorkerFinished() override { seen_.WorkerFinished(); }
    void EndWithResult(ExitCode code) override {
        seen_.EndWithResult(code);
        if (worker_ != nullptr) worker_->RequestStop();
    }

private:
    RecordingWindow& seen_;
    SerialThread* worker_ = nullptr;
};

// A real port whose adapter is pulled out after it was opened a number of
// times: the next open fails.
class UnpluggedAfterOpens final : public ForwardingPort {
public:
    explicit UnpluggedAfterOpens(int opens) : opensLeft_(opens) {}

    bool Open(const std::string& port, const std::string& baud) override {
        if (opensLeft_ == 0) return false;
        --opensLeft_;
        return ForwardingPort::Open(port, baud);
    }

private:
    int opensLeft_;
};

struct StepCase {
    const char* name;
    std::vector<std::string> simArgs;
    const char* autorun;
    int portOpens; // opens before the adapter is gone; 0 never gone
    int code;
    std::size_t runFrames;
    const char* failure;                     // the failure text told, or "" for none
    std::optional<UnattendedMode> modeAfter; // the step the worker leaves, where it is defined
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class UnattendedStepTest : public EngineTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(UnattendedStepTest, EndsWithItsCodeAndLeavesTheRunFinished) {
    const StepCase& c = GetParam();
    StartSim(c.simArgs);
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    Settings s = MakeSettings();
    s.autorun = c.autorun;

    StopAtResult window(window_);
    std::unique_ptr<ISerialPort> port;
    if (c.portOpens > 0) port = std::make_unique<UnpluggedAfterOpens>(c.portOpens);
    SerialThread worker(window, s, std::move(port));
    window.Attach(&worker);
    worker.SetImagePath(s.imageFile);
    worker.Flags().Unattended.Begin();
    worker.PressStart();
    const auto code = window_.WaitResult(20s);
    // Stopped by the front end at the result; a run that never gets one is
    // stopped here.
    if (!code) worker.RequestStop();
    worker.Join();

    EXPECT_EQ(code, std::optional<int>(c.code));
    EXPECT_EQ(Frames('R').size(), c.runFrames);
    const auto failures = window_.Failures();
    if (*c.failure == '\0') {
        EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
    } else {
        EXPECT_EQ(failures, std::vector<std::string>{c.failure});
    }
    if (c.modeAfter) {
        EXPECT_EQ(worker.Flags().Unattended.Mode(), *c.modeAfter);
    }
    EXPECT_EQ(worker.Flags().RunRequest.load(), 0);
    EXPECT_EQ(worker.Flags().DownloadActive.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    StoppedAtTheResult, UnattendedStepTest,
    ::testing::Values(
        // The download's success finishes the run.
        StepCase{
            "WithoutAutorunFinishedByTheDownload", {}, "No", 0, 0, 0, "", UnattendedMode::Finished},
        // The run step is pending after the download and made once.
        StepCase{"AutorunFinishedByTheRunFrame", {}, "Yes", 0, 0, 1, "", UnattendedMode::Finished},
        StepCase{"RefusedRunFrameFinishesWithFour",
                 {"--nak", "R"},
                 "Yes",
                 0,
                 4,
                 10,
                 "",
                 UnattendedMode::Finished},
        // The download opened the port; the run step cannot.
        StepCase{"PortGoneBeforeTheRunStepFinishesWithFour",
                 {},
                 "Yes",
                 1,
                 4,
                 0,
                 "Can not open COM port.",
                 UnattendedMode::Finished},
        // A failed download asks for no run step; its code stands.
        StepCase{"FailedWriteSkipsTheRunStep",
                 {"--nak", "W@1"},
                 "Yes",
                 0,
                 7,
                 0,
                 "Error at 0x0 - 0x10 \n Download aborted.",
                 std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, RunStepAskedForAfterTheResultSendsNothingAndTheWorkerGoesIdle) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    worker_->Flags().Unattended.Begin();
    worker_->PressStart();
    ASSERT_EQ(window_.WaitResult(20s), std::optional<int>(0));
    ASSERT_TRUE(worker_->WaitIdle(5s));
    ASSERT_EQ(worker_->Flags().Unattended.Mode(), UnattendedMode::Finished);

    // The Run/Reset button pressed while the front end is ending the
    // process, and the run step raised: the result is given, so no frame
    // may go out, and the request must not keep the worker busy.
    worker_->Flags().RunRequest = 1;
    worker_->Flags().Unattended.AskRunStep();
    worker_->Wake();
    EXPECT_TRUE(worker_->WaitIdle(2s)) << "the worker keeps serving a request it dropped";
    EXPECT_EQ(worker_->Flags().Unattended.Mode(), UnattendedMode::Finished);
    EXPECT_EQ(worker_->Flags().RunRequest.load(), 0);
    EXPECT_TRUE(Frames('R').empty());
    EXPECT_EQ(window_.Results(), std::vector<int>{0});
}

} // namespace
} // namespace talvex::testing
