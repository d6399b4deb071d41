#include <sys/resource.h>

#include "gang.h"

namespace talvex {

bool EnsureOpenFiles(std::size_t needed, std::size_t& limit) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) {
        // Cannot tell: let the run find out, board by board.
        limit = needed;
        return true;
    }
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= needed) {
        limit = files.rlim_cur == RLIM_INFINITY ? needed : static_cast<std::size_t>(files.rlim_cur);
        return true;
    }
    // The soft limit is only where a process starts; it may go up to the
    // hard one without asking anybody (ulimit -Sn 1024 is a common default
    // under a hard limit far above it).
    rlimit raised = files;
    raised.rlim_cur = needed;
    if (files.rlim_max != RLIM_INFINITY && raised.rlim_cur > files.rlim_max) {
        raised.rlim_cur = files.rlim_max;
    }
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files.rlim_cur = raised.rlim_cur;
    limit = static_cast<std::size_t>(files.rlim_cur);
    return limit >= needed;
}

} // namespace talvex
