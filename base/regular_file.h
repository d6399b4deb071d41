#pragma once
// Opening a file that must be a regular one: an image, the settings file, the
// part database, a key file. Backends: regular_file_posix.cpp and
// regular_file_win32.cpp.

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "unique_file.h"

namespace talvex {

enum class RegularFileStatus {
    Opened,
    Missing,    // no such file, or no such folder on the way to it
    CannotOpen, // no permission, and the like
    NotRegular, // a folder, a FIFO, a device, a socket
    TooLarge,   // more bytes than the caller takes
};

struct RegularFile {
    RegularFileStatus status = RegularFileStatus::CannotOpen;
    UniqueFile file; // set only when Opened
    // Missing and CannotOpen: the system's own words, which may be empty.
    // NotRegular: what the name is instead, "not a regular file but a FIFO".
    std::string reason;
    std::uint64_t size = 0; // Opened and TooLarge

    static RegularFile Failed(RegularFileStatus status, std::string reason) {
        RegularFile result;
        result.status = status;
        result.reason = std::move(reason);
        return result;
    }
};

// Opens path for reading when it is a regular file of at most maxBytes. The
// name is looked at before it is opened, as opening a serial device raises
// its modem lines, and the opened file is checked again, as the name may have
// been given to something else in between. Nothing here waits: a FIFO
// without a writer is refused at once. textMode translates line ends the way
// the platform's "r" does (Windows only; POSIX has nothing to translate).
RegularFile OpenRegularFileForReading(
    const std::string& path, std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max(),
    bool textMode = false);

// POSIX only: what a name is instead of a regular file, from its st_mode;
// "not a regular file but a FIFO".
std::string NotRegularFileReason(unsigned mode);

} // namespace talvex
