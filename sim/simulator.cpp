// The serving loop: takes the host's bytes off the line (at the line's rate
// when one is given), lets the target answer, and sends the answers when a
// monotonic clock says the line speed and the delays asked for allow.

#include "zarq_sim.h"

#include "sim_flash.h"
#include "sim_line.h"
#include "sim_log_file.h"
#include "sim_target.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace zarq {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string BuildIdText(const SimOptions& o) {
    if (o.idText) return *o.idText;
    std::string part = o.part;
    part.resize(8, ' ');
    // Characters 15 and 17 carry the revision the host checks on older parts.
    return part + " BOOT r" + (o.oldRevision ? "H.0" : "J.2");
}

bool ResolveGeometry(const SimOptions& o, FlashGeometry& geo, std::string& error) {
    const bool fromOptions = o.flashSize && o.kernelStart;
    if (!fromOptions) {
        const std::string db =
            o.partDbPath.empty() ? ExecutableDir() + "zelchip.ini" : o.partDbPath;
        std::string why;
        if (!ReadPartGeometry(db, o.part, geo, why)) {
            // Without a database and without a part named, the default part's
            // shipped geometry still gives a usable target.
            if (!o.partDbPath.empty() || o.partGiven || why.rfind("cannot open", 0) != 0) {
                error = why;
                return false;
            }
            geo.size = 0x10000;
            geo.kernelStart = 0x8F800;
        }
    }
    if (o.flashSize) geo.size = *o.flashSize;
    if (o.kernelStart) geo.kernelStart = *o.kernelStart;
    if (geo.kernelStart <= kFlashBase ||
        std::uint64_t(geo.kernelStart) > std::uint64_t(kFlashBase) + geo.size) {
        error = "kernel start " + Hex(geo.kernelStart) + " lies outside the flash " +
                Hex(kFlashBase) + ".." + Hex(std::uint64_t(kFlashBase) + geo.size);
        return false;
    }
    return true;
}

bool WriteDump(const std::string& path, const std::vector<std::uint8_t>& image) {
    FilePtr f(std::fopen(path.c_str(), "wb"));
    bool ok = f && std::fwrite(image.data(), 1, image.size(), f.get()) == image.size();
    ok = f && std::fclose(f.release()) == 0 && ok;
    return ok;
}

} // namespace

std::string BoardDumpPath(const std::string& pattern, std::uint64_t board, bool severalBoards) {
    const std::string number = std::to_string(board);
    std::string path;
    bool substituted = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'n') {
            path += number;
            substituted = true;
            ++i;
        } else {
            path += pattern[i];
        }
    }
    if (!substituted && severalBoards) path += "." + number;
    return path;
}

namespace {

// An answer, or the end of the line, scheduled for a moment (monotonic ns).
struct Outgoing {
    std::int64_t due = 0;
    std::string bytes;
    bool hangUp = false;
    bool ran = false;
    bool reset = false;
};

} // namespace

struct Simulator::Impl {
    SimOptions options;
    std::string idText;
    FlashGeometry geometry;
    std::vector<std::uint8_t> preset;
    std::unique_ptr<TargetCore> core;
    // Guarded by mutex: the board in the fixture, and what is known of
    // those that left.
    std::uint64_t board = 1;
    std::uint64_t boardsEnded = 0;
    std::vector<std::string> boardSummaries;
    std::string dumpErrors;
    std::unique_ptr<SimLine> line;
    std::string path;
    std::string linkMade;
    std::unique_ptr<SimLogFile> logFile;
    std::size_t logStreamed = 0;
    std::string logError;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool started = false;
    bool stopped = false;
    std::int64_t startNs = 0;

    mutable std::mutex mutex;
    std::uint64_t answersSent = 0;
    std::uint64_t answerLateNsTotal = 0;
    std::uint64_t answerLateNsMax = 0;
    std::vector<std::uint32_t> answerLateNs;
    // Picks which answers stand for all once the sample is full.
    std::minstd_rand lateSampler;
    std::condition_variable finishedCv;
    bool finished = false;
    FinishReason reason = FinishReason::None;
    std::string failure;

    void Finish(FinishReason why, std::string text = {}) {
        std::lock_guard<std::mutex> lock(mutex);
        if (finished) return;
        finished = true;
        reason = why;
        failure = std::move(text);
        finishedCv.notify_all();
    }

    // Under the lock: gives the new entries their times and streams them.
    void FlushLog(std::int64_t chunkBaseNs, std::int64_t byteNs) {
        std::vector<LogEntry>& log = core->MutableLog();
        for (std::size_t i = logStreamed; i < log.size(); ++i) {
            const std::int64_t at = chunkBaseNs + std::int64_t(log[i].timeUs) * byteNs;
            log[i].timeUs =
                static_cast<std::uint64_t>(std::max<std::int64_t>(0, at - startNs) / 1000);
            if (logFile) logFile->Write(FormatLogLine(log[i]) + "\n");
        }
        if (!options.keepLog) log.clear();
        logStreamed = log.size();
    }

    // The line's own error: how late the answers just written left.
    void NoteSent(const std::vector<std::int64_t>& dues) {
        if (dues.empty()) return;
        const std::int64_t sent = MonotonicNs();
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::int64_t due : dues) {
            const auto late = static_cast<std::uint64_t>(std::max<std::int64_t>(0, sent - due));
            ++answersSent;
            answerLateNsTotal += late;
            answerLateNsMax = std::max(answerLateNsMax, late);
            NoteLateness(static_cast<std::uint32_t>(std::min<std::uint64_t>(late, 0xFFFFFFFFu)));
        }
    }

    // Under the lock, after answersSent counted this answer. A run that
    // keeps its log keeps every answer's lateness beside it; one that does
    // not (a long session of the program) keeps a uniform sample of a fixed
    // size, which tells the typical lateness as well, and stops growing.
    void NoteLateness(std::uint32_t lateNs) {
        if (options.keepLog || answerLateNs.size() < kLateSampleLimit) {
            answerLateNs.push_back(lateNs);
            return;
        }
        const std::uint64_t pick =
            ((std::uint64_t(lateSampler()) << 31) ^ lateSampler()) % answersSent;
        if (pick < kLateSampleLimit) answerLateNs[static_cast<std::size_t>(pick)] = lateNs;
    }

    bool SeveralBoards() const { return options.boards != 1; }
    // Under the lock.
    bool LastBoard() const { return options.boards != 0 && board >= options.boards; }
    std::string BoardIdText(std::uint64_t number) const {
        const auto own = options.boardParts.find(number);
        if (own == options.boardParts.end()) return BuildIdText(options);
        SimOptions other = options;
        other.part = own->second;
        other.idText.reset();
        return BuildIdText(other);
    }
    // Under the lock: the board in the fixture leaves, its dump written.
    void EndBoardLocked();
    // Under the lock: the next board is fitted, fresh from its bootloader.
    void NextBoardLocked() {
        ++board;
        idText = BoardIdText(board);
        core = std::make_unique<TargetCore>(options, geometry, idText, preset);
        logStreamed = 0;
    }
    std::string SummaryOf(const SimStats& st) const;

    // Board after board, kept by the serving thread: while a board is being
    // swapped nothing answers until nextBoardAt; a board that has identified
    // itself and taken no frame for the idle time has been finished with.
    struct Swap {
        std::int64_t pauseNs = 0;
        std::int64_t idleNs = 0;
        std::int64_t nextBoardAt = -1; // >= 0: no board in the fixture until then
        std::int64_t lastFrameAt = 0;
        std::uint64_t framesSeen = 0;
        bool lastBoard = false;
        bool announced = false;

        bool Present() const { return nextBoardAt < 0; }
        // When the board in the fixture counts as finished with if nothing
        // more happens; -1 while that cannot come.
        std::int64_t IdleEnd(bool nothingDue, std::int64_t lineFreeAt) const {
            if (!Present() || lastBoard || !announced || !nothingDue) return -1;
            return std::max(lastFrameAt, lineFreeAt) + idleNs;
        }
    };
    Swap swap;
    // Under the lock, after the board took the host's bytes.
    void NoteFedLocked(std::int64_t now) {
        const SimStats& st = core->Stats();
        if (st.frames != swap.framesSeen || (st.identifications > 0 && !swap.announced)) {
            swap.framesSeen = st.frames;
            swap.lastFrameAt = now;
        }
        swap.announced = st.identifications > 0;
        swap.lastBoard = LastBoard();
    }
    void EndBoard(std::int64_t now, std::deque<Outgoing>& outgoing) {
        std::lock_guard<std::mutex> lock(mutex);
        FlushLog(now, 0);
        EndBoardLocked();
        // Answers still due belong to the board that left.
        outgoing.clear();
        swap.nextBoardAt = now + swap.pauseNs;
    }
    void FitNextBoardWhenDue(std::int64_t now) {
        if (swap.Present() || now < swap.nextBoardAt) return;
        std::lock_guard<std::mutex> lock(mutex);
        NextBoardLocked();
        swap.nextBoardAt = -1;
        swap.framesSeen = 0;
        swap.announced = false;
        swap.lastBoard = LastBoard();
    }

    void Serve();
};

void Simulator::Impl::EndBoardLocked() {
    ++boardsEnded;
    std::string line = SummaryOf(core->Stats());
    line.insert(std::string("zarq-sim: ").size(), "board " + std::to_string(board) + ": ");
    boardSummaries.push_back(line);
    if (options.dumpPath.empty()) return;
    const std::string path = BoardDumpPath(options.dumpPath, board, SeveralBoards());
    if (!WriteDump(path, core->Flash().Bytes()))
        dumpErrors += (dumpErrors.empty() ? "" : "; ") + ("cannot write the dump " + path);
}

void Simulator::Impl::Serve() {
    const std::int64_t byteNs = options.baud ? std::int64_t(10'000'000'000LL / options.baud) : 0;
    // A pseudo-terminal hands the simulator at once whatever the host wrote,
    // while a line carries it a byte at a time. Taking the bytes off at the
    // line's rate keeps what the line could not have carried yet on the
    // host's side, where a purge can still drop it, as on a real line. A
    // real device is paced by its own wire.
    const bool paceInput = byteNs > 0 && line->IsPty();
    const std::int64_t turnaroundNs = static_cast<std::int64_t>(options.turnaroundMs * 1e6);
    const std::int64_t deadline =
        options.timeoutS > 0 ? startNs + static_cast<std::int64_t>(options.timeoutS * 1e9) : 0;
    std::int64_t rxFree = 0;    // when the last byte taken had fully arrived
    std::int64_t txFree = 0;    // when the last answer has fully gone out
    std::int64_t busyUntil = 0; // the target carries out one command at a time
    bool inputWaiting = false;  // the host's bytes wait on the line
    std::deque<Outgoing> outgoing;
    std::vector<std::uint8_t> buffer(std::size_t{64} * 1024);
    std::vector<Reply> replies;
    std::string out;
    std::vector<std::int64_t> dues; // of the answers in out
    std::string error;

    // Hands n bytes to the target and schedules its answers. The target keeps
    // listening while it works, so bytes that arrive meanwhile (a resync
    // block, the next try) are taken as they come and served in order.
    const auto take = [&](std::size_t n, std::int64_t now) {
        const std::int64_t base = paceInput ? rxFree : std::max(rxFree, now);
        replies.clear();
        if (!swap.Present()) return; // no board to hear them
        {
            std::lock_guard<std::mutex> lock(mutex);
            const std::size_t used = core->Feed(buffer.data(), n, replies);
            rxFree = base + std::int64_t(used) * byteNs;
            FlushLog(base, byteNs);
            NoteFedLocked(now);
        }
        for (Reply& r : replies) {
            const std::int64_t arrived = base + std::int64_t(r.dueAfter) * byteNs;
            const std::int64_t ready =
                std::max(arrived, busyUntil) + static_cast<std::int64_t>(r.workUs * 1000.0);
            busyUntil = ready;
            Outgoing o{ready, std::move(r.bytes), r.hangUp, r.ran, r.reset};
            if (!o.bytes.empty()) {
                // The host sees an answer only once its last bit is out. A
                // held answer still waits for the one before it: the line
                // sends in order, whatever each answer's hold.
                const std::int64_t held = ready + turnaroundNs + std::int64_t(r.holdUs) * 1000;
                const std::int64_t begin = std::max(held, txFree);
                txFree = begin + std::int64_t(o.bytes.size()) * byteNs;
                o.due = txFree;
                if (r.repeatAfterUs) {
                    // The copy carries the end of the line, if any, so that
                    // both copies go out before it.
                    Outgoing copy{0, o.bytes, o.hangUp, o.ran, o.reset};
                    o.hangUp = o.ran = o.reset = false;
                    outgoing.push_back(std::move(o));
                    txFree += std::int64_t(*r.repeatAfterUs) * 1000 +
                              std::int64_t(copy.bytes.size()) * byteNs;
                    copy.due = txFree;
                    outgoing.push_back(std::move(copy));
                    continue;
                }
            } else if (!o.hangUp && !o.ran && !o.reset) {
                continue;
            }
            outgoing.push_back(std::move(o));
        }
    };

    while (!stopping.load(std::memory_order_relaxed)) {
        const std::int64_t now = MonotonicNs();
        if (deadline && now >= deadline) {
            Finish(FinishReason::TimedOut);
            return;
        }
        FitNextBoardWhenDue(now);
        const std::int64_t idleEnd = swap.IdleEnd(outgoing.empty(), txFree);
        if (idleEnd >= 0 && now >= idleEnd) EndBoard(now, outgoing);

        // The answers whose time has come, in one write, before anything
        // else: the host is waiting for them, and the line's bytes keep.
        out.clear();
        dues.clear();
        bool boardRan = false;
        while (!outgoing.empty() && outgoing.front().due <= now) {
            Outgoing o = std::move(outgoing.front());
            outgoing.pop_front();
            out += o.bytes;
            if (!o.bytes.empty()) dues.push_back(o.due);
            if ((o.ran || o.reset) && !swap.lastBoard) {
                // The board runs its program, or resets, and is taken out;
                // nothing it still had to say goes out.
                boardRan = true;
                break;
            }
            const bool ending = o.hangUp || (o.ran && options.exitAfterRun);
            if (!ending) continue;
            NoteSent(dues);
            if (!out.empty() && !line->Write(reinterpret_cast<const std::uint8_t*>(out.data()),
                                             out.size(), error)) {
                Finish(FinishReason::LineFailed, error);
                return;
            }
            if (o.hangUp) {
                line->DrainOutput(500);
                line->Close();
                Finish(FinishReason::HungUp);
            } else {
                line->DrainOutput(2000);
                Finish(FinishReason::Ran);
            }
            return;
        }
        NoteSent(dues);
        if (!out.empty() &&
            !line->Write(reinterpret_cast<const std::uint8_t*>(out.data()), out.size(), error)) {
            Finish(FinishReason::LineFailed, error);
            return;
        }
        if (boardRan) EndBoard(now, outgoing);

        // What the line has carried by now.
        if (inputWaiting) {
            std::size_t allowed = buffer.size();
            if (paceInput)
                allowed = now > rxFree
                              ? std::min<std::size_t>(allowed, std::size_t((now - rxFree) / byteNs))
                              : 0;
            if (allowed > 0) {
                const long n = line->Read(buffer.data(), allowed, error);
                if (n < 0) {
                    Finish(FinishReason::LineFailed, error);
                    return;
                }
                // Once the queue has run dry the line is idle, and the host's
                // next bytes must start from when they are seen, not from
                // where the last ones ended: a host that answers quickly
                // would otherwise get the gap credited as line time.
                if (static_cast<std::size_t>(n) < allowed || (paceInput && line->Pending() == 0))
                    inputWaiting = false;
                if (n > 0) take(static_cast<std::size_t>(n), now);
            }
        }

        // Sleep until the next answer is due, the next bytes have crossed
        // the line, or the host writes.
        std::int64_t next = -1;
        const auto consider = [&next](std::int64_t t) {
            if (next < 0 || t < next) next = t;
        };
        if (!outgoing.empty()) consider(outgoing.front().due);
        if (deadline) consider(deadline);
        if (!swap.Present()) consider(swap.nextBoardAt);
        if (const std::int64_t idleEnd = swap.IdleEnd(outgoing.empty(), txFree); idleEnd >= 0)
            consider(idleEnd);
        if (inputWaiting) {
            if (!paceInput) continue; // the buffer was full; read on
            const std::size_t pending = std::max<std::size_t>(1, line->Pending());
            consider(rxFree + std::int64_t(pending) * byteNs);
            if (!line->SleepUntil(next)) return;
            continue;
        }
        const SimLine::Wait w = line->WaitReadableUntil(next, error);
        if (w == SimLine::Wait::Woken) return;
        if (w == SimLine::Wait::Failed) {
            Finish(FinishReason::LineFailed, error);
            return;
        }
        if (w == SimLine::Wait::Readable) {
            inputWaiting = true;
            // An idle line starts carrying the host's bytes now.
            if (paceInput) rxFree = std::max(rxFree, MonotonicNs());
        }
    }
}

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(std::string& error) {
    Impl& s = *impl_;
    if (s.started) {
        error = "the simulator was started already";
        return false;
    }
    FlashGeometry& geo = s.geometry;
    if (!ResolveGeometry(s.options, geo, error)) return false;
    if (!s.options.seed)
        s.options.seed =
            static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    if (!s.options.flashInit.empty() &&
        !ReadFlashPreset(s.options.flashInit, geo.size, s.preset, error))
        return false;
    s.idText = s.BoardIdText(1);
    s.swap.pauseNs = static_cast<std::int64_t>(s.options.boardPauseMs * 1e6);
    s.swap.idleNs = static_cast<std::int64_t>(s.options.boardIdleMs * 1e6);
    s.swap.lastBoard = s.LastBoard();
    s.core = std::make_unique<TargetCore>(s.options, geo, s.idText, s.preset);

    if (!s.options.logPath.empty()) {
        std::string why;
        s.logFile = SimLogFile::Open(s.options.logPath, why);
        if (!s.logFile) {
            error = "cannot create the log " + s.options.logPath + ": " + why;
            return false;
        }
    }
    s.line = s.options.device.empty()
                 ? SimLine::OpenPty(error)
                 : SimLine::OpenDevice(s.options.device, s.options.baud, error);
    if (!s.line) {
        s.logFile.reset();
        return false;
    }
    s.path = s.line->Path();
    if (!s.options.link.empty()) {
        if (!MakeLink(s.options.link, s.path, error)) {
            s.line.reset();
            s.logFile.reset();
            return false;
        }
        s.linkMade = s.options.link;
    }
    s.started = true;
    s.startNs = MonotonicNs();
    s.thread = std::thread([&s] { s.Serve(); });
    return true;
}

const std::string& Simulator::DevicePath() const { return impl_->path; }

bool Simulator::Stop(std::string* error) {
    Impl& s = *impl_;
    if (!s.started || s.stopped) return true;
    s.stopped = true;
    s.stopping = true;
    s.line->Wake();
    if (s.thread.joinable()) s.thread.join();
    s.Finish(FinishReason::Stopped);
    s.line->Close();
    if (!s.linkMade.empty()) RemoveLink(s.linkMade, s.path);

    std::string problems;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.logFile && !s.logFile->Finish() && s.logError.empty())
            s.logError = "cannot write the log " + s.options.logPath + ": " + s.logFile->Failure();
        s.logFile.reset();
        problems = s.logError;
        if (!s.dumpErrors.empty()) problems += (problems.empty() ? "" : "; ") + s.dumpErrors;
    }
    // The board still in the fixture; none is while the next is being
    // fitted, and the one that left has its dump already.
    const bool boardPresent = Board() > BoardsEnded();
    if (!s.options.dumpPath.empty() && boardPresent) {
        const std::string path = BoardDumpPath(s.options.dumpPath, Board(), s.SeveralBoards());
        if (!WriteDump(path, Flash()))
            problems += (problems.empty() ? "" : "; ") + ("cannot write the dump " + path);
    }
    if (error) *error = problems;
    return problems.empty();
}

bool Simulator::WaitFinished(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->finishedCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return impl_->finished; });
    return impl_->finished && impl_->reason != FinishReason::Stopped;
}

FinishReason Simulator::Reason() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->reason;
}

std::string Simulator::FailureText() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->failure;
}

std::vector<std::uint8_t> Simulator::Flash() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->core ? impl_->core->Flash().Bytes() : std::vector<std::uint8_t>();
}

std::uint32_t Simulator::KernelStart() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->core ? kFlashBase + impl_->core->Flash().KernelOffset() : 0;
}

SimStats Simulator::Stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    SimStats stats = impl_->core ? impl_->core->Stats() : SimStats();
    stats.answersSent = impl_->answersSent;
    stats.answerLateNsTotal = impl_->answerLateNsTotal;
    stats.answerLateNsMax = impl_->answerLateNsMax;
    stats.answerLateNs = impl_->answerLateNs;
    return stats;
}

std::vector<LogEntry> Simulator::Log() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->core ? impl_->core->MutableLog() : std::vector<LogEntry>();
}

std::string Simulator::IdentificationText() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->idText;
}

std::uint64_t Simulator::Seed() const { return impl_->options.seed.value_or(0); }

std::uint64_t Simulator::Board() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->board;
}

std::uint64_t Simulator::BoardsEnded() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->boardsEnded;
}

std::vector<std::string> Simulator::BoardSummaries() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->boardSummaries;
}

std::string Simulator::SummaryLine() const { return impl_->SummaryOf(Stats()); }

std::string Simulator::Impl::SummaryOf(const SimStats& st) const {
    return "zarq-sim: " + std::to_string(st.frames) + " frames, " + std::to_string(st.acks) +
           " acks, " + std::to_string(st.naks) + " naks, " + std::to_string(st.bytesWritten) +
           " bytes written (" + std::to_string(st.commands) + " commands, " +
           std::to_string(st.retries) + " retries, " + std::to_string(st.resyncBlocks) +
           " resync blocks, " + std::to_string(st.identifications) + " identifications" +
           (st.doubledAnswers ? ", " + std::to_string(st.doubledAnswers) + " answers doubled"
                              : std::string()) +
           (st.ran ? ", program run" : "") + (st.hungUp ? ", hung up" : "") + ")";
}

} // namespace zarq
