#include <cstdio>

#include "gang.h"

namespace talvex {

bool EnsureOpenFiles(std::size_t needed, std::size_t& limit) {
    // Ports are handles without a small limit; image files and the part
    // database are C streams, of which the runtime allows 512 at first and
    // up to 8192 on request.
    int streams = _getmaxstdio();
    if (streams >= 0 && static_cast<std::size_t>(streams) < needed) {
        const int want = needed > 8192 ? 8192 : static_cast<int>(needed);
        if (_setmaxstdio(want) == want) streams = want;
    }
    limit = streams < 0 ? needed : static_cast<std::size_t>(streams);
    return limit >= needed;
}

} // namespace talvex
