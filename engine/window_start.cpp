#include "window_start.h"

#include <cstdio>

#include "download_session.h"

namespace talvex {

const char kWindowUsage[] =
    "Usage: talvex [SETTINGS[.ini]] [af=FILE] [OPTION=VALUE ...]\n"
    "\n"
    "Opens the TALVEX window, which programs a ZaRQ target through its serial\n"
    "bootloader with the settings file (talvex.ini unless SETTINGS names\n"
    "another). The options are those of talvex-cli (see talvex-cli --help) and\n"
    "are written into the settings file; aa=y starts the download at once and\n"
    "ends the program with its result as the exit code.\n"
    "\n"
    "  --version, --help   print this and exit, without opening a window\n";

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
