#pragma once
// Opening an image file for reading, in the reader's terms; the careful open
// itself is base's OpenRegularFileForReading.

#include <cstdio>
#include <string>

#include "unique_file.h"

namespace talvex {

enum class ImageOpenFailure {
    None,
    CannotOpen,     // missing, no permission, ...
    NotRegularFile, // a FIFO, a device, a folder
};

// Opens path for binary reading, only when it is a regular file. The check
// is made on the opened file itself, and the opening never waits: a FIFO
// without a writer or a device is refused at once instead of holding the
// worker in open() or feeding it bytes without end.
// whyNot, when given, gets the system's reason for CannotOpen.
ImageOpenFailure OpenRegularFile(const std::string& path, UniqueFile& file,
                                 std::string* whyNot = nullptr);

} // namespace talvex
