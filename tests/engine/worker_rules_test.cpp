// The rules around the worker's requests and set-up: the steps of an
// unattended run, how a run's outcome is decided, what may be set only
// before the worker starts, the recorder that stays while it runs, the one
// path of a Run/Reset, and the buttons pressed while a run step is in hand.

#include <algorithm>
#include <fstream>
#include <functional>

#include "download_session.h"
#include "engine_fixture.h"
#include "run_outcome.h"
#include "unattended_mode.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// The unattended steps

void Reach(UnattendedSteps& steps, UnattendedMode mode) {
    if (mode == UnattendedMode::Interactive) return;
    steps.Begin();
    if (mode == UnattendedMode::Finished) steps.DownloadDone();
    if (mode == UnattendedMode::RunStepPending) steps.AskRunStep();
}

TEST(UnattendedSteps, EachStepMovesOnlyFromWhereItMay) {
    using M = UnattendedMode;
    const struct {
        const char* name;
        M from;
        void (UnattendedSteps::*step)();
        M to;
    } cases[] = {
        {"begin", M::Interactive, &UnattendedSteps::Begin, M::Running},
        {"download done", M::Running, &UnattendedSteps::DownloadDone, M::Finished},
        {"run step asked for", M::Running, &UnattendedSteps::AskRunStep, M::RunStepPending},
        {"run step asked for again", M::Finished, &UnattendedSteps::AskRunStep, M::RunStepPending},
        {"run step served", M::RunStepPending, &UnattendedSteps::RunStepServed, M::Finished},
        // A user at the window never becomes unattended by a download's end.
        {"interactive download done", M::Interactive, &UnattendedSteps::DownloadDone,
         M::Interactive},
        {"interactive run step", M::Interactive, &UnattendedSteps::AskRunStep, M::Interactive},
        {"interactive run step served", M::Interactive, &UnattendedSteps::RunStepServed,
         M::Interactive},
        // Serving a run step nobody asked for finishes nothing.
        {"served while running", M::Running, &UnattendedSteps::RunStepServed, M::Running},
        {"served when finished", M::Finished, &UnattendedSteps::RunStepServed, M::Finished},
    };
    for (const auto& c : cases) {
        UnattendedSteps steps;
        Reach(steps, c.from);
        ASSERT_EQ(steps.Mode(), c.from) << c.name;
        (steps.*c.step)();
        EXPECT_EQ(steps.Mode(), c.to) << c.name;
        EXPECT_EQ(steps.On(), c.to != M::Interactive) << c.name;
        EXPECT_EQ(steps.RunStepPending(), c.to == M::RunStepPending) << c.name;
    }
}

// ---------------------------------------------------------------------------
// The run's outcome

TEST(RunOutcome, TheFirstFailureStaysAndAStopMakesAnUndecidedRunInterrupted) {
    using E = ExitCode;
    const struct {
        const char* name;
        std::vector<E> before; // noted before the stop, if any
        bool stopped;
        std::vector<E> after; // noted after the stop
        E recorded;
    } cases[] = {
        {"nothing noted", {}, false, {}, E::FlashError},
        {"success", {E::Success}, false, {}, E::Success},
        {"success then the run step fails", {E::Success, E::Port}, false, {}, E::Port},
        {"a failure stays", {E::Write, E::Success, E::Verify}, false, {}, E::Write},
        {"stopped with nothing noted", {}, true, {}, E::Interrupted},
        {"stopped after a success", {E::Success}, true, {}, E::Interrupted},
        {"stopped after the way out", {E::FlashError}, true, {}, E::Interrupted},
        {"a failure before the stop stays", {E::Erase}, true, {}, E::Erase},
        {"what fails after a stop is not noted", {}, true, {E::Write}, E::Interrupted},
    };
    for (const auto& c : cases) {
        std::atomic<bool> stop{false};
        RunOutcome outcome(stop);
        outcome.BeginRun();
        for (E code : c.before) outcome.Note(code);
        stop = c.stopped;
        for (E code : c.after) outcome.Note(code);
        EXPECT_EQ(outcome.RecordedCode(), c.recorded) << c.name;
    }
}

TEST(RunOutcome, KeepsTheFirstFailureTextButNoneAStopBroughtAbout) {
    std::atomic<bool> stop{false};
    RunOutcome outcome(stop);
    outcome.NoteFailureText("first");
    outcome.NoteFailureText("second");
    EXPECT_EQ(outcome.FirstFailure(), "first");
    outcome.BeginRun();
    EXPECT_EQ(outcome.FirstFailure(), "");
    stop = true;
    outcome.NoteFailureText("after the stop");
    EXPECT_EQ(outcome.FirstFailure(), "");
}

TEST(RunOutcome, AGivenResultCutsTheSequenceShortUntilANewRequest) {
    std::atomic<bool> stop{false};
    RunOutcome outcome(stop);
    outcome.BeginSequence();
    EXPECT_TRUE(outcome.ProceedOrAbandon());
    EXPECT_FALSE(outcome.CutShort());

    EXPECT_TRUE(outcome.AskResult());
    EXPECT_FALSE(outcome.AskResult()) << "the front end hears the result once";
    EXPECT_FALSE(outcome.ProceedOrAbandon());
    EXPECT_TRUE(outcome.CutShort()) << "a sequence cut short never ends as complete";

    outcome.NewRequest();
    EXPECT_FALSE(outcome.ResultAsked());
    EXPECT_TRUE(outcome.CutShort()) << "only a new sequence forgets it was cut short";
    outcome.BeginSequence();
    EXPECT_FALSE(outcome.CutShort());
    EXPECT_TRUE(outcome.ProceedOrAbandon());
    EXPECT_TRUE(outcome.AskResult());

    stop = true;
    outcome.NewRequest();
    EXPECT_FALSE(outcome.ProceedOrAbandon()) << "a stop cuts short whatever was asked";
    EXPECT_TRUE(outcome.CutShort());
}

TEST(RunOutcome, AFrameScoreOrAStepFailureFailsTheStepUntilCleared) {
    std::atomic<bool> stop{false};
    RunOutcome outcome(stop);
    EXPECT_FALSE(outcome.Failed());
    outcome.FrameAnswered(kNeverAcknowledged - 1);
    EXPECT_FALSE(outcome.Failed()) << "acknowledged after tries";
    outcome.FrameAnswered(kNeverAcknowledged);
    EXPECT_TRUE(outcome.Failed());
    outcome.ClearStep();
    EXPECT_FALSE(outcome.Failed());
    outcome.StepFailed();
    EXPECT_TRUE(outcome.Failed());
    outcome.BeginSequence();
    EXPECT_FALSE(outcome.Failed());
}

// ---------------------------------------------------------------------------
// Set-up taken only before the worker starts

// Counts what it is told, and lets a test act as a front end would at the
// moment the run frame goes out.
class WatchingObserver final : public IRunObserver {
public:
    std::function<void()> atRunCommand;
    std::atomic<int> began{0};
    std::atomic<int> ended{0};

    void RunBegan(const Settings&, const std::string&, bool) override { ++began; }
    void PhaseBegan(RunPhase) override {}
    void PhaseCount(RunPhase, std::uint64_t) override {}
    void PhaseEnded(RunPhase) override {}
    void Identified(const std::string&) override {}
    void RunCommand(bool) override {
        if (atRunCommand) std::exchange(atRunCommand, nullptr)();
    }
    void RunEnded(ExitCode, const std::string&) override { ++ended; }
};

TEST_F(EngineTest, SetUpIsRefusedOnceTheWorkerRunsAndChangesNothing) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
    WatchingObserver first;
    std::atomic<int> firstPasses{0};
    ASSERT_TRUE(worker_->SetRunObserver(&first));
    ASSERT_TRUE(worker_->SetPassObserver([&](ImagePass) { ++firstPasses; }));
    ASSERT_TRUE(worker_->SetIdentificationLimit(0s));
    ASSERT_TRUE(worker_->SetTraceSink(nullptr));
    worker_->Resume();

    WatchingObserver late;
    std::atomic<int> latePasses{0};
    EXPECT_FALSE(worker_->SetRunObserver(&late));
    EXPECT_FALSE(worker_->SetPassObserver([&](ImagePass) { ++latePasses; }));
    EXPECT_FALSE(worker_->SetIdentificationLimit(1s));
    EXPECT_FALSE(worker_->SetTraceSink(nullptr));

    worker_->PressStart();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
    ASSERT_TRUE(worker_->WaitIdle(5s));
    EXPECT_EQ(first.began.load(), 1);
    EXPECT_EQ(first.ended.load(), 1);
    EXPECT_EQ(firstPasses.load(), 4); // count, page plan, program, verify
    EXPECT_EQ(late.began.load(), 0);
    EXPECT_EQ(latePasses.load(), 0);
}

std::size_t LineCount(const std::filesystem::path& path) {
    std::ifstream in(path);
    return static_cast<std::size_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

TEST_F(EngineTest, ARecordFileChosenWhileTheWorkerRunsIsRefusedAndTheRunStillRecorded) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    const auto first = dir_ / "first.jsonl";
    const auto second = dir_ / "second.jsonl";
    {
        DownloadSession session(window_, StoredStartup(MakeSettings(), false));
        ASSERT_TRUE(session.SetRunRecordFile(first.string()));
        session.Open();
        session.Start();
        // The worker now holds the first recorder; replacing it would free
        // it under the worker's feet.
        EXPECT_FALSE(session.SetRunRecordFile(second.string()));
        EXPECT_FALSE(session.SetRunRecordFile(""));
        EXPECT_EQ(session.RunRecordFile(), first.string());
        ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
        ASSERT_TRUE(session.WaitIdle(5s));
    }
    EXPECT_EQ(LineCount(first), 1u);
    EXPECT_FALSE(std::filesystem::exists(second));
}

// ---------------------------------------------------------------------------
// Run/Reset and Start while a run step is in hand

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

class PressedDuringTheRunStep : public EngineTest {
protected:
    // A download teaches the worker that the chip can be reset, so that the
    // run step resets the target and it identifies itself again.
    void DownloadThenReset(WatchingObserver& observer) {
        StartSim({});
        WriteImage("board.hex", HexText(Records(0, 2, 16)));
        Settings s = MakeSettings();
        s.runMode = 1;
        worker_ = std::make_unique<SerialThread>(window_, s);
        ASSERT_TRUE(worker_->SetRunObserver(&observer));
        worker_->PressStart();
        ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
        ASSERT_TRUE(worker_->WaitIdle(5s));
    }
};

TEST_F(PressedDuringTheRunStep, StartIsServedAfterIt) {
    WatchingObserver observer;
    DownloadThenReset(observer);
    observer.atRunCommand = [this] { worker_->PressStart(); };
    worker_->PressRunReset();
    ASSERT_TRUE(worker_->WaitIdle(15s));
    const auto lines = window_.Lines();
    EXPECT_EQ(Count(lines, "Running."), 1u);
    EXPECT_EQ(Count(lines, "Flashing Complete."), 2u) << "the Start pressed was lost";
    EXPECT_EQ(observer.ended.load(), 3);
}

TEST_F(PressedDuringTheRunStep, RunResetIsServedAfterIt) {
    WatchingObserver observer;
    DownloadThenReset(observer);
    observer.atRunCommand = [this] { worker_->PressRunReset(); };
    worker_->PressRunReset();
    ASSERT_TRUE(worker_->WaitIdle(15s));
    EXPECT_EQ(Count(window_.Lines(), "Running."), 2u) << "the Run/Reset pressed was lost";
    const auto r = Frames('R');
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].value, 1u);
    EXPECT_EQ(r[1].value, 1u);
}

// ---------------------------------------------------------------------------
// One Run/Reset path

class RunResetAfterTheResult : public EngineTest, public ::testing::WithParamInterface<bool> {};

// The window's button and the worker's own press keep the same rule: once an
// unattended run's result is given, its front end may be ending the process,
// and no run frame may go out.
TEST_P(RunResetAfterTheResult, SendsNothing) {
    const bool throughTheSession = GetParam();
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    std::unique_ptr<DownloadSession> session;
    SerialThread* worker = nullptr;
    if (throughTheSession) {
        session = std::make_unique<DownloadSession>(window_, StoredStartup(MakeSettings(), true));
        worker = &session->Worker();
        session->Open();
    } else {
        worker_ = std::make_unique<SerialThread>(window_, MakeSettings());
        worker = worker_.get();
        worker->Flags().Unattended.Begin();
        worker->PressStart();
    }
    ASSERT_EQ(window_.WaitResult(20s), std::optional<int>(0));
    ASSERT_TRUE(worker->WaitIdle(5s));

    if (throughTheSession) {
        session->RunReset();
    } else {
        worker->PressRunReset();
    }
    EXPECT_TRUE(worker->WaitIdle(5s));
    EXPECT_TRUE(Frames('R').empty());
    EXPECT_EQ(Count(window_.Lines(), "Running."), 0u);
    EXPECT_EQ(worker->Flags().RunRequest.load(), 0);
    EXPECT_EQ(window_.Results(), std::vector<int>{0});
}

INSTANTIATE_TEST_SUITE_P(BothWays, RunResetAfterTheResult, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "FromTheWindow" : "OnTheWorker");
});

} // namespace
} // namespace talvex::testing
