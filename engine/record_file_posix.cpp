// Appending a record line on POSIX: O_APPEND makes each write land at the
// end of the file as one piece, also with several processes on one file.

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "run_record.h"
#include "system_error_text.h"
#include "unique_fd.h"

namespace talvex {

bool AppendRecordLine(const std::string& path, const std::string& line, std::string& whyNot) {
    if (path.empty()) {
        whyNot = "no file name";
        return false;
    }
    // O_NONBLOCK: a FIFO without a reader must not hold the worker.
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
    if (!fd.Valid()) {
        whyNot = ErrnoText(errno);
        return false;
    }
    const std::string text = line + "\n";
    ssize_t n;
    do {
        n = ::write(fd.Get(), text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    const int writeErrno = errno;
    // A network file system may report a failed write only at close.
    const bool closed = fd.Close();
    const int closeErrno = errno;
    if (n < 0) {
        whyNot = ErrnoText(writeErrno);
        return false;
    }
    if (static_cast<std::size_t>(n) != text.size()) {
        whyNot = "only " + std::to_string(n) + " of " + std::to_string(text.size()) +
                 " bytes went in (disk full?)";
        return false;
    }
    if (!closed && closeErrno != EINTR) {
        whyNot = ErrnoText(closeErrno);
        return false;
    }
    return true;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

} // namespace talvex
