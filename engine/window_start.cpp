#include "window_start.h"

#include <cstdio>

#include "download_session.h"

namespace talvex {

std::optional<ExitCode> TellUnattendedStart(const StartupResult& startup) {
    if (!startup.unattended) return std::nullopt;
    if (!startup.partDbPresent) {
        std::fprintf(
            stderr, "talvex: %s\n",
            MissingPartDbMessage(startup.settings.partDbPath, startup.partDbProblem).c_str());
        return ExitCode::Image;
    }
    // Before the operator is asked to pulse Reset.
    const std::string notice = UnusableImageNotice(startup);
    if (!notice.empty()) std::fprintf(stderr, "talvex: %s\n", notice.c_str());
    return std::nullopt;
}

} // namespace talvex
