// The session object as both front ends drive it, and the shutdown contract
// as a window toolkit keeps it: window operations carried out on a UI thread
// that the worker waits for, and a close that never joins that thread.

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "download_session.h"
#include "engine_fixture.h"
#include "ini_file.h"
#include "window_gate.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

TEST(ImageBrowseRequest, SplitsTheImageFileAtItsLastSeparatorAndOffersHexFirst) {
    const struct {
        const char* imageFile;
        char separator;
        const char* folder;
        const char* name;
    } cases[] = {
        {"/home/bench/boards/board.hex", '/', "/home/bench/boards/", "board.hex"},
        {"C:\\boards\\v2\\board.hex", '\\', "C:\\boards\\v2\\", "board.hex"},
        // Another platform's separator is part of the name.
        {"C:\\boards\\board.hex", '/', "", "C:\\boards\\board.hex"},
        {"board.hex", '/', "", "board.hex"},
        {"/boards/", '/', "/boards/", ""},
        {"", '/', "", ""},
    };
    for (const auto& c : cases) {
        const HelpBrowseRequest request = ImageBrowseRequest(c.imageFile, c.separator);
        EXPECT_EQ(request.folder, c.folder) << c.imageFile;
        EXPECT_EQ(request.proposedName, c.name) << c.imageFile;
        EXPECT_EQ(request.title, "Select File");
        ASSERT_EQ(request.filters.size(), 2u);
        EXPECT_EQ(request.filters[0].label, "*.hex ");
        EXPECT_EQ(request.filters[0].pattern, "*.hex");
        EXPECT_EQ(request.filters[1].label, "All Files");
    }
}

TEST(WindowGate, LetsNothingButTheFinishedNoticeThroughAfterAStop) {
    RecordingWindow target;
    std::atomic<bool> stop{false};
    WindowGate gate(target, stop);
    gate.AddStatusLine("before");
    gate.EndWithResult(ExitCode::Write);
    stop = true;
    gate.AddStatusLine("after");
    gate.ShowMessage("after");
    gate.EnableButton(kStartButton, true);
    gate.EndWithResult(ExitCode::FlashError);
    gate.WorkerFinished();
    EXPECT_EQ(target.Results(), std::vector<int>{7});
    EXPECT_EQ(target.Lines(), std::vector<std::string>{"before"});
    EXPECT_TRUE(target.Boxes().empty());
    EXPECT_TRUE(target.Buttons().empty());
    EXPECT_TRUE(target.WaitFinished(0ms)) << "the end of the worker always gets through";
}

class SessionTest : public EngineTest {
protected:
    StartupResult Startup(bool unattended) { return StoredStartup(MakeSettings(), unattended); }
};

TEST_F(SessionTest, OpeningShowsPortAndRateAndWaitsForStart) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    {
        DownloadSession session(window_, Startup(false));
        session.Open();
        EXPECT_EQ(window_.Lines(),
                  (std::vector<std::string>{
                      "    Connect test board to PC " + sim_->DevicePath() + " at 115200 Baud.",
                      "    Click Start."}));
        ASSERT_FALSE(window_.Buttons().empty());
        EXPECT_EQ(window_.Buttons()[0].id, kRunResetButton);
        EXPECT_FALSE(window_.Buttons()[0].enabled);
        EXPECT_EQ(session.RunResetCaption(), "Run");
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(session.Worker().Running()) << "an interactive window waits for Start";
    }
    EXPECT_TRUE(Frames().empty());
}

TEST_F(SessionTest, StartPressedTwiceBeforeThePortOpensGivesOneDownload) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    DownloadSession session(window_, Startup(false));
    session.Open();
    session.Start();
    session.Start();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
    ASSERT_TRUE(session.WaitIdle(5s));
    const auto lines = window_.Lines();
    EXPECT_EQ(Count(lines, "Ready @ "), 1u);
    EXPECT_EQ(Count(lines, "Downloading ... "), 1u);
    EXPECT_EQ(Frames('W').size(), 4u);
    EXPECT_EQ(window_.Phases(),
              (std::vector<ProgressPhase>{ProgressPhase::Erase, ProgressPhase::Write,
                                          ProgressPhase::Verify}));
}

TEST_F(SessionTest, UnattendedOpeningStartsAtOnceAndEndsWithItsCode) {
    StartSim({"--nak", "W@2"});
    WriteImage("board.hex", HexText(Records(0, 4, 16)));
    DownloadSession session(window_, Startup(true));
    session.Open();
    EXPECT_EQ(window_.WaitResult(10s), std::optional<int>(7));
    ASSERT_TRUE(session.WaitIdle(5s));
    EXPECT_EQ(window_.Results(), std::vector<int>{7}) << "one result per run";
    EXPECT_EQ(window_.Lines().back(), "    Check setup and try downloading again.");
}

TEST_F(SessionTest, ConfigureOkStoresTheValuesAndTheNextStartUsesThem) {
    StartSim({});
    WriteImage("board.hex", HexText(Records(0, 2, 16)));
    baud_ = "9600";
    DownloadSession session(window_, Startup(false));
    session.Open();
    ConfigureValues values = session.ReadConfigureValues();
    EXPECT_EQ(values.browser, "browser");
    values.settings.baud = "230400";
    values.settings.runMode = 1;
    session.ApplyConfiguration(values);
    EXPECT_EQ(window_.Lines().back(), "    Connect test board to PC " + sim_->DevicePath() +
                                          " at 230400 Baud. Click Start.");
    EXPECT_EQ(session.RunResetCaption(), "Reset");
    EXPECT_EQ(ini::ReadText(MakeSettings().settingsPath, "Coms", "Baud", "", 100), "230400");

    const std::string other = WriteImage("other.hex", HexText(Records(0x200, 1, 16)));
    session.ChooseImage(other);
    EXPECT_EQ(ini::ReadText(MakeSettings().settingsPath, "TalVex", "File", "", 1000), other);
    session.Start();
    ASSERT_TRUE(window_.WaitLine("Flashing Complete.", 10s));
    EXPECT_EQ(Count(window_.Lines(), "Ready @ 230400 baud n,8,1."), 1u);
    ASSERT_EQ(Frames('W').size(), 1u);
    EXPECT_EQ(Frames('W')[0].value, 0x200u);
}

// A UI thread as a toolkit has one: tasks run one at a time in order. The
// worker's window operations are posted to it and the worker waits until
// they have run, as a blocking queued call does; a message box keeps the
// worker waiting while the UI thread goes on serving other events.
class StandInUi final : public IWindowOps {
public:
    StandInUi() : thread_([this] { Loop(); }) {}
    ~StandInUi() override {
        Post(nullptr);
        thread_.join();
    }

    void AddStatusLine(const std::string& text) override {
        Draw([=, this] { Line(text); });
    }
    void AppendStatusLine(const std::string& text) override {
        Draw([=, this] { Line(text); });
    }
    void SetProgressStep(int) override {
        Draw([] {});
    }
    void SetProgressRange(std::uint32_t) override {
        Draw([] {});
    }
    void SetProgressPos(std::uint32_t) override {
        Draw([] {});
    }
    void EnableButton(ButtonId, bool) override {
        Draw([] {});
    }
    void EndWithResult(ExitCode) override {
        Post([] {});
    }
    void ShowMessage(const std::string& text) override {
        auto closed = std::make_shared<std::promise<void>>();
        auto done = closed->get_future();
        Draw([=, this] {
            Line("box: " + text);
            openBox_ = closed;
        });
        done.wait();
    }
    void WorkerFinished() override {
        Post([this] {
            finished_ = true;
            finishedCv_.notify_all();
        });
    }

    // Runs f on the UI thread and waits for it, as an event handler.
    void OnUi(std::function<void()> f) {
        std::promise<void> ran;
        Post([&] {
            f();
            ran.set_value();
        });
        ran.get_future().wait();
    }

    // What closing the window does on the UI thread: the open box goes, the
    // session is asked to stop, and the thread goes back to its events.
    void Close(DownloadSession& session) {
        OnUi([&] {
            closedAt_ = Clock::now();
            if (openBox_) openBox_->set_value();
            openBox_.reset();
            session.RequestStop();
            closed_ = true;
        });
    }

    // Waits (off the UI thread) until the worker said it has finished.
    bool WaitFinished(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return finishedCv_.wait_for(lock, limit, [this] { return finished_; });
    }
    Clock::duration CloseToFinish() {
        std::lock_guard<std::mutex> lock(mutex_);
        return finishedAt_ - closedAt_;
    }
    bool WaitLine(const std::string& prefix, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return lineCv_.wait_for(lock, limit, [&] { return Count(lines_, prefix) > 0; });
    }

private:
    void Line(const std::string& text) {
        lines_.push_back(text);
        lineCv_.notify_all();
    }
    // Called on the worker: runs on the UI thread, the worker waits. Called
    // on the UI thread itself (the session's own lines): runs at once.
    void Draw(std::function<void()> f) {
        if (std::this_thread::get_id() == thread_.get_id()) {
            f();
            return;
        }
        std::promise<void> ran;
        Post([&, f] {
            // A call that passed the gate just before the close arrives after
            // it; a closed window drops it instead of drawing.
            if (!closed_) f();
            ran.set_value();
        });
        ran.get_future().wait();
    }
    void Post(std::function<void()> f) {
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queue_.push_back(std::move(f));
        }
        queueCv_.notify_one();
    }
    void Loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(queueMutex_);
                queueCv_.wait(lock, [this] { return !queue_.empty(); });
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            if (!task) return;
            std::lock_guard<std::mutex> lock(mutex_);
            task();
            if (finished_ && finishedAt_ == Clock::time_point{}) finishedAt_ = Clock::now();
        }
    }

    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<std::function<void()>> queue_;

    // Touched by UI tasks, which run under this lock.
    std::mutex mutex_;
    std::condition_variable finishedCv_;
    std::condition_variable lineCv_;
    std::vector<std::string> lines_;
    std::shared_ptr<std::promise<void>> openBox_;
    bool closed_ = false;
    bool finished_ = false;
    Clock::time_point closedAt_;
    Clock::time_point finishedAt_;

    std::thread thread_;
};

struct CloseCase {
    const char* name;
    std::vector<std::string> simArgs;
    const char* closeOnLine; // close once a line beginning with this appears
    bool imageMissing;
};

class CloseTest : public SessionTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, EndsPromptlyWhileTheUiThreadKeepsServing) {
    const CloseCase& c = GetParam();
    StartSim(c.simArgs);
    WriteImage("board.hex", HexText(Records(0, 64, 16)));
    Settings s = MakeSettings();
    if (c.imageMissing) s.imageFile = (dir_ / "gone.hex").string();
    StandInUi ui;
    auto session = std::make_unique<DownloadSession>(ui, StoredStartup(s, false));
    ui.OnUi([&] {
        session->Open();
        session->Start();
    });
    ASSERT_TRUE(ui.WaitLine(c.closeOnLine, 10s)) << c.name;
    ui.Close(*session);
    // The longest single wait at 115200 baud is a 24-byte read of 42 ms; a
    // close that needs more than a few of them is waiting for something else.
    ASSERT_TRUE(ui.WaitFinished(5s)) << c.name << ": the worker never finished";
    EXPECT_LT(ui.CloseToFinish(), 250ms) << c.name;
    // Finished: destroying the session on the UI thread cannot block.
    const auto before = Clock::now();
    ui.OnUi([&] { session.reset(); });
    EXPECT_LT(Clock::now() - before, 100ms);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, CloseTest,
    ::testing::Values(
        CloseCase{"Identification", {"--never-announce"}, "    Press Download", false},
        CloseCase{"Erase", {"--erase-ms", "400"}, "Erasing ", false},
        CloseCase{"Write", {"--write-us-per-byte", "3000"}, "Downloading ... ", false},
        CloseCase{"MessageBox", {}, "box: ", true}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace talvex::testing
