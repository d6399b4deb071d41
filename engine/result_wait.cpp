#include "result_wait.h"

#include "progress_model.h"

namespace talvex {

namespace {

bool WaitSliced(const std::atomic<bool>& stop,
                const std::function<bool(std::chrono::milliseconds)>& done,
                const std::function<void()>& tick) {
    for (;;) {
        if (stop) return false;
        if (done(kRedrawInterval)) return true;
        if (tick) tick();
    }
}

} // namespace

bool WaitForResultThenIdle(const std::atomic<bool>& stop, const ResultWait& wait) {
    return WaitSliced(stop, wait.result, wait.tick) && WaitSliced(stop, wait.idle, wait.tick);
}

} // namespace talvex
