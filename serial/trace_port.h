#pragma once
// A byte trace of the line: a port that hands every call to the real one
// and writes what went out and what came back, with a time stamp in
// microseconds and its direction, as a hex dump grouped by frame. A support
// engineer reads in it exactly what the target answered and when.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial_port.h"
#include "trace_file.h"

namespace talvex {

// Where trace lines go. Used from the worker's thread only.
class ITraceSink {
public:
    virtual ~ITraceSink() = default;
    // One or more whole lines, each ending with '\n'.
    virtual void Write(const std::string& lines) = 0;
    // Called after each answer read: what is written so far should reach
    // the file, so that a trace of a hung or killed run still ends there.
    // Never waits long: the worker times the answers around it.
    virtual void Flush() {}
    // The last lines are written: what is left goes out, with a short wait
    // for a slow reader allowed, now that nothing is timed any more.
    virtual void Close() { Flush(); }
};

class FileTraceSink final : public ITraceSink {
public:
    // Opens the file for appending; nullptr, and the reason, when it cannot
    // (a FIFO that no process reads among them: waiting for one would hold
    // the run before it began).
    static std::unique_ptr<FileTraceSink> Open(const std::string& path, std::string& whyNot);
    ~FileTraceSink() override;

    // Lines wait in memory until the next Flush.
    void Write(const std::string& lines) override;
    // Writes what the file takes at once; a FIFO whose reader lags keeps
    // the rest for the next Flush. A reader that has taken nothing for
    // kTraceStallLimit, or lags too far, costs the trace: it is given up,
    // and later lines are dropped.
    void Flush() override;
    // Waits at most kTraceStallLimit for the rest.
    void Close() override;
    // The first write failure, empty while there was none.
    const std::string& Failure() const { return failure_; }
    const std::string& Path() const { return path_; }

private:
    FileTraceSink(std::string path, std::unique_ptr<TraceFile> file);
    void Push(std::chrono::milliseconds wait);
    void GiveUp(const std::string& why);

    std::string path_;
    std::unique_ptr<TraceFile> file_;
    std::string pending_;
    std::string failure_;
    // Since when the file has taken none of the lines waiting; unset while
    // it keeps up.
    std::optional<std::chrono::steady_clock::time_point> stalledSince_;
};

class TracePort final : public ISerialPort {
public:
    // Times count from the construction.
    TracePort(std::unique_ptr<ISerialPort> inner, std::shared_ptr<ITraceSink> sink);
    ~TracePort() override;
    TracePort(const TracePort&) = delete;
    TracePort& operator=(const TracePort&) = delete;

    bool Open(const std::string& port, const std::string& baud) override;
    bool Close() override;
    bool IsOpen() const override { return inner_->IsOpen(); }
    bool Read(std::uint8_t* buffer, std::size_t count, std::size_t& received) override;
    bool ReadFor(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                 std::chrono::milliseconds timeout) override;
    bool Write(const std::uint8_t* data, std::size_t count, std::size_t& written) override;
    bool Purge(PurgeWhat what) override { return inner_->Purge(what); }
    PortStatus LastStatus() const override { return inner_->LastStatus(); }
    void SetStopFlag(const std::atomic<bool>* stop) override { inner_->SetStopFlag(stop); }
    void Remark(const std::string& text) override;
    bool PacedLine() const override { return inner_->PacedLine(); }

private:
    bool Traced(std::uint8_t* buffer, std::size_t count, std::size_t& received,
                const std::function<bool()>& read);
    std::int64_t Now() const;
    void Emit(const std::string& lines);
    void FlushSilence();

    std::unique_ptr<ISerialPort> inner_;
    std::shared_ptr<ITraceSink> sink_;
    std::chrono::steady_clock::time_point origin_;
    // Reads that brought nothing, told as one line when something else
    // happens, so that a long wait for the target is not thousands of lines.
    int silentReads_ = 0;
    int silentWakes_ = 0; // wake bytes sent in between
    std::int64_t silenceStart_ = 0;
    std::int64_t silenceEnd_ = 0;
    // The frame written last and how often in a row, to mark repeats.
    std::vector<std::uint8_t> lastFrame_;
    int frameTry_ = 0;
};

// One group as the trace shows it: the time, the direction ('>' sent, '<'
// received), the bytes 16 to a line, and a note after the first line's
// bytes. Lines of a received group of more than one byte also show their
// bytes as text, before the note.
std::string FormatTraceGroup(std::int64_t micros, char direction, const std::uint8_t* bytes,
                             std::size_t count, const std::string& note);

} // namespace talvex
