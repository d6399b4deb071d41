// The worker's window operations wait for the window's thread, a box holds
// the worker while the window goes on serving; after a close they are
// dropped, and only the end of the worker still gets through.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>

#include "qt_window_ops.h"

namespace talvex::testing {
namespace {

using namespace std::chrono_literals;

// Draws nothing; remembers what it was asked and on which thread.
class ThreadRecorder final : public IWindowOps {
public:
    void AddStatusLine(const std::string& text) override { Note("add " + text); }
    void AppendStatusLine(const std::string& text) override { Note("append " + text); }
    void SetProgressStep(int step) override { Note("step " + std::to_string(step)); }
    void SetProgressRange(std::uint32_t upper) override { Note("range " + std::to_string(upper)); }
    void SetProgressPos(std::uint32_t position) override {
        Note("pos " + std::to_string(position));
    }
    void EnableButton(ButtonId id, bool enable) override {
        Note("button " + std::to_string(id) + (enable ? " on" : " off"));
    }
    void ShowMessage(const std::string& text) override {
        Note("box " + text);
        boxOpen = true;
        // A box serves events until it is closed, as a real one does.
        EXPECT_TRUE(QTest::qWaitFor([this] { return boxClosed.load(); }, 10000));
    }
    void EndWithResult(ExitCode code) override { Note("result " + std::to_string(ToInt(code))); }

    std::vector<std::string> calls;
    bool allOnUiThread = true;
    std::atomic<bool> boxOpen{false};
    std::atomic<bool> boxClosed{false};

private:
    void Note(const std::string& call) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            allOnUiThread = false;
        calls.push_back(call);
    }
};

TEST(QtWindowOps, HoldsTheWorkerUntilTheBoxIsClosedWhileTheWindowKeepsServing) {
    ThreadRecorder target;
    ui::QtWindowOps ops(target);
    std::atomic<bool> returned{false};
    bool servedWhileOpen = false;
    bool workerWaited = false;
    // Runs inside the box's own event loop, as a user's click would.
    QTimer::singleShot(150, [&] {
        servedWhileOpen = target.boxOpen.load();
        workerWaited = !returned.load();
        target.boxClosed = true;
    });
    std::thread worker([&] {
        ops.ShowMessage("File Open Error.");
        returned = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(servedWhileOpen);
    EXPECT_TRUE(workerWaited);
    EXPECT_EQ(target.calls, std::vector<std::string>{"box File Open Error."});
}

TEST(QtWindowOps, AfterACloseDropsEverythingButTheEndOfTheWorker) {
    ThreadRecorder target;
    ui::QtWindowOps ops(target);
    QSignalSpy finished(&ops, &ui::QtWindowOps::workerFinished);
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ops.AddStatusLine("before");
        while (!go.load()) std::this_thread::sleep_for(1ms);
        // Calls that passed the worker's gate just before the close.
        ops.AddStatusLine("in flight");
        ops.ShowMessage("in flight");
        ops.EndWithResult(ExitCode::Port);
        ops.WorkerFinished();
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return target.calls.size() == 1; }, 5000));
    go = true;
    // No event is served meanwhile: the line is on its way when the window
    // closes.
    std::this_thread::sleep_for(50ms);
    ops.Close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load() && finished.count() == 1; }, 5000));
    worker.join();
    EXPECT_EQ(target.calls, std::vector<std::string>{"add before"});
    EXPECT_FALSE(target.boxOpen.load());
}

} // namespace
} // namespace talvex::testing
