#pragma once
// The file a byte trace goes to. It may be a FIFO read by a log collector,
// and then neither a missing reader nor one that stops reading may hold the
// worker that writes it: the open does not wait for a reader, and a write
// waits no longer than it is told. Written once in trace_file_common.cpp
// over the system calls of trace_file_posix.cpp and trace_file_win32.cpp.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace talvex {

// How long a trace waits for a reader that takes nothing before it gives
// up. Short enough that a stop asked for meanwhile still ends the run at once.
constexpr std::chrono::milliseconds kTraceStallLimit{500};

class TraceFile {
public:
    // Opens the file for appending, creating it if need be; nullptr, and
    // the reason, when it cannot. A FIFO without a reader cannot be opened.
    static std::unique_ptr<TraceFile> Open(const std::string& path, std::string& whyNot);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Writes what the file takes within wait (zero: what it takes at once)
    // and tells how much that was. False, with the reason, on a write error,
    // a reader that went away among them.
    bool Write(const char* data, std::size_t size, std::chrono::milliseconds wait,
               std::size_t& written, std::string& whyNot);

private:
    struct Impl;
    explicit TraceFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace talvex
