#include "stream_check.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "system_error_text.h"

namespace talvex {
namespace {

std::mutex g_mutex;
std::FILE* g_failedStreams[4] = {};
std::string g_reasons[4];

// Remembers the first failure of each stream; a handful of streams at most.
void Note(std::FILE* stream, int error) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (std::size_t i = 0; i < std::size(g_failedStreams); ++i) {
        if (g_failedStreams[i] == stream) return;
        if (g_failedStreams[i] == nullptr) {
            g_failedStreams[i] = stream;
            g_reasons[i] = error != 0 ? ErrnoText(error) : "write error";
            return;
        }
    }
}

std::string NotedReason(std::FILE* stream) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (std::size_t i = 0; i < std::size(g_failedStreams); ++i) {
        if (g_failedStreams[i] == stream) return g_reasons[i];
    }
    return {};
}

} // namespace

bool FlushAndNote(std::FILE* stream) {
    errno = 0;
    if (std::fflush(stream) == 0 && !std::ferror(stream)) return true;
    Note(stream, errno);
    return false;
}

std::string StreamLoss(std::FILE* stream) {
    if (FlushAndNote(stream)) return {};
    const std::string reason = NotedReason(stream);
    return reason.empty() ? "write error" : reason;
}

} // namespace talvex
