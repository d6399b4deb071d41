#include "image_file.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace talvex {

ImageOpenFailure OpenRegularFile(const std::string& path, std::FILE*& file) {
    // Opening a device (NUL, CON, COM1) or a pipe does not wait here; the
    // check on the opened file then refuses everything but a disk file
    // before a byte is read.
    file = std::fopen(path.c_str(), "rb");
    if (!file) return ImageOpenFailure::CannotOpen;
    struct _stat64 st {};
    if (_fstat64(_fileno(file), &st) != 0) {
        std::fclose(file);
        file = nullptr;
        return ImageOpenFailure::CannotOpen;
    }
    if ((st.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        file = nullptr;
        return ImageOpenFailure::NotRegularFile;
    }
    return ImageOpenFailure::None;
}

} // namespace talvex
