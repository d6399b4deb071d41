#pragma once
// For the trace file's backends only. A backend makes the system's calls:
// the open, and one write with its wait. What is the same on every system,
// the refusal of an empty name and the writing of a whole buffer against one
// deadline, is in trace_file_common.cpp.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace talvex::detail {

// The system's handle of an open trace file; each backend defines it.
struct TraceHandle;
struct TraceHandleClose {
    void operator()(TraceHandle* handle) const;
};
using TraceHandlePtr = std::unique_ptr<TraceHandle, TraceHandleClose>;

// Opens path for appending, creating it if need be, without waiting for a
// reader; null, and the reason, when it cannot.
TraceHandlePtr OpenTraceHandle(const std::string& path, std::string& whyNot);

enum class TraceWriteEnd {
    Took,   // took moved bytes, perhaps none after a wait: write on
    Full,   // took moved bytes, and no more within the wait
    Failed, // a write error, whyNot says which; moved took nothing
};

// One write of up to size bytes. When the file takes nothing at once, waits
// at most wait (zero: not at all) for it to take some.
TraceWriteEnd WriteTraceOnce(TraceHandle& handle, const char* data, std::size_t size,
                             std::chrono::milliseconds wait, std::size_t& moved,
                             std::string& whyNot);

} // namespace talvex::detail
