// The trace file on every system: the backends only open it and write once.

#include <algorithm>

#include "trace_file.h"
#include "trace_file_detail.h"

namespace talvex {

struct TraceFile::Impl {
    detail::TraceHandlePtr handle;
};

TraceFile::TraceFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TraceFile::~TraceFile() = default;

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, std::string& whyNot) {
    if (path.empty()) {
        whyNot = "no file name";
        return nullptr;
    }
    detail::TraceHandlePtr handle = detail::OpenTraceHandle(path, whyNot);
    if (!handle) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->handle = std::move(handle);
    return std::unique_ptr<TraceFile>(new TraceFile(std::move(impl)));
}

bool TraceFile::Write(const char* data, std::size_t size, std::chrono::milliseconds wait,
                      std::size_t& written, std::string& whyNot) {
    using namespace std::chrono;
    // One deadline for the whole buffer: a reader that takes a little now
    // and then must not stretch the wait the caller allowed.
    const auto deadline = steady_clock::now() + wait;
    written = 0;
    while (written < size) {
        const auto left =
            std::max(ceil<milliseconds>(deadline - steady_clock::now()), milliseconds(0));
        std::size_t moved = 0;
        const detail::TraceWriteEnd end = detail::WriteTraceOnce(
            *impl_->handle, data + written, size - written, left, moved, whyNot);
        written += moved;
        if (end == detail::TraceWriteEnd::Full) return true;
        if (end == detail::TraceWriteEnd::Failed) return false;
    }
    return true;
}

} // namespace talvex
